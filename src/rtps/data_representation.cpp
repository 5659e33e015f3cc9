#include "rtps/data_representation.hpp"

#include <algorithm>
#include <limits>

namespace nimbrel::rtps::data_representation {

namespace {

constexpr std::int16_t implicit_list[] = {xcdr1};

std::span<const std::int16_t> or_implicit(std::span<const std::int16_t> ids) {
  return ids.empty() ? std::span<const std::int16_t>(implicit_list) : ids;
}

}  // namespace

Negotiation negotiate(std::span<const std::int16_t> writer_offered,
                      std::span<const std::int16_t> reader_accepted, bool search) {
  const auto offered = or_implicit(writer_offered);
  const auto accepted = or_implicit(reader_accepted);
  const auto accepts = [&](std::int16_t id) {
    return std::ranges::find(accepted, id) != accepted.end();
  };
  if (!search) return {accepts(offered.front()), offered.front()};
  for (const auto id : offered) {
    if (accepts(id)) return {true, id};
  }
  return {false, offered.back()};
}

CodecResult<void> write_list(WireWriter& w, std::span<const std::int16_t> ids) {
  if (ids.size() > std::numeric_limits<std::uint32_t>::max()) {
    return std::unexpected(
        CodecError::resource_limit("data_representation length exceeds u32::MAX"));
  }
  w.reserve(4 + 2 * ids.size());
  w.write_u32(static_cast<std::uint32_t>(ids.size()));
  for (const auto id : ids)
    w.write_u16(static_cast<std::uint16_t>(id));
  return {};
}

std::vector<std::int16_t> read_list(WireReader& r) {
  auto count = r.read_u32();
  if (!count) return {};
  const std::size_t n = std::min<std::size_t>(*count, r.remaining() / 2);
  std::vector<std::int16_t> ids;
  ids.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    auto id = r.read_u16();
    if (!id) break;
    ids.push_back(static_cast<std::int16_t>(*id));
  }
  return ids;
}

}  // namespace nimbrel::rtps::data_representation
