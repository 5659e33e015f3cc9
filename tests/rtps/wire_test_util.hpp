// Helpers shared by the RTPS wire codec tests: byte literals, the golden RTPS header and readable
// printing of errors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <vector>

#include "foundation/shared_bytes.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::rtps {

inline void PrintTo(const WireError& error, std::ostream* os) {
  *os << to_string(error);
}

namespace testing {

inline std::vector<std::byte> bytes(std::initializer_list<int> values) {
  std::vector<std::byte> out;
  out.reserve(values.size());
  for (int v : values)
    out.push_back(static_cast<std::byte>(v));
  return out;
}

inline std::vector<std::byte> concat(std::initializer_list<std::vector<std::byte>> parts) {
  std::vector<std::byte> out;
  for (const auto& part : parts)
    out.insert(out.end(), part.begin(), part.end());
  return out;
}

inline SharedBytes shared(std::vector<std::byte> b) {
  return SharedBytes::adopt(std::move(b));
}

inline std::vector<std::byte> filled(std::size_t n, int value) {
  return std::vector<std::byte>(n, static_cast<std::byte>(value));
}

inline constexpr GuidPrefix golden_prefix{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

// clang-format off
inline std::vector<std::byte> golden_header(std::uint8_t minor = 5) {
  return bytes({
      'R', 'T', 'P', 'S',                          // magic
      0x02, minor,                                 // protocol version
      0x01, 0xF0,                                  // vendor id
      0x01, 0x02, 0x03, 0x04, 0x05, 0x06,          // GUID prefix
      0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C});
}
// clang-format on

// One submessage with its header; octetsToNextHeader little-endian when flag E is set.
inline std::vector<std::byte> submessage(std::uint8_t id, std::uint8_t flags,
                                         const std::vector<std::byte>& body) {
  const auto n = static_cast<int>(body.size());
  auto head = (flags & 1) != 0 ? bytes({id, flags, n & 0xFF, n >> 8})
                               : bytes({id, flags, n >> 8, n & 0xFF});
  return concat({head, body});
}

}  // namespace testing
}  // namespace nimbrel::rtps
