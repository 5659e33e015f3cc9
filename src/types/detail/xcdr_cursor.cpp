#include "types/detail/xcdr_cursor.hpp"

#include <algorithm>

namespace nimbrel::types::detail {
namespace {

constexpr std::uint16_t must_understand_pid_flag = 0x4000;
constexpr std::uint16_t pid_mask = 0x3fff;
constexpr std::uint16_t pid_extended = 0x3f01;
constexpr std::uint16_t pid_list_end = 0x3f02;
constexpr std::uint16_t pid_ignore = 0x3f03;
constexpr std::uint32_t member_id_mask = 0x0fffffff;
constexpr std::uint32_t emheader_must_understand = 0x80000000u;
constexpr std::uint32_t extended_must_understand = 0x40000000u;

}  // namespace

SampleResult XcdrCursor::align(std::size_t size) {
  const std::size_t a = std::min<std::size_t>(size, xcdr2_ ? 4 : 8);
  const std::size_t pad = (a - (pos_ - origin_) % a) % a;
  if (pad > left()) return truncated();
  pos_ += pad;
  return {};
}

std::expected<std::uint64_t, SampleJsonError> XcdrCursor::read_uint(std::size_t size) {
  auto bytes = read_bytes(size, size);
  if (!bytes) return std::unexpected(bytes.error());
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < size; ++i) {
    const std::size_t shift = 8 * (little_endian_ ? i : size - 1 - i);
    v |= static_cast<std::uint64_t>((*bytes)[i]) << shift;
  }
  return v;
}

std::expected<std::uint32_t, SampleJsonError> XcdrCursor::read_u32() {
  auto v = read_uint(4);
  if (!v) return std::unexpected(v.error());
  return static_cast<std::uint32_t>(*v);
}

std::expected<std::span<const std::byte>, SampleJsonError> XcdrCursor::read_bytes(
    std::size_t n, std::size_t alignment) {
  if (auto ok = align(alignment); !ok) return std::unexpected(ok.error());
  if (n > left()) return truncated();
  const auto bytes = body_.subspan(pos_, n);
  pos_ += n;
  return bytes;
}

std::expected<XcdrCursor::Parameter, SampleJsonError> XcdrCursor::parameter_header() {
  auto pid = read_uint(2);
  if (!pid) return std::unexpected(pid.error());
  auto length = read_uint(2);
  if (!length) return std::unexpected(length.error());
  Parameter p{static_cast<std::uint32_t>(*pid & pid_mask), (*pid & must_understand_pid_flag) != 0,
              static_cast<std::size_t>(*length)};
  if (p.id != pid_extended) return p;
  auto id = read_u32();
  if (!id) return std::unexpected(id.error());
  auto extended_length = read_u32();
  if (!extended_length) return std::unexpected(extended_length.error());
  return Parameter{*id & member_id_mask, (*id & extended_must_understand) != 0, *extended_length};
}

std::expected<std::optional<XcdrCursor::Parameter>, SampleJsonError> XcdrCursor::next_parameter() {
  for (;;) {
    if (auto ok = align(4); !ok) return std::unexpected(ok.error());
    if (left() == 0) return std::nullopt;  // a top-level list may end with the data
    auto p = parameter_header();
    if (!p) return std::unexpected(p.error());
    if (p->id == pid_list_end) return std::nullopt;
    if (p->id != pid_ignore) return *p;
    if (auto ok = within(p->length, false, []() -> SampleResult { return {}; }); !ok)
      return std::unexpected(ok.error());
  }
}

std::expected<XcdrCursor::Parameter, SampleJsonError> XcdrCursor::member_header() {
  auto em = read_u32();
  if (!em) return std::unexpected(em.error());
  const unsigned lc = (*em >> 28) & 7;
  Parameter p{*em & member_id_mask, (*em & emheader_must_understand) != 0, std::size_t{1} << lc};
  if (lc < 4) return p;
  auto next = read_u32();
  if (!next) return std::unexpected(next.error());
  if (lc == 4) {
    p.length = *next;
  } else {
    // NEXTINT is then the member's own first word (a length or DHEADER): it stays to be read.
    pos_ -= 4;
    p.length = 4 + std::size_t{*next} * (lc == 5 ? 1 : lc == 6 ? 4 : 8);
  }
  return p;
}

}  // namespace nimbrel::types::detail
