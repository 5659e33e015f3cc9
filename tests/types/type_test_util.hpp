// Pieces for type system golden vectors: little-endian numbers, CDR strings, hashes, and a
// codec round trip for any value with encode and decode.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>

#include "foundation/bytes_test_util.hpp"
#include "types/complete_type_util.hpp"
#include "types/type_identifier.hpp"

namespace nimbrel::types::testing {

using nimbrel::testing::bytes;
using nimbrel::testing::Bytes;
using nimbrel::testing::concat;

inline Bytes le16(std::uint16_t v) {
  return bytes({v & 0xFF, v >> 8});
}
inline Bytes le32(std::uint32_t v) {
  return bytes<std::uint32_t>({v & 0xFF, (v >> 8) & 0xFF, (v >> 16) & 0xFF, v >> 24});
}
inline Bytes zeros(std::size_t n) {
  return Bytes(n, std::byte{0});
}
// Length with the NUL, the text, the NUL; no padding after it.
inline Bytes cdr_string(std::string_view s) {
  return concat(
      {le32(static_cast<std::uint32_t>(s.size() + 1)), nimbrel::testing::text(s), bytes({0})});
}

inline Bytes hash_bytes(int first) {
  const auto h = hash_of(first);
  return Bytes(reinterpret_cast<const std::byte*>(h.bytes.data()),
               reinterpret_cast<const std::byte*>(h.bytes.data()) + h.bytes.size());
}
inline TypeIdentifier minimal_ref(int first) {
  return TypeIdentifier::EquivalenceHashMinimal{hash_of(first)};
}

template <typename T>
Bytes encode(const T& value, bool little_endian = true) {
  cdr::BufferWriter w(little_endian);
  auto ok = value.encode(w);
  EXPECT_TRUE(ok) << (ok ? "" : to_string(ok.error()));
  return w.bytes();
}

template <typename T>
CodecResult<T> decode(std::span<const std::byte> input, bool little_endian = true) {
  cdr::BufferReader r(input, little_endian);
  return T::decode(r);
}

// Encodes to `wire`, decodes from it completely, and every cut of it ends in UnexpectedEof (or,
// for requests, in the InvalidElement that reports an identifier cut short).
template <typename T>
void expect_golden(const T& value, const Bytes& wire, bool request = false) {
  EXPECT_EQ(encode(value), wire);
  cdr::BufferReader r(wire, /*little_endian=*/true);
  EXPECT_EQ(T::decode(r), value);
  EXPECT_EQ(r.remaining(), 0u);
  for (std::size_t cut = 0; cut < wire.size(); ++cut) {
    const auto cut_short = decode<T>(std::span(wire).first(cut));
    ASSERT_FALSE(cut_short) << "cut at " << cut;
    const auto kind = cut_short.error().kind;
    EXPECT_TRUE(kind == CodecError::Kind::UnexpectedEof ||
                (request && kind == CodecError::Kind::InvalidElement))
        << "cut at " << cut;
  }
  EXPECT_EQ(decode<T>(encode(value, false), false), value) << "big-endian round trip";
}

}  // namespace nimbrel::types::testing
