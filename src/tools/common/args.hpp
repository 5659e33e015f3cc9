// What the tools' command lines share: how a parse stops, whole-text numbers, and the N(ms|s)
// form of a duration. Each tool keeps its own options, messages and limits.
#pragma once

#include <charconv>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace nimbrel::tools {

// Why a command line gave no arguments: help or the version asked for, or the message of an error.
struct ParseStop {
  enum class Kind { Help, Version, Error };
  Kind kind = Kind::Error;
  std::string message;  // empty for help
};

inline std::unexpected<ParseStop> stop_for_help() {
  return std::unexpected(ParseStop{.kind = ParseStop::Kind::Help, .message = {}});
}

inline std::unexpected<ParseStop> stop_for_version() {
  return std::unexpected(ParseStop{.kind = ParseStop::Kind::Version, .message = {}});
}

// "PROGRAM VERSION", the project's version, as --version prints it.
std::string version_line(std::string_view program);

inline std::unexpected<ParseStop> stop_for_error(std::string message) {
  return std::unexpected(ParseStop{.kind = ParseStop::Kind::Error, .message = std::move(message)});
}

// The message for an option that ends the command line without its value.
std::string needs_value(std::string_view option);

// The whole of `text` as a number: no sign, no spaces, nothing after it.
template <typename T>
std::optional<T> parse_number(std::string_view text) {
  T value{};
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc{} || ptr != end) return std::nullopt;
  return value;
}

// A duration written N, Nms or Ns, split into the number's text and its unit; the number itself
// is left to the tool, which has its own rules for it.
struct DurationText {
  std::string_view number;
  std::string_view unit;  // "ms", "s", or empty for plain milliseconds
  std::uint64_t unit_ms = 1;
};
DurationText split_duration(std::string_view text);

// Nanoseconds in a time such as "90", "1.5s", "250ms", "2m", "1h" (seconds when no unit is given).
std::expected<std::uint64_t, std::string> parse_time(std::string_view text);

// A size in bytes: a number with an optional binary unit, K/KiB, M/MiB or G/GiB (64MiB, 1048576).
// The error says what is wrong with the text.
std::expected<std::uint64_t, std::string> parse_size(std::string_view text);

}  // namespace nimbrel::tools
