#include "tools/common/args.hpp"

#include <limits>
#include <utility>

namespace nimbrel::tools {

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

}  // namespace nimbrel::tools
