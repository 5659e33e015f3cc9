#include "rtps/wire_types.hpp"

#include <algorithm>

#include "foundation/hex.hpp"

namespace nimbrel::rtps {

EntityKind entity_kind_from_byte(std::uint8_t byte) {
  switch (byte) {
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x07:
    case 0xC1:
    case 0xC2:
    case 0xC3:
    case 0xC4:
    case 0xC7:
      return static_cast<EntityKind>(byte);
    default:
      return EntityKind::Unknown;
  }
}

const char* to_string(EntityKind kind) {
  switch (kind) {
    case EntityKind::Unknown:
      return "Unknown";
    case EntityKind::UserWriterWithKey:
      return "UserWriterWithKey";
    case EntityKind::UserWriterNoKey:
      return "UserWriterNoKey";
    case EntityKind::UserReaderNoKey:
      return "UserReaderNoKey";
    case EntityKind::UserReaderWithKey:
      return "UserReaderWithKey";
    case EntityKind::Participant:
      return "Participant";
    case EntityKind::BuiltinWriterWithKey:
      return "BuiltinWriterWithKey";
    case EntityKind::BuiltinWriterNoKey:
      return "BuiltinWriterNoKey";
    case EntityKind::BuiltinReaderNoKey:
      return "BuiltinReaderNoKey";
    case EntityKind::BuiltinReaderWithKey:
      return "BuiltinReaderWithKey";
  }
  return "Unknown";
}

EntityId EntityId::from_bytes(std::span<const std::uint8_t, 4> bytes) {
  return EntityId{{bytes[0], bytes[1], bytes[2]}, entity_kind_from_byte(bytes[3])};
}

std::array<std::uint8_t, 4> EntityId::to_bytes() const {
  return {entity_key[0], entity_key[1], entity_key[2], static_cast<std::uint8_t>(entity_kind)};
}

std::string to_string(const EntityId& id) {
  return "EntityId { entity_key: [" + std::to_string(id.entity_key[0]) + ", " +
         std::to_string(id.entity_key[1]) + ", " + std::to_string(id.entity_key[2]) +
         "], entity_kind: " + to_string(id.entity_kind) + " }";
}

Guid Guid::from_bytes(std::span<const std::uint8_t, 16> bytes) {
  Guid guid;
  std::copy_n(bytes.begin(), 12, guid.prefix.begin());
  guid.entity_id = EntityId::from_bytes(bytes.subspan<12, 4>());
  return guid;
}

std::array<std::uint8_t, 16> Guid::to_bytes() const {
  std::array<std::uint8_t, 16> out{};
  std::copy(prefix.begin(), prefix.end(), out.begin());
  const auto id = entity_id.to_bytes();
  std::copy(id.begin(), id.end(), out.begin() + 12);
  return out;
}

std::uint64_t to_unix_ns(const Time& time) {
  if (time.seconds < 0) return 0;
  return static_cast<std::uint64_t>(time.seconds) * 1'000'000'000 +
         ((std::uint64_t{time.fraction} * 1'000'000'000) >> 32);
}

std::string to_string(const Guid& guid) {
  const auto bytes = guid.to_bytes();
  return to_hex(std::span(bytes).first(12)) + ":" + to_hex(std::span(bytes).last(4));
}

bool is_accepted_locator_kind(std::int32_t kind) {
  switch (kind) {
    case locator_kind::invalid:
    case locator_kind::reserved:
    case locator_kind::udp_v4:
    case locator_kind::udp_v6:
    case locator_kind::tcp_v4:
    case locator_kind::tcp_v6:
    case locator_kind::shm_a:
    case locator_kind::shm_b:
      return true;
    default:
      return false;
  }
}

Locator Locator::udp_v4(std::array<std::uint8_t, 4> ipv4, std::uint32_t port) {
  Locator locator{.kind = locator_kind::udp_v4, .port = port};
  std::copy(ipv4.begin(), ipv4.end(), locator.address.begin() + 12);
  return locator;
}

std::string to_string(const Locator& locator) {
  if (locator.kind == locator_kind::udp_v4) {
    const auto a = locator.ipv4();
    return "udpv4:" + std::to_string(a[0]) + "." + std::to_string(a[1]) + "." +
           std::to_string(a[2]) + "." + std::to_string(a[3]) + ":" + std::to_string(locator.port);
  }
  return "locator(kind=" + std::to_string(locator.kind) + ", port=" + std::to_string(locator.port) +
         ", address=" + to_hex(locator.address) + ")";
}

}  // namespace nimbrel::rtps
