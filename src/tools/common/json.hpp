// Text encodings for output: JSON strings, names escaped for terminals or made UTF-8, and payload
// bytes as hex or base64.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace nimbrel::tools {

// `s` as a quoted JSON string; bytes that are not valid UTF-8 become U+FFFD, so the output always
// parses whatever a recording's header holds.
std::string json_string(std::string_view s);
// `s` for a line of text on a terminal: control characters, backslashes and C1 controls become
// escapes (\n, \\, \x1b, \u009b) and bytes that are not UTF-8 become \xNN, so that a name can
// neither move the cursor nor start a line of its own.
std::string text_escape(std::string_view s);
// `s` with each byte that is not part of valid UTF-8 replaced by U+FFFD.
std::string utf8_lossy(std::string_view s);
// Length of the valid UTF-8 sequence starting at `s[i]`, or 0 when none starts there.
std::size_t utf8_length(std::string_view s, std::size_t i);
std::string to_hex(std::span<const std::byte> bytes);
std::string to_base64(std::span<const std::byte> bytes);

}  // namespace nimbrel::tools
