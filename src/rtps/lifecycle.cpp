#include "rtps/lifecycle.hpp"

#include <algorithm>

namespace nimbrel::rtps {
namespace {

// Flags in the last of the four bytes, whatever the byte order of the list.
constexpr std::uint8_t disposed_flag = 0x01;
constexpr std::uint8_t unregistered_flag = 0x02;

constexpr std::size_t encapsulation_size = 4;
constexpr std::byte pl_cdr_be{0x02};
constexpr std::byte pl_cdr_le{0x03};

}  // namespace

std::optional<KeyHash> key_hash_of(const DataSubmessage& data) {
  if (!data.inline_qos) return std::nullopt;
  const Parameter* p = data.inline_qos->find(pid::key_hash);
  if (p == nullptr || p->value.size() != KeyHash{}.size()) return std::nullopt;
  KeyHash hash{};
  std::ranges::transform(p->value, hash.begin(),
                         [](std::byte b) { return static_cast<std::uint8_t>(b); });
  return hash;
}

std::uint8_t change_kind_of(const DataSubmessage& data) {
  // A DATA with data is alive whatever it says; one with a key, or with nothing but its inline QoS
  // (as Fast DDS disposes and unregisters), says what happened to its instance.
  const bool carries_data = !data.key_flag && !data.serialized_payload.empty();
  if (carries_data || !data.inline_qos) return change_kind::alive;
  const Parameter* p = data.inline_qos->find(pid::status_info);
  if (p == nullptr || p->value.size() != 4) return change_kind::alive;
  const auto flags = static_cast<std::uint8_t>(p->value[3]);
  const bool disposed = (flags & disposed_flag) != 0;
  const bool unregistered = (flags & unregistered_flag) != 0;
  if (disposed && unregistered) return change_kind::not_alive_disposed_unregistered;
  if (disposed) return change_kind::not_alive_disposed;
  if (unregistered) return change_kind::not_alive_unregistered;
  return change_kind::alive;
}

ParameterList lifecycle_qos(const KeyHash& key, std::uint8_t kind) {
  std::uint8_t flags = 0;
  if (kind == change_kind::not_alive_disposed ||
      kind == change_kind::not_alive_disposed_unregistered) {
    flags |= disposed_flag;
  }
  if (kind == change_kind::not_alive_unregistered ||
      kind == change_kind::not_alive_disposed_unregistered) {
    flags |= unregistered_flag;
  }
  ParameterList qos;
  qos.push(pid::key_hash, std::as_bytes(std::span(key)));
  qos.push(pid::status_info,
           std::vector<std::byte>{std::byte{0}, std::byte{0}, std::byte{0}, std::byte{flags}});
  return qos;
}

DataSubmessage builtin_goodbye(std::uint16_t key_pid, const Guid& instance) {
  ParameterList key;
  key.push_guid(key_pid, instance);
  std::vector<std::byte> payload{std::byte{0}, pl_cdr_le, std::byte{0}, std::byte{0}};
  WireWriter writer(payload, /*little_endian=*/true);
  // A 16-byte value always fits its parameter.
  static_cast<void>(key.encode(writer));
  return DataSubmessage{.inline_qos = lifecycle_qos(instance.to_bytes(),
                                                    change_kind::not_alive_disposed_unregistered),
                        .serialized_payload = SharedBytes::adopt(std::move(payload)),
                        .key_flag = true};
}

std::optional<Guid> builtin_instance(const std::optional<KeyHash>& key_hash,
                                     const SharedBytes& payload, std::uint16_t key_pid) {
  if (key_hash) return Guid::from_bytes(*key_hash);
  const auto bytes = payload.span();
  if (bytes.size() < encapsulation_size || bytes[0] != std::byte{0}) return std::nullopt;
  if (bytes[1] != pl_cdr_le && bytes[1] != pl_cdr_be) return std::nullopt;
  auto list = decode_bytes<ParameterList>(bytes.subspan(encapsulation_size), bytes[1] == pl_cdr_le);
  if (!list) return std::nullopt;
  const Parameter* guid = list->find(key_pid);
  return guid ? guid->read_guid() : std::nullopt;
}

}  // namespace nimbrel::rtps
