// Pieces that the writers of type text (IDL) and of sample text (JSON) share: how a hash is
// spelled in messages, and the type flag bits both read that the type object model leaves unnamed.
#pragma once

#include <cstdint>
#include <string>

#include "types/type_identifier.hpp"

namespace nimbrel::types::detail {

inline constexpr std::uint16_t appendable_flag = 0x0002;
inline constexpr std::uint16_t default_case_flag = 0x0040;

inline std::string hash_hex(const EquivalenceHash& hash) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (auto b : hash.bytes) {
    out += digits[b >> 4];
    out += digits[b & 0x0f];
  }
  return out;
}

}  // namespace nimbrel::types::detail
