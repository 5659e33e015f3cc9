#include "rtps/lifecycle.hpp"

#include <algorithm>

namespace nimbrel::rtps {
namespace {

// Flags in the last of the four bytes, whatever the byte order of the list.
constexpr std::uint8_t disposed_flag = 0x01;
constexpr std::uint8_t unregistered_flag = 0x02;

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
  if (!data.key_flag || !data.inline_qos) return change_kind::alive;
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

}  // namespace nimbrel::rtps
