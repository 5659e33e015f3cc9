// A small family of minimal types for the type lookup tests, and golden pieces of the replies that
// serve it:
//   Outer 0x10  struct { Inner inner; Items items; }
//   Inner 0x20  struct { int32 x; Level color; }
//   Level 0x30  alias of Shade 0x40, an alias of Color 0x50 (an alias chain)
//   Color 0x50  enum { RED = 0, GREEN = 1 }
//   Items 0x60  sequence<Inner>
// Each hash is hash_of(first byte), so the bytewise order is the order of the numbers.
#pragma once

#include <utility>
#include <vector>

#include "rtps/wire_types.hpp"
#include "types/type_object.hpp"
#include "types/type_test_util.hpp"

namespace nimbrel::types::testing {

inline constexpr int outer = 0x10, inner = 0x20, level = 0x30, shade = 0x40, color = 0x50,
                     items = 0x60, unknown = 0x70;

inline MinimalStructMember member(std::uint32_t id, TypeIdentifier type, std::uint8_t name) {
  return {.member_id = id, .member_type = std::move(type), .name_hash = {0x0A, 0, 0, name}};
}

// (hash, object), in hash order.
inline std::vector<std::pair<EquivalenceHash, TypeObject>> type_family() {
  const auto minimal = [](MinimalTypeObject::Value value) {
    return TypeObject{MinimalTypeObject{std::move(value)}};
  };
  return {
      {hash_of(outer), minimal(MinimalStructType{.members = {member(0, minimal_ref(inner), 1),
                                                             member(1, minimal_ref(items), 2)}})},
      {hash_of(inner),
       minimal(MinimalStructType{.members = {member(0, prim(PrimitiveKind::Int32), 3),
                                             member(1, minimal_ref(level), 4)}})},
      {hash_of(level), minimal(MinimalAliasType{.related_type = minimal_ref(shade)})},
      {hash_of(shade), minimal(MinimalAliasType{.related_type = minimal_ref(color)})},
      {hash_of(color),
       minimal(MinimalEnumeratedType{.bit_bound = 32,
                                     .literals = {{.value = 0, .name_hash = {0x0C, 0, 0, 1}},
                                                  {.value = 1, .name_hash = {0x0C, 0, 0, 2}}}})},
      {hash_of(items), minimal(MinimalSequenceType{.element_type = minimal_ref(inner)})},
  };
}

// The hash 0xA0 k_hi k_lo 0 ..., past every hash of the family and ordered by k.
inline EquivalenceHash numbered(std::size_t k) {
  EquivalenceHash h{};
  h.bytes[0] = 0xA0;
  h.bytes[1] = static_cast<std::uint8_t>(k >> 8);
  h.bytes[2] = static_cast<std::uint8_t>(k);
  return h;
}

// A struct whose members refer to `count` distinct unknown hashes, from numbered(first) on.
inline TypeObject wide_struct(std::size_t count, std::size_t first = 0) {
  MinimalStructType s;
  for (std::size_t k = 0; k < count; ++k) {
    s.members.push_back(
        {.member_id = static_cast<std::uint32_t>(k),
         .member_type = TypeIdentifier::EquivalenceHashMinimal{numbered(first + k)}});
  }
  return {MinimalTypeObject{std::move(s)}};
}

inline Bytes hash_bytes_of(const EquivalenceHash& hash) {
  Bytes out;
  for (auto b : hash.bytes)
    out.push_back(std::byte{b});
  return out;
}

inline Bytes ek_minimal_ref(int first) {
  return concat({bytes({0xF1}), hash_bytes(first)});
}

// A dependency as a reply lists it: minimal hash, pad to 4, size.
inline Bytes dependency_entry(const Bytes& hash, std::uint32_t size) {
  return concat({bytes({0xF1}), hash, zeros(1), le32(size)});
}

inline Bytes prefix_bytes(const rtps::GuidPrefix& prefix) {
  Bytes out;
  for (auto b : prefix)
    out.push_back(std::byte{b});
  return out;
}

// clang-format off
// A GetTypes reply for [Level, Color]; Level starts at offset 4, Color at 25.
inline Bytes level_and_color_reply_body() {
  return concat({
      le32(2),                            // type count
      bytes({0xF1, 0x30}), le16(0), le16(0), ek_minimal_ref(shade),  // Level
      bytes({0xF1, 0x40}), zeros(1),      // Color: EK_MINIMAL, TK_ENUM, pad
      le16(0), le16(32), le32(2),         // enum flags, bit bound, literal count
      le32(0), le16(0), bytes({0x0C, 0, 0, 1}), zeros(2),  // RED, pad
      le32(1), le16(0), bytes({0x0C, 0, 0, 2})});          // GREEN
}

// The dependencies of Outer, in hash order, with the sizes of their tagged forms (EK_MINIMAL, the
// object at offset 1, little-endian).
inline Bytes outer_dependency_entries() {
  return concat({
      dependency_entry(hash_bytes(inner), 49),   // 12 to the members, 11 + 1 pad + 25
      dependency_entry(hash_bytes(level), 21),   // kind, TK, two flags, 15-byte identifier
      dependency_entry(hash_bytes(shade), 21),
      dependency_entry(hash_bytes(color), 34),   // 12 to the literals, 10 + 2 pad + 10
      dependency_entry(hash_bytes(items), 25)}); // kind, TK, flags, bound, flags, identifier
}

// A reply as the server sends it: one DATA from the reply writer, numbered as the request.
inline Bytes reply_golden(const rtps::GuidPrefix& server, std::uint32_t sn, const Bytes& body) {
  return concat({
      bytes({'R', 'T', 'P', 'S', 2, 5, 0x01, 0xF0}), prefix_bytes(server),
      bytes({0x15, 0x05}), le16(static_cast<std::uint16_t>(24 + body.size())),  // DATA, E|D
      le16(0), le16(16),                  // extra flags, octets to inline QoS
      bytes({0, 3, 1, 0xC4}),             // type lookup reply reader
      bytes({0, 3, 1, 0xC3}),             // type lookup reply writer
      le32(0), le32(sn),                  // the request's sequence number
      bytes({0, 1, 0, 0}),                // CDR_LE
      body});
}
// clang-format on

}  // namespace nimbrel::types::testing
