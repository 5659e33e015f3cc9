#include "tools/common/args.hpp"

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

}  // namespace nimbrel::tools
