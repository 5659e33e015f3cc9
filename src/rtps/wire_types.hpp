// Identifiers and small value types of the RTPS protocol (DDSI-RTPS 2.5 section 9.3). Guids and
// entity ids order by their wire bytes and serve as keys of ordered maps throughout. RTPS codecs
// fail with `CodecError`.
#pragma once

#include <array>
#include <bit>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "foundation/codec_error.hpp"

namespace nimbrel::rtps {

using GuidPrefix = std::array<std::uint8_t, 12>;

enum class EntityKind : std::uint8_t {
  Unknown = 0x00,
  UserWriterWithKey = 0x02,
  UserWriterNoKey = 0x03,
  UserReaderNoKey = 0x04,
  UserReaderWithKey = 0x07,
  Participant = 0xC1,
  BuiltinWriterWithKey = 0xC2,
  BuiltinWriterNoKey = 0xC3,
  BuiltinReaderNoKey = 0xC4,
  BuiltinReaderWithKey = 0xC7,
};

// Any kind byte outside the enumeration becomes Unknown (and is written back as 0x00).
EntityKind entity_kind_from_byte(std::uint8_t byte);
const char* to_string(EntityKind kind);

struct EntityId {
  std::array<std::uint8_t, 3> entity_key{};
  EntityKind entity_kind = EntityKind::Unknown;

  static EntityId from_bytes(std::span<const std::uint8_t, 4> bytes);
  std::array<std::uint8_t, 4> to_bytes() const;
  bool is_unknown() const { return *this == EntityId{}; }
  // The four wire bytes as one big-endian number, which orders as the bytes do.
  constexpr std::uint32_t as_number() const {
    return std::uint32_t{entity_key[0]} << 24 | std::uint32_t{entity_key[1]} << 16 |
           std::uint32_t{entity_key[2]} << 8 | static_cast<std::uint8_t>(entity_kind);
  }

  friend bool operator==(const EntityId& a, const EntityId& b) {
    return a.as_number() == b.as_number();
  }
  friend std::strong_ordering operator<=>(const EntityId& a, const EntityId& b) {
    return a.as_number() <=> b.as_number();
  }
};
std::string to_string(const EntityId& id);

constexpr EntityId make_entity_id(std::uint8_t k0, std::uint8_t k1, std::uint8_t k2,
                                  EntityKind kind) {
  return EntityId{{k0, k1, k2}, kind};
}

// Builtin entity ids.
namespace entity_ids {
inline constexpr EntityId unknown{};
inline constexpr EntityId participant = make_entity_id(0, 0, 1, EntityKind::Participant);
inline constexpr EntityId spdp_writer = make_entity_id(0, 1, 0, EntityKind::BuiltinWriterWithKey);
inline constexpr EntityId spdp_reader = make_entity_id(0, 1, 0, EntityKind::BuiltinReaderWithKey);
inline constexpr EntityId sedp_publications_writer =
    make_entity_id(0, 0, 3, EntityKind::BuiltinWriterWithKey);
inline constexpr EntityId sedp_publications_reader =
    make_entity_id(0, 0, 3, EntityKind::BuiltinReaderWithKey);
inline constexpr EntityId sedp_subscriptions_writer =
    make_entity_id(0, 0, 4, EntityKind::BuiltinWriterWithKey);
inline constexpr EntityId sedp_subscriptions_reader =
    make_entity_id(0, 0, 4, EntityKind::BuiltinReaderWithKey);
inline constexpr EntityId participant_message_writer =
    make_entity_id(0, 2, 0, EntityKind::BuiltinWriterWithKey);
inline constexpr EntityId participant_message_reader =
    make_entity_id(0, 2, 0, EntityKind::BuiltinReaderWithKey);
inline constexpr EntityId type_lookup_request_writer =
    make_entity_id(0, 3, 0, EntityKind::BuiltinWriterNoKey);
inline constexpr EntityId type_lookup_request_reader =
    make_entity_id(0, 3, 0, EntityKind::BuiltinReaderNoKey);
inline constexpr EntityId type_lookup_reply_writer =
    make_entity_id(0, 3, 1, EntityKind::BuiltinWriterNoKey);
inline constexpr EntityId type_lookup_reply_reader =
    make_entity_id(0, 3, 1, EntityKind::BuiltinReaderNoKey);
inline constexpr EntityId participant_stateless_writer =
    make_entity_id(0, 2, 1, EntityKind::BuiltinWriterNoKey);
inline constexpr EntityId participant_stateless_reader =
    make_entity_id(0, 2, 1, EntityKind::BuiltinReaderNoKey);
inline constexpr EntityId volatile_secure_writer =
    make_entity_id(0xFF, 2, 2, EntityKind::BuiltinWriterWithKey);
inline constexpr EntityId volatile_secure_reader =
    make_entity_id(0xFF, 2, 2, EntityKind::BuiltinReaderWithKey);
}  // namespace entity_ids

struct Guid {
  GuidPrefix prefix{};
  EntityId entity_id{};

