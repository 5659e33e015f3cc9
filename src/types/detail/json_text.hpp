// JSON spellings of decoded values, appended to an output string: numbers that read back exactly,
// strings escaped, and text from peers that is not valid UTF-8 repaired with U+FFFD.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace nimbrel::types::detail {

void append_json_int(std::string& out, std::int64_t v);
void append_json_uint(std::string& out, std::uint64_t v);
// Shortest text that reads back as the same float or double; NaN and infinities as strings.
void append_json_float(std::string& out, float v);
void append_json_double(std::string& out, double v);
// UTF-8 bytes; each byte that starts no valid sequence becomes U+FFFD.
void append_json_string(std::string& out, std::span<const std::byte> utf8);
void append_json_string(std::string& out, std::string_view utf8);
// UTF-16 code units as read; a lone surrogate becomes U+FFFD.
void append_json_utf16(std::string& out, std::span<const std::uint16_t> units);
// One code point as a JSON string.
void append_json_code_point(std::string& out, std::uint32_t code_point);

}  // namespace nimbrel::types::detail
