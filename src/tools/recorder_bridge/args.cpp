#include "tools/recorder_bridge/args.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <limits>
#include <optional>

#include "cdr/buffer.hpp"
#include "tools/common/args.hpp"

namespace nimbrel::bridge {

const std::string_view usage_text =
    "nimbrel-recorder-bridge \u2014 Live-Capture nach .nbrlrec\n"
    "\n"
    "USAGE:\n"
    "  nimbrel-recorder-bridge --out FILE [--domain N] \\\n"
    "    --topic NAME:TYPE [--topic NAME:TYPE ...] \\\n"
    "    [--duration N(ms|s)] [--max-sample-size SIZE] \\\n"
    "    [--compression none|lz4|zstd] \\\n"
    "    [--all] [--exclude MUSTER ...] [--max-topics N]\n"
    "\n"
    "OPTIONS:\n"
    "  --out FILE        Output-Pfad fuer .nbrlrec\n"
    "  --domain N        DDS-Domain-ID (default 0)\n"
    "  --topic NAME:TYPE Topic + Type \u2014 mehrfach erlaubt\n"
    "  --duration X      Stop nach X (ms-default oder Suffix s)\n"
    "  --max-sample-size SIZE\n"
    "                    Groesstes Sample (default 64MiB); groessere gehen verloren\n"
    "  --compression none|lz4|zstd\n"
    "                    MCAP statt .nbrlrec, wenn FILE auf .mcap endet;\n"
    "                    Chunk-Kompression (default zstd)\n"
    "  --topic NAME      Nur MCAP: Topic mit jedem Typ seiner Writer;\n"
    "                    * und ? machen NAME zum Muster\n"
    "  --all             Nur MCAP: alle Topics, auch spaeter erscheinende\n"
    "  --exclude MUSTER  Nur MCAP: Topics auslassen \u2014 mehrfach erlaubt\n"
    "  --max-topics N    Nur MCAP: hoechstens N Topics (default 4096)\n"
    "  --version         Version ausgeben\n"
    "\n";

namespace {

struct CodePoint {
  char32_t value = 0;
  std::size_t length = 0;  // 0: not a well-formed sequence
};

CodePoint decode_at(std::string_view text, std::size_t pos) {
  const auto b0 = static_cast<unsigned char>(text[pos]);
  std::size_t length = 1;
  if (b0 >= 0xF0) {
    length = 4;
  } else if (b0 >= 0xE0) {
    length = 3;
  } else if (b0 >= 0xC0) {
    length = 2;
  }
  if (length > text.size() - pos) return {};
  const auto bytes = std::as_bytes(std::span(text.data() + pos, length));
  if (!cdr::is_valid_utf8(bytes)) return {};
  if (length == 1) return {b0, 1};
  char32_t value = b0 & (0x7Fu >> length);
  for (std::size_t k = 1; k < length; ++k) {
    value = (value << 6) | (static_cast<unsigned char>(text[pos + k]) & 0x3Fu);
  }
  return {value, length};
}

// The start of the code point that ends at `end` (exclusive), for walking backwards.
std::size_t previous_start(std::string_view text, std::size_t end) {
  std::size_t pos = end - 1;
  while (pos > 0 && end - pos < 4 && (static_cast<unsigned char>(text[pos]) & 0xC0) == 0x80)
    --pos;
  return pos;
}

bool is_unicode_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Unsigned decimal with an optional leading "+", nothing trimmed; the texts are what the tool
// prints after "domain: " and the duration prefixes.
enum class IntError { Empty, InvalidDigit, Overflow };

const char* to_string(IntError error) {
  switch (error) {
    case IntError::Empty:
      return "cannot parse integer from empty string";
    case IntError::InvalidDigit:
      return "invalid digit found in string";
    case IntError::Overflow:
      return "number too large to fit in target type";
  }
  return "invalid digit found in string";
}

template <typename T>
std::expected<T, IntError> parse_unsigned(std::string_view text) {
  if (text.empty()) return std::unexpected(IntError::Empty);
  if (text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::unexpected(IntError::InvalidDigit);
  // Left to right, so whichever of a bad digit and an overflow comes first is reported.
  T value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::unexpected(IntError::InvalidDigit);
    const auto digit = static_cast<T>(c - '0');
    if (value > (std::numeric_limits<T>::max() - digit) / 10) {
      return std::unexpected(IntError::Overflow);
    }
    value = static_cast<T>(value * 10 + digit);
  }
  return value;
}

std::optional<recorder::McapCompression> parse_compression(std::string_view text) {
  if (text == "none") return recorder::McapCompression::None;
  if (text == "lz4") return recorder::McapCompression::Lz4;
  if (text == "zstd") return recorder::McapCompression::Zstd;
  return std::nullopt;
}

std::expected<TopicArg, std::string> parse_topic(const std::string& value) {
  const auto colon = value.find(':');
  if (colon == std::string::npos) return std::unexpected("topic must be NAME:TYPE, got " + value);
  return TopicArg{value.substr(0, colon), value.substr(colon + 1)};
}

}  // namespace

bool is_mcap_path(std::string_view path) {
  constexpr std::string_view extension = ".mcap";
  if (path.size() <= extension.size()) return false;
  const auto tail = path.substr(path.size() - extension.size());
  return std::ranges::equal(tail, extension, [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == b;
  });
}

std::string_view trim_unicode_space(std::string_view text) {
  while (!text.empty()) {
    const auto cp = decode_at(text, 0);
    if (cp.length == 0 || !is_unicode_space(cp.value)) break;
    text.remove_prefix(cp.length);
  }
  while (!text.empty()) {
    const auto start = previous_start(text, text.size());
    const auto cp = decode_at(text, start);
    if (cp.length != text.size() - start || !is_unicode_space(cp.value)) break;
    text.remove_suffix(cp.length);
  }
  return text;
}

std::expected<std::uint64_t, std::string> parse_duration_ms(std::string_view text) {
  const auto duration = tools::split_duration(trim_unicode_space(text));
  const auto value = parse_unsigned<std::uint64_t>(duration.number);
  if (!value) {
    const std::string unit = duration.unit.empty() ? "ms-default" : std::string(duration.unit);
    return std::unexpected(unit + ": " + to_string(value.error()));
  }
  // Past u64 milliseconds is half a billion years: saturating is the same as no limit.
  constexpr auto max = std::numeric_limits<std::uint64_t>::max();
  return *value > max / duration.unit_ms ? max : *value * duration.unit_ms;
}

std::string quote_path(std::string_view text) {
  std::string out = "\"";
  std::size_t pos = 0;
  while (pos < text.size()) {
    const auto cp = decode_at(text, pos);
    if (cp.length == 0) {
      std::array<char, 8> hex{};
      std::snprintf(hex.data(), hex.size(), "\\x%02X", static_cast<unsigned char>(text[pos]));
      out += hex.data();
      ++pos;
      continue;
    }
    switch (cp.value) {
      case U'"':
        out += "\\\"";
        break;
      case U'\\':
        out += "\\\\";
        break;
      case U'\n':
        out += "\\n";
        break;
      case U'\r':
        out += "\\r";
        break;
      case U'\t':
        out += "\\t";
        break;
      case U'\0':
        out += "\\0";
        break;
      default:
        if (cp.value < 0x20 || (cp.value >= 0x7F && cp.value <= 0x9F)) {
          std::array<char, 16> hex{};
          std::snprintf(hex.data(), hex.size(), "\\u{%x}", static_cast<unsigned>(cp.value));
          out += hex.data();
        } else {
          out.append(text.substr(pos, cp.length));
        }
    }
    pos += cp.length;
  }
  out += '"';
  return out;
}

namespace {

// The output decides which forms of the command line hold, wherever --out stands: the last one
// counts, as it does below.
bool mcap_output(std::span<const std::string> argv) {
  bool mcap = false;
  for (std::size_t i = 1; i + 1 < argv.size(); ++i) {
    if (argv[i] == "--all") continue;
    if (argv[i] == "--out") mcap = is_mcap_path(argv[i + 1]);
    ++i;
  }
  return mcap;
}

}  // namespace

std::expected<Args, ParseStop> parse_args(std::span<const std::string> argv) {
  for (std::size_t i = 1; i < argv.size(); ++i) {
    if (!cdr::is_valid_utf8(std::as_bytes(std::span(argv[i])))) {
      return tools::stop_for_error("argument " + std::to_string(i) + " is not valid UTF-8");
    }
  }
  if (argv.size() < 2) return tools::stop_for_error("--out FILE required");

  const bool mcap = mcap_output(argv);
  Args args;
  bool have_out = false;
  bool have_compression = false;
  for (std::size_t i = 1; i < argv.size(); i += 2) {
    const std::string& flag = argv[i];
    if (flag == "-h" || flag == "help" || flag == "--help") {
      return tools::stop_for_help();
    }
    if (flag == "--version") return tools::stop_for_version();
    const bool mcap_only = flag == "--all" || flag == "--exclude" || flag == "--max-topics";
    if (mcap_only && !mcap) return tools::stop_for_error(flag + " needs an .mcap output");
    if (flag == "--all") {
      args.filter.all = true;
      --i;  // it takes no value
      continue;
    }
    if (flag != "--out" && flag != "--domain" && flag != "--topic" && flag != "--duration" &&
        flag != "--max-sample-size" && flag != "--compression" && !mcap_only) {
      return tools::stop_for_error("unknown flag: " + flag);
    }
    if (i + 1 >= argv.size()) return tools::stop_for_error("missing value for " + flag);
    const std::string& value = argv[i + 1];
    if (flag == "--out") {
      args.out = value;
      have_out = true;
    } else if (flag == "--domain") {
      const auto domain = parse_unsigned<std::uint32_t>(value);
      if (!domain)
        return tools::stop_for_error(std::string("domain: ") + to_string(domain.error()));
      args.domain = *domain;
    } else if (flag == "--topic") {
      if (mcap && (value.find(':') == std::string::npos || tools::is_topic_pattern(value))) {
        if (value.empty()) return tools::stop_for_error("topic: a name or pattern is needed");
        args.filter.includes.push_back(value);
        continue;
      }
      auto topic = parse_topic(value);
      if (!topic) return tools::stop_for_error(std::move(topic.error()));
      args.topics.push_back(std::move(*topic));
    } else if (flag == "--exclude") {
      if (value.empty()) return tools::stop_for_error("exclude: a name or pattern is needed");
      args.filter.excludes.push_back(value);
    } else if (flag == "--max-topics") {
      const auto max = parse_unsigned<std::uint32_t>(value);
      if (!max || *max == 0)
        return tools::stop_for_error("max-topics: must be a whole number from 1 to 4294967295");
      args.max_topics = *max;
    } else if (flag == "--compression") {
      const auto compression = parse_compression(value);
      if (!compression)
        return tools::stop_for_error("compression: must be none, lz4 or zstd, got " + value);
      args.compression = *compression;
      have_compression = true;
    } else if (flag == "--max-sample-size") {
      // DATA_FRAG gives a sample's size in 32 bits; below 4 bytes not even a header fits.
      const auto size = tools::parse_size(value);
      if (!size) return tools::stop_for_error("max-sample-size: " + size.error());
      if (*size < 4 || *size > std::numeric_limits<std::uint32_t>::max())
        return tools::stop_for_error("max-sample-size: must be from 4 bytes to 4 GiB - 1");
      args.max_sample_size = static_cast<std::uint32_t>(*size);
    } else {
      auto duration = parse_duration_ms(value);
      if (!duration) return tools::stop_for_error(std::move(duration.error()));
      args.duration_ms = *duration;
    }
  }
  if (!have_out) return tools::stop_for_error("--out FILE required");
  if (mcap && args.topics.empty() && args.filter.includes.empty() && !args.filter.all)
    return tools::stop_for_error("at least one --topic NAME[:TYPE] or --all required");
  if (args.topics.empty() && !mcap)
    return tools::stop_for_error("at least one --topic NAME:TYPE required");
  if (have_compression && !is_mcap_path(args.out))
    return tools::stop_for_error("--compression needs an .mcap output");
  return args;
}

}  // namespace nimbrel::bridge
