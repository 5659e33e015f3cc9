// Helpers shared by the RTPS tests: byte literals, the golden RTPS header, big-endian twins of
// little-endian goldens, truncation sweeps, the header checks of sent datagrams and readable
// printing of errors.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <ostream>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "foundation/shared_bytes.hpp"
#include "rtps/datagram.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::rtps {

inline void PrintTo(const CodecError& error, std::ostream* os) {
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

// The big-endian twin of a little-endian golden: `fields` gives the widths of its numbers in order,
// each reversed; a negative width marks that many raw bytes, kept as they are, and so is the rest.
inline std::vector<std::byte> big_endian(std::vector<std::byte> le,
                                         const std::vector<int>& fields) {
  auto at = le.begin();
  for (const int width : fields) {
    if (width > 0) std::reverse(at, at + width);
    at += width < 0 ? -width : width;
  }
  return le;
}

// Bytes `i % 251` for i from `from`: samples and fragments are cut from this pattern.
inline std::vector<std::byte> patterned(std::size_t size, std::size_t from = 0) {
  std::vector<std::byte> out(size);
  for (std::size_t i = 0; i < size; ++i)
    out[i] = static_cast<std::byte>((from + i) % 251);
  return out;
}

inline std::vector<std::byte> contents(const SharedBytes& b) {
  return {b.span().begin(), b.span().end()};
}

// (cut length from which it applies, error): what a golden cut short fails with.
using Cuts = std::vector<std::pair<std::size_t, CodecError>>;

inline CodecError cut_at(const Cuts& cuts, std::size_t length) {
  std::size_t i = 0;
  while (i + 1 < cuts.size() && cuts[i + 1].first <= length)
    ++i;
  return cuts[i].second;
}

// Cuts `golden` at every length short of whole; each cut must fail with `expected(length)`.
template <typename Decode, typename Expected>
void expect_every_cut_fails(std::span<const std::byte> golden, Decode decode, Expected expected) {
  for (std::size_t length = 0; length < golden.size(); ++length) {
    auto result = decode(golden.first(length));
    ASSERT_FALSE(result) << "length " << length;
    EXPECT_EQ(result.error(), expected(length)) << "length " << length;
  }
}

// Decodes a datagram this system sent and checks the header all of them share.
inline ParsedDatagram decode_sent(std::span<const std::byte> bytes, const GuidPrefix& sender) {
  auto parsed = decode_bytes<ParsedDatagram>(SharedBytes::copy_of(bytes), true);
  EXPECT_TRUE(parsed.has_value()) << "sent an undecodable datagram";
  if (!parsed) return {};
  EXPECT_EQ(parsed->version, protocol_version_2_5);
  EXPECT_EQ(parsed->vendor_id, nimbrel_vendor_id);
  EXPECT_EQ(parsed->guid_prefix, sender);
  return std::move(*parsed);
}

#ifdef NIMBREL_TEST_DATA_DIR
// A datagram Cyclone DDS sent, from tests/data/cyclone.
inline ParsedDatagram cyclone_datagram(const std::string& name) {
  std::ifstream in(std::string(NIMBREL_TEST_DATA_DIR) + "/cyclone/" + name, std::ios::binary);
  std::vector<char> raw{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  auto parsed =
      decode_bytes<ParsedDatagram>(SharedBytes::copy_of(std::as_bytes(std::span(raw))), true);
  EXPECT_TRUE(parsed) << name;
  return parsed ? std::move(*parsed) : ParsedDatagram{};
}
#endif

}  // namespace testing
}  // namespace nimbrel::rtps