  static Guid from_bytes(std::span<const std::uint8_t, 16> bytes);
  std::array<std::uint8_t, 16> to_bytes() const;

  // Guids are compared on every lookup of a writer or reader: two word comparisons each, in the
  // order of the wire bytes.
  friend bool operator==(const Guid& a, const Guid& b) { return a.as_words() == b.as_words(); }
  friend std::strong_ordering operator<=>(const Guid& a, const Guid& b) {
    return a.as_words() <=> b.as_words();
  }

 private:
  // The sixteen wire bytes as two big-endian numbers.
  std::pair<std::uint64_t, std::uint64_t> as_words() const {
    std::uint64_t head = 0;
    std::uint32_t tail = 0;
    std::memcpy(&head, prefix.data(), sizeof head);
    std::memcpy(&tail, prefix.data() + sizeof head, sizeof tail);
    if constexpr (std::endian::native == std::endian::little) {
      head = std::byteswap(head);
      tail = std::byteswap(tail);
    }
    return {head, std::uint64_t{tail} << 32 | entity_id.as_number()};
  }
};
std::string to_string(const Guid& guid);

using SequenceNumber = std::int64_t;
using FragmentNumber = std::uint32_t;

namespace locator_kind {
inline constexpr std::int32_t invalid = -1;
inline constexpr std::int32_t reserved = 0;
inline constexpr std::int32_t udp_v4 = 1;
inline constexpr std::int32_t udp_v6 = 2;
inline constexpr std::int32_t tcp_v4 = 4;
inline constexpr std::int32_t tcp_v6 = 8;
inline constexpr std::int32_t shm_a = static_cast<std::int32_t>(0x81000000u);
inline constexpr std::int32_t shm_b = static_cast<std::int32_t>(0x81000001u);
}  // namespace locator_kind

// Kinds accepted when a locator is decoded from discovery data.
bool is_accepted_locator_kind(std::int32_t kind);

struct Locator {
  std::int32_t kind = locator_kind::invalid;
  std::uint32_t port = 0;
  std::array<std::uint8_t, 16> address{};

  // UDPv4 locator; `ipv4` in network order (a.b.c.d as {a, b, c, d}).
  static Locator udp_v4(std::array<std::uint8_t, 4> ipv4, std::uint32_t port);
  std::array<std::uint8_t, 4> ipv4() const {
    return {address[12], address[13], address[14], address[15]};
  }

  friend bool operator==(const Locator&, const Locator&) = default;
  friend auto operator<=>(const Locator&, const Locator&) = default;
};
std::string to_string(const Locator& locator);

// Message timestamp: seconds and fraction in units of 2^-32 s.
struct Time {
  std::int32_t seconds = 0;
  std::uint32_t fraction = 0;
  friend bool operator==(const Time&, const Time&) = default;
};

// Nanoseconds since the Unix epoch, rounded down; 0 for a time before it.
std::uint64_t to_unix_ns(const Time& time);

struct RtpsDuration {
  std::int32_t seconds = 0;
  std::uint32_t fraction = 0;
  friend bool operator==(const RtpsDuration&, const RtpsDuration&) = default;
};

struct ProtocolVersion {
  std::uint8_t major = 2;
  std::uint8_t minor = 5;
  friend bool operator==(const ProtocolVersion&, const ProtocolVersion&) = default;
};
inline constexpr ProtocolVersion protocol_version_2_5{2, 5};

using VendorId = std::array<std::uint8_t, 2>;
inline constexpr VendorId nimbrel_vendor_id{0x01, 0xF0};

// Encoded bytes of one datagram and the shared list of its destinations. Senders send it to each
// UDPv4 destination and skip the others.
struct OutboundDatagram {
  std::vector<std::byte> bytes;
  std::shared_ptr<const std::vector<Locator>> destinations;
};

}  // namespace nimbrel::rtps
