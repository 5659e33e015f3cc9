#include "tools/common/topic_filter.hpp"

#include <gtest/gtest.h>

#include <string>

namespace nimbrel::tools {
namespace {

std::string repeat(std::string_view piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i)
    out += piece;
  return out;
}

TEST(PatternMatches, WholeNameWithStarsAndCodePoints) {
  struct Case {
    std::string pattern, name;
    bool matches;
  };
  const std::string many_a(4000, 'a');
  // Every '*' must be retried at every position by a naive matcher: exponential, here linear.
  const std::string hostile = repeat("*a", 1000) + "*b";
  const Case cases[] = {
      {"", "", true},
      {"", "a", false},
      {"a", "", false},
      {"*", "", true},
      {"?", "", false},
      {"Square", "Square", true},
      {"Square", "square", false},   // case counts
      {"Square", "Squares", false},  // the whole name
      {"quar", "Square", false},
      {"rt/*", "rt/chatter", true},
      {"rt/*", "rt/", true},
      {"rt/*", "rq/chatter", false},
      {"*/parameter_events", "rt/node/parameter_events", true},
      {"*/parameter_events", "parameter_events", false},
      {"*ab", "aaab", true},
      {"*a", "aaab", false},
      {"a*b*c", "aXbYbZc", true},
      {"a*b*c", "aXbYc_", false},
      {"a**b", "ab", true},
      {"***", "x", true},
      {"Squar?", "Square", true},
      {"??", "a", false},
      {"?", "\xC3\xA9", true},  // é, two bytes
      {"??", "\xC3\xA9", false},
      {"*??", "\xE2\x82\xAC", false},  // € is one character, whatever the star swallows
      {"a?c",
       "a\xF0\x9F\x98\x80"
       "c",
       true},
      {"\xC3\xA9*", "\xC3\xA9t\xC3\xA9", true},
      {"\xC3*", "\xC3\xA9", false},  // a lone lead byte is not é
      {"?x", "\xFFx", true},         // a malformed byte counts as one
      {"??", "\xE2\x82", true},      // so does each byte of a cut sequence
      {hostile, many_a, false},
      {hostile, many_a + "b", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(pattern_matches(c.pattern, c.name), c.matches)
        << '"' << c.pattern.substr(0, 40) << "\" on \"" << c.name.substr(0, 40) << '"';
  EXPECT_TRUE(is_topic_pattern("rt/*"));
  EXPECT_TRUE(is_topic_pattern("Squar?"));
  EXPECT_FALSE(is_topic_pattern("Square"));
}

TEST(TopicFilter, SelectsIncludedTopicsThatNoExcludeMatches) {
  struct Case {
    TopicFilter filter;
    std::string topic;
    bool selected;
  };
  const TopicFilter all_but_perf{.all = true, .includes = {}, .excludes = {"DDSPerf*"}};
  const TopicFilter ros{.includes = {"rt/*", "Square"}, .excludes = {"*/parameter_events"}};
  const Case cases[] = {
      {all_but_perf, "Square", true},
      {all_but_perf, "DDSPerfRDataKS", false},
      {ros, "rt/chatter", true},
      {ros, "Square", true},
      {ros, "Squares", false},  // a name without wildcard is exact
      {ros, "rt/node/parameter_events", false},
      {{}, "Square", false},
      {{.all = true, .includes = {}, .excludes = {}}, "", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.filter.selects(c.topic), c.selected) << c.topic;
}

}  // namespace
}  // namespace nimbrel::tools
