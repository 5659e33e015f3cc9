#include "tools/common/topic_filter.hpp"

#include <algorithm>
#include <optional>

#include "tools/common/json.hpp"

namespace nimbrel::tools {
namespace {

// A byte that starts no valid sequence is a character of its own, so any name can be matched.
std::size_t char_length(std::string_view text, std::size_t pos) {
  return std::max<std::size_t>(1, utf8_length(text, pos));
}

}  // namespace

bool is_topic_pattern(std::string_view text) {
  return text.find_first_of("*?") != std::string_view::npos;
}

bool pattern_matches(std::string_view pattern, std::string_view name) {
  std::size_t p = 0;
  std::size_t n = 0;
  // Only the latest '*' is ever retried: whatever an earlier one could swallow, the latest can
  // swallow as well, which keeps the work bounded by the product of both lengths.
  std::optional<std::size_t> after_star;
  std::size_t star_end = 0;  // how far into `name` that '*' reaches now
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      after_star = ++p;
      star_end = n;
      continue;
    }
    const std::size_t name_char = char_length(name, n);
    if (p < pattern.size()) {
      if (pattern[p] == '?') {
        ++p;
        n += name_char;
        continue;
      }
      const std::size_t pattern_char = char_length(pattern, p);
      if (pattern.substr(p, pattern_char) == name.substr(n, name_char)) {
        p += pattern_char;
        n += name_char;
        continue;
      }
    }
    if (!after_star) return false;
    star_end += char_length(name, star_end);
    n = star_end;
    p = *after_star;
  }
  while (p < pattern.size() && pattern[p] == '*')
    ++p;
  return p == pattern.size();
}

bool TopicFilter::selects(std::string_view topic) const {
  const auto matches = [&](const std::string& pattern) { return pattern_matches(pattern, topic); };
  return (all || std::ranges::any_of(includes, matches)) && std::ranges::none_of(excludes, matches);
}

}  // namespace nimbrel::tools
