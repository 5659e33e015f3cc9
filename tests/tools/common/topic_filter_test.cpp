#include "tools/common/topic_filter.hpp"

#include <gtest/gtest.h>

#include <string>

namespace nimbrel::tools {
namespace {

TEST(PatternMatches, WholeNamesByCodePoint) {
  std::string hostile;  // a matcher that retries every star at every position never ends on it
  for (int i = 0; i < 1000; ++i)
    hostile += "*a";
  hostile += "*b";
  const std::string many_a(4000, 'a');
  const struct {
    std::string pattern, name;
    bool matches;
  } cases[] = {
      // clang-format off
      {"", "", true}, {"", "a", false}, {"a", "", false}, {"*", "", true}, {"?", "", false},
      {"Square", "square", false}, {"Square", "Squares", false}, {"quar", "Square", false},
      {"rt/*", "rt/", true}, {"rt/*", "rq/x", false}, {"*/events", "rt/n/events", true},
      {"*/events", "events", false}, {"*ab", "aaab", true}, {"*a", "aaab", false},
      {"a*b*c", "aXbYbZc", true}, {"a*b*c", "abc_", false}, {"a**b", "ab", true},
      {"Squar?", "Square", true}, {"??", "a", false},
      {"?", "\xC3\xA9", true}, {"??", "\xC3\xA9", false},  // é
      {"*\xAC", "\xE2\x82\xAC", false},                    // a star swallows whole characters
      {"\xC3*", "\xC3\xA9", false},                        // a lone lead byte is not é
      {"?x", "\xFFx", true}, {"??", "\xE2\x82", true},     // a malformed byte counts as one
      {hostile, many_a, false}, {hostile, many_a + "b", true},
      // clang-format on
  };
  for (const auto& c : cases)
    EXPECT_EQ(pattern_matches(c.pattern, c.name), c.matches)
        << c.pattern.substr(0, 20) << " on " << c.name.substr(0, 20);
  EXPECT_TRUE(is_topic_pattern("rt/*") && is_topic_pattern("Squar?") && !is_topic_pattern("Sq"));
}

TEST(TopicFilter, SelectsIncludedTopicsThatNoExcludeMatches) {
  const TopicFilter all_but_perf{.all = true, .includes = {}, .excludes = {"DDSPerf*"}};
  const TopicFilter ros{
      .all = false, .includes = {"rt/*", "Square"}, .excludes = {"*/parameter_events"}};
  const struct {
    TopicFilter filter;
    std::string topic;
    bool selected;
  } cases[] = {
      // clang-format off
      {all_but_perf, "Square", true}, {all_but_perf, "DDSPerfRDataKS", false},
      {ros, "rt/chatter", true}, {ros, "Square", true}, {ros, "Squares", false},
      {ros, "rt/node/parameter_events", false}, {{}, "Square", false},
      // clang-format on
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.filter.selects(c.topic), c.selected) << c.topic;
}

}  // namespace
}  // namespace nimbrel::tools
