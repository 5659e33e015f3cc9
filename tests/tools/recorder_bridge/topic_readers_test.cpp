// Which announced topics get a reader: the filter decides, each topic and type once, up to the
// bound, beyond which topics are refused and said once.
#include "tools/recorder_bridge/topic_readers.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace nimbrel::bridge {
namespace {

struct Case {
  const char* label;
  tools::TopicFilter filter;
  std::size_t max_topics;
  // Announced in two rounds; the second starts over when `missed`.
  std::vector<dcps::TopicType> first, second;
  bool missed;
  std::vector<std::string> recorded;  // "topic:type", in creation order
  std::uint64_t refused;
};

TEST(TopicReaders, FilterOnceEachAndBound) {
  const dcps::TopicType a{"rt/a", "A"}, a2{"rt/a", "A2"}, b{"rt/b", "B"}, c{"c", "C"};
  const std::vector<Case> cases{
      {"All", {.all = true}, 10, {a, b}, {a, c}, false, {"rt/a:A", "rt/b:B", "c:C"}, 0},
      {"TwoTypesTwoReaders", {.all = true}, 10, {a, a2}, {}, false, {"rt/a:A", "rt/a:A2"}, 0},
      {"Pattern", {.includes = {"rt/*"}}, 10, {a, c}, {b}, false, {"rt/a:A", "rt/b:B"}, 0},
      {"Excluded",
       {.all = true, .excludes = {"*b"}},
       10,
       {a, b, c},
       {},
       false,
       {"rt/a:A", "c:C"},
       0},
      {"Bound", {.all = true}, 2, {a, b, c}, {a2, c}, false, {"rt/a:A", "rt/b:B"}, 2},
      {"Missed", {.all = true}, 10, {a}, {a, b}, true, {"rt/a:A", "rt/b:B"}, 0},
      {"Nothing", {}, 10, {a, b}, {}, false, {}, 0}};
  for (const auto& test : cases) {
    SCOPED_TRACE(test.label);
    std::vector<std::string> created;
    std::ostringstream err;
    int round = 0;
    TopicReaders readers(
        test.filter, test.max_topics,
        {.create =
             [&](dcps::UserReaderConfig config) {
               EXPECT_TRUE(config.follow_writers && config.reliable);
               created.push_back(config.topic_name + ":" + config.type_name);
               return reinterpret_cast<NimbrelReader*>(created.size());
             },
         .writer_topics_since =
             [&](std::uint64_t generation) {
               ArrivalLog<dcps::TopicType>::Since news{.generation = generation + 1};
               news.items = round++ == 0 ? test.first : test.second;
               news.missed = round == 2 && test.missed;
               return news;
             },
         .err = &err});
    std::deque<LoopReader> loop;
    readers.grow(loop);
    readers.grow(loop);
    EXPECT_EQ(created, test.recorded);
    ASSERT_EQ(loop.size(), created.size());
    EXPECT_EQ(readers.refused(), test.refused);
    const auto said = err.str();
    EXPECT_EQ(said.empty(), test.refused == 0) << said;
    EXPECT_EQ(said.find('\n'), said.empty() ? std::string::npos : said.size() - 1) << said;
  }
}

}  // namespace
}  // namespace nimbrel::bridge
