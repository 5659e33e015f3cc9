#include "tools/common/args.hpp"

#include <limits>
#include <map>
#include <utility>

namespace nimbrel::tools {

std::string version_line(std::string_view program) {
  return std::string(program) + " " NIMBREL_VERSION;
}

std::string needs_value(std::string_view option) {
  return std::string(option) + " needs a value";
}

DurationText split_duration(std::string_view text) {
  if (text.ends_with("ms")) {
    text.remove_suffix(2);
    return {.number = text, .unit = "ms", .unit_ms = 1};
  }
  if (text.ends_with("s")) {
    text.remove_suffix(1);
    return {.number = text, .unit = "s", .unit_ms = 1000};
  }
  return {.number = text, .unit = {}, .unit_ms = 1};
}

std::expected<std::uint64_t, std::string> parse_size(std::string_view text) {
  constexpr std::pair<std::string_view, int> units[] = {{"KiB", 10}, {"MiB", 20}, {"GiB", 30},
                                                        {"K", 10},   {"M", 20},   {"G", 30}};
  int shift = 0;
  for (const auto& [unit, bits] : units) {
    if (text.ends_with(unit)) {
      text.remove_suffix(unit.size());
      shift = bits;
      break;
    }
  }
  const auto value = parse_number<std::uint64_t>(text);
  if (!value) return std::unexpected("not a size: a number of bytes, or with K, M or G (64MiB)");
  if (*value > (std::numeric_limits<std::uint64_t>::max() >> shift))
    return std::unexpected("too large");
  return *value << shift;
}

std::expected<std::uint64_t, std::string> parse_time(std::string_view text) {
  const auto bad = [&] { return std::unexpected("not a time: \"" + std::string(text) + "\""); };
  std::size_t digits_end = 0;
  while (digits_end < text.size() &&
         ((text[digits_end] >= '0' && text[digits_end] <= '9') || text[digits_end] == '.'))
    ++digits_end;
  const std::string_view number = text.substr(0, digits_end);
  const std::string_view unit = text.substr(digits_end);
  static const std::map<std::string_view, std::uint64_t, std::less<>> units{
      {"", 1'000'000'000}, {"s", 1'000'000'000},     {"ms", 1'000'000},          {"us", 1'000},
      {"ns", 1},           {"m", 60'000'000'000ULL}, {"h", 3'600'000'000'000ULL}};
  const auto scale = units.find(unit);
  const auto dot = number.find('.');
  const std::string_view whole = number.substr(0, dot);
  const std::string_view fraction = dot == std::string_view::npos ? "" : number.substr(dot + 1);
  if (scale == units.end() || number.empty() || number == "." ||
      fraction.find('.') != std::string_view::npos)
    return bad();
  std::uint64_t value = 0;
  if (!whole.empty()) {
    const auto whole_value = parse_number<std::uint64_t>(whole);
    if (!whole_value) return bad();
    value = *whole_value;
  }
  constexpr auto max = std::numeric_limits<std::uint64_t>::max();
  if (value > max / scale->second) return bad();
  value *= scale->second;
  // Fraction digits past the unit's resolution cannot name a nanosecond and are dropped.
  std::uint64_t part = scale->second;
  for (char c : fraction) {
    part /= 10;
    value += static_cast<std::uint64_t>(c - '0') * part;
    if (part == 0) break;
  }
  return value;
}

}  // namespace nimbrel::tools
