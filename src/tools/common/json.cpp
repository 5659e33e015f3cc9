#include "tools/common/json.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace nimbrel::tools {

std::size_t utf8_length(std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  std::size_t n = 0;
  std::uint32_t min = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4, min = 0x10000;
  } else {
    return 0;
  }
  if (n > s.size() - i) return 0;
  std::uint32_t cp = lead & (0x7Fu >> n);
  for (std::size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3Fu);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

std::string json_string(std::string_view s) {
  std::string out = "\"";
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80) {
      const std::size_t n = utf8_length(s, i);
      if (n == 0) {
        out += "\\ufffd";
        ++i;
      } else {
        out.append(s.substr(i, n));
        i += n;
      }
      continue;
    }
    ++i;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string text_escape(std::string_view s) {
  std::string out;
  const auto escape = [&](const char* format, unsigned value) {
    char buf[8];
    std::snprintf(buf, sizeof buf, format, value);
    out += buf;
  };
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80) {
      const std::size_t n = utf8_length(s, i);
      // U+0080..U+009F are two bytes, C2 80..C2 9F: terminals take some of them as controls.
      if (n == 2 && c == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0) {
        escape("\\u%04x", static_cast<unsigned char>(s[i + 1]));
      } else if (n == 0) {
        escape("\\x%02x", c);
      } else {
        out.append(s.substr(i, n));
      }
      i += n == 0 ? 1 : n;
      continue;
    }
    ++i;
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      escape("\\x%02x", c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string utf8_lossy(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const std::size_t n = c < 0x80 ? 1 : utf8_length(s, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(s.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::string to_hex(std::span<const std::byte> bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out(bytes.size() * 2, '0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto b = std::to_integer<unsigned>(bytes[i]);
    out[2 * i] = digits[b >> 4];
    out[2 * i + 1] = digits[b & 0xF];
  }
  return out;
}

std::string to_base64(std::span<const std::byte> bytes) {
  static constexpr char alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 3; ++k)
      v = (v << 8) | (k < n ? std::to_integer<std::uint32_t>(bytes[i + k]) : 0u);
    for (std::size_t k = 0; k < 4; ++k)
      out += k <= n ? alphabet[(v >> (18 - 6 * k)) & 0x3F] : '=';
  }
  return out;
}

}  // namespace nimbrel::tools
