#include "rtps/parameter_list.hpp"

#include <algorithm>

namespace nimbrel::rtps {

namespace {

constexpr std::uint16_t must_understand_bit = 0x4000;
constexpr std::uint16_t vendor_specific_bit = 0x8000;

std::size_t padded4(std::size_t n) {
  return (n + 3) / 4 * 4;
}

}  // namespace

std::optional<std::uint32_t> Parameter::read_u32(bool little_endian) const {
  auto r = reader(little_endian);
  auto v = r.read_u32();
  if (!v) return std::nullopt;
  return *v;
}

std::optional<std::int32_t> Parameter::read_i32(bool little_endian) const {
  auto v = read_u32(little_endian);
  if (!v) return std::nullopt;
  return static_cast<std::int32_t>(*v);
}

std::optional<Guid> Parameter::read_guid() const {
  if (value.size() != 16) return std::nullopt;
  auto guid = reader(/*little_endian=*/true).read_guid();
  if (!guid) return std::nullopt;
  return *guid;
}

std::optional<Locator> Parameter::read_locator(bool little_endian) const {
  if (value.size() != 24) return std::nullopt;
  auto r = reader(little_endian);
  auto locator = r.read_locator();
  if (!locator || !is_accepted_locator_kind(locator->kind)) return std::nullopt;
  return *locator;
}

std::optional<RtpsDuration> Parameter::read_duration(bool little_endian, std::size_t offset) const {
  auto r = reader(little_endian);
  r.seek(offset);
  auto seconds = r.read_i32();
  auto fraction = r.read_u32();
  if (!seconds || !fraction) return std::nullopt;
  return RtpsDuration{*seconds, *fraction};
}

bool Parameter::has_min_length() const {
  const auto* info = find_pid_info(id);
  return info == nullptr || value.size() >= info->min_length;
}

void ParameterList::push_u32(std::uint16_t id, std::uint32_t value, bool little_endian) {
  Parameter p{id, {}};
  WireWriter(p.value, little_endian).write_u32(value);
  push(std::move(p));
}

void ParameterList::push_guid(std::uint16_t id, const Guid& guid) {
  Parameter p{id, {}};
  WireWriter(p.value, /*little_endian=*/true).write_guid(guid);
  push(std::move(p));
}

void ParameterList::push_locator(std::uint16_t id, const Locator& locator, bool little_endian) {
  Parameter p{id, {}};
  WireWriter(p.value, little_endian).write_locator(locator);
  push(std::move(p));
}

void ParameterList::push_duration(std::uint16_t id, RtpsDuration duration, bool little_endian) {
  Parameter p{id, {}};
  WireWriter w(p.value, little_endian);
  w.write_i32(duration.seconds);
  w.write_u32(duration.fraction);
  push(std::move(p));
}

const Parameter* ParameterList::find(std::uint16_t id) const {
  auto it = std::ranges::find(parameters, id, &Parameter::id);
  return it == parameters.end() ? nullptr : &*it;
}

CodecResult<void> ParameterList::encode(WireWriter& w) const {
  std::size_t total = 4;
  for (const auto& p : parameters) {
    // Silently truncating the 16-bit length would desynchronise every later parameter.
    if (p.value.size() > max_value_length) {
      return std::unexpected(CodecError::resource_limit("ParameterList value exceeds u16::MAX"));
    }
    total += 4 + padded4(p.value.size());
  }
  w.reserve(total);
  for (const auto& p : parameters) {
    w.write_u16(p.id);
    w.write_u16(static_cast<std::uint16_t>(padded4(p.value.size())));
    w.write_bytes(std::span<const std::byte>(p.value));
    w.write_zeros(padded4(p.value.size()) - p.value.size());
  }
  w.write_u16(pid::sentinel);
  w.write_u16(0);
  return {};
}

CodecResult<ParameterList> ParameterList::decode(WireReader& r) {
  ParameterList list;
  for (;;) {
    // The parameter header is reported missing as a whole.
    if (!r.has(4)) return std::unexpected(CodecError::eof(4, r.position()));
    std::uint16_t id = 0;
    std::uint16_t length = 0;
    NIMBREL_READ_OR_RETURN(id, r.read_u16());
    NIMBREL_READ_OR_RETURN(length, r.read_u16());
    if (id == pid::sentinel) return list;
    if (length % 4 != 0) {
      return std::unexpected(
          CodecError::malformed("ParameterList length not 4-byte aligned", r.position() - 2));
    }
    std::span<const std::byte> value;
    NIMBREL_READ_OR_RETURN(value, r.read_bytes(length));
    if (id == pid::ignore) continue;
    if (list.parameters.size() >= max_parameters) {
      return std::unexpected(
          CodecError::resource_limit("ParameterList exceeds MAX_PARAMETERS cap", r.position()));
    }
    list.parameters.push_back({id, std::vector<std::byte>(value.begin(), value.end())});
  }
}

CodecResult<void> ParameterList::validate_must_understand_in_data_pipeline() const {
  for (const auto& p : parameters) {
    if ((p.id & must_understand_bit) == 0 || (p.id & vendor_specific_bit) != 0) continue;
    if (find_pid_info(static_cast<std::uint16_t>(p.id & 0x3FFF)) == nullptr) {
      return std::unexpected(
          CodecError::malformed("ParameterList contains unknown must-understand PID"));
    }
  }
  return {};
}

}  // namespace nimbrel::rtps
