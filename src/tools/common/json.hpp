// Text encodings for machine-readable output: JSON strings, and payload bytes as hex or base64.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace nimbrel::tools {

// `s` as a quoted JSON string; bytes that are not valid UTF-8 become U+FFFD, so the output always
// parses whatever a recording's header holds.
std::string json_string(std::string_view s);
std::string to_hex(std::span<const std::byte> bytes);
std::string to_base64(std::span<const std::byte> bytes);

}  // namespace nimbrel::tools
