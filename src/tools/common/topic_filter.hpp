// Which topics a tool takes, by name: the rules nimbrel-recorder-bridge and nimbrel-discover share.
// A pattern matches a whole topic name: '*' stands for any run of characters (none included), '?'
// for exactly one character (a UTF-8 code point), and every other character for itself; case
// counts. A topic is selected when `all` is set or an include matches it, and no exclude does.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace nimbrel::tools {

// Whether `text` holds a '*' or a '?', so that it is a pattern rather than a plain name.
bool is_topic_pattern(std::string_view text);

// Linear in practice, and never worse than the product of both lengths, whatever the pattern.
bool pattern_matches(std::string_view pattern, std::string_view name);

struct TopicFilter {
  bool all = false;
  std::vector<std::string> includes{};  // names or patterns
  std::vector<std::string> excludes{};  // names or patterns

  // With nothing to include and `all` unset, nothing is selected.
  bool selects(std::string_view topic) const;
};

}  // namespace nimbrel::tools
