// Helpers shared by the discovery record tests: framing parameters in either byte order and the
// error expected when a golden PL_CDR payload is cut short.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

#include "rtps/wire_cursor.hpp"
#include "rtps/wire_test_util.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::rtps::testing {

inline std::vector<std::byte> u32(bool le, std::uint32_t v) {
  std::vector<std::byte> out;
  WireWriter(out, le).write_u32(v);
  return out;
}

inline std::vector<std::byte> text(std::string_view s) {
  const auto b = text_bytes(s);
  return {b.begin(), b.end()};
}

// A CDR string value: length, text, NUL (the parameter framing pads it).
inline std::vector<std::byte> cdr_string(bool le, std::string_view s) {
  return concat({u32(le, static_cast<std::uint32_t>(s.size() + 1)), text(s), bytes({0})});
}

// One parameter: id, length padded to 4, value, zero padding.
inline std::vector<std::byte> param(bool le, std::uint16_t id, std::vector<std::byte> value) {
  const std::size_t padded = (value.size() + 3) / 4 * 4;
  std::vector<std::byte> out;
  out.reserve(4 + padded);
  WireWriter w(out, le);
  w.write_u16(id);
  w.write_u16(static_cast<std::uint16_t>(padded));
  value.resize(padded);
  out.insert(out.end(), value.begin(), value.end());
  return out;
}

// Little-endian shorthands for tables of cases: a framed parameter and a word.
inline std::vector<std::byte> p(std::uint16_t id, std::vector<std::byte> value) {
  return param(true, id, std::move(value));
}
inline std::vector<std::byte> w(std::uint32_t value) {
  return u32(true, value);
}

// Encapsulation header, the parameters and the sentinel.
inline std::vector<std::byte> pl_cdr(bool le,
                                     std::initializer_list<std::vector<std::byte>> params) {
  std::vector<std::byte> out = le ? bytes({0x00, 0x03, 0x00, 0x00}) : bytes({0x00, 0x02, 0, 0});
  for (const auto& p : params)
    out.insert(out.end(), p.begin(), p.end());
  const auto end = param(le, 0x0001, {});
  out.insert(out.end(), end.begin(), end.end());
  return out;
}

// What a payload of framed parameters with these value lengths, cut to `length` bytes, fails
// with: the parameter list reports offsets from its own start, after the encapsulation header.
inline CodecError cut_error(std::span<const std::size_t> value_lengths, std::size_t length) {
  if (length < 4) return CodecError::eof(4, 0);
  const std::size_t list = length - 4;
  std::size_t at = 0;
  for (const std::size_t n : value_lengths) {
    if (list - at < 4) return CodecError::eof(4, at);
    if (list - at < 4 + n) return CodecError::eof(n, at + 4);
    at += 4 + n;
  }
  return CodecError::eof(4, at);  // the sentinel
}

}  // namespace nimbrel::rtps::testing
