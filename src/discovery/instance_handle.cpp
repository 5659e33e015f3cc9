#include "discovery/instance_handle.hpp"

namespace nimbrel::discovery {

namespace {
constexpr std::uint64_t fnv_offset_basis = 0xcbf29ce484222325ULL;
constexpr std::uint64_t fnv_prime = 0x100000001b3ULL;
}  // namespace

InstanceHandle instance_handle(std::span<const std::uint8_t, 16> key) {
  std::uint64_t hash = fnv_offset_basis;
  for (std::uint8_t byte : key) {
    hash ^= byte;
    hash *= fnv_prime;
  }
  return hash == 0 ? 1 : hash;
}

InstanceHandle instance_handle(const rtps::Guid& guid) {
  const auto bytes = guid.to_bytes();
  return instance_handle(std::span<const std::uint8_t, 16>(bytes));
}

}  // namespace nimbrel::discovery
