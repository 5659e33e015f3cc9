// Bytes as lowercase hex digits, two per byte, as GUIDs, locators and codec errors print them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace nimbrel {

inline std::string to_hex(std::span<const std::uint8_t> bytes) {
  std::string out;
  char buf[3];
  for (auto b : bytes) {
    std::snprintf(buf, sizeof buf, "%02x", b);
    out += buf;
  }
  return out;
}

}  // namespace nimbrel
