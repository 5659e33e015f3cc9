#include "types/detail/json_text.hpp"

#include <charconv>
#include <cmath>

namespace nimbrel::types::detail {
namespace {

constexpr std::uint32_t replacement = 0xFFFD;

template <typename T>
void append_chars(std::string& out, T v) {
  char buf[64];
  const auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
  out.append(buf, end);
}

template <typename F>
void append_float(std::string& out, F v) {
  if (std::isnan(v)) {
    out += "\"NaN\"";
  } else if (std::isinf(v)) {
    out += v < 0 ? "\"-Infinity\"" : "\"Infinity\"";
  } else {
    append_chars(out, v);
  }
}

// Inside the quotes: escapes what JSON requires, UTF-8 for the rest.
void append_code_point(std::string& out, std::uint32_t cp) {
  static constexpr char digits[] = "0123456789abcdef";
  if (cp == '"' || cp == '\\') {
    out += '\\';
    out += static_cast<char>(cp);
  } else if (cp == '\n') {
    out += "\\n";
  } else if (cp == '\t') {
    out += "\\t";
  } else if (cp == '\r') {
    out += "\\r";
  } else if (cp < 0x20) {
    out += "\\u00";
    out += digits[cp >> 4];
    out += digits[cp & 0x0f];
  } else if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The code point of the sequence starting at s[i] and its length; length 0 when the bytes form
// no valid sequence (overlong, surrogate, past U+10FFFF, cut short).
std::pair<std::uint32_t, std::size_t> utf8_at(std::span<const std::byte> s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<std::uint32_t>(s[i + k]); };
  const std::uint32_t lead = b(0);
  std::size_t len = 0;
  std::uint32_t cp = 0, low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    len = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    len = 3;
    cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    len = 4;
    cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {0, 0};
  }
  if (len > s.size() - i) return {0, 0};
  for (std::size_t k = 1; k < len; ++k) {
    const auto c = b(k);
    if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF)) return {0, 0};
    cp = (cp << 6) | (c & 0x3F);
  }
  return {cp, len};
}

}  // namespace

void append_json_int(std::string& out, std::int64_t v) {
  append_chars(out, v);
}
void append_json_uint(std::string& out, std::uint64_t v) {
  append_chars(out, v);
}
void append_json_float(std::string& out, float v) {
  append_float(out, v);
}
void append_json_double(std::string& out, double v) {
  append_float(out, v);
}

void append_json_string(std::string& out, std::span<const std::byte> utf8) {
  out += '"';
  for (std::size_t i = 0; i < utf8.size();) {
    const auto c = static_cast<std::uint32_t>(utf8[i]);
    if (c < 0x80) {
      append_code_point(out, c);
      ++i;
      continue;
    }
    const auto [cp, len] = utf8_at(utf8, i);
    append_code_point(out, len == 0 ? replacement : cp);
    i += len == 0 ? 1 : len;
  }
  out += '"';
}

void append_json_string(std::string& out, std::string_view utf8) {
  append_json_string(out, std::as_bytes(std::span(utf8.data(), utf8.size())));
}

void append_json_utf16(std::string& out, std::span<const std::uint16_t> units) {
  out += '"';
  for (std::size_t i = 0; i < units.size(); ++i) {
    const std::uint32_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      append_code_point(out, 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00u));
      ++i;
    } else {
      append_code_point(out, u >= 0xD800 && u <= 0xDFFF ? replacement : u);
    }
  }
  out += '"';
}

void append_json_code_point(std::string& out, std::uint32_t code_point) {
  out += '"';
  append_code_point(out, code_point >= 0xD800 && code_point <= 0xDFFF ? replacement : code_point);
  out += '"';
}

}  // namespace nimbrel::types::detail
