#include "rtps/history_cache.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace nimbrel::rtps {
namespace {

CacheChange change(SequenceNumber sn) {
  return CacheChange{.sequence_number = sn,
                     .payload = SharedBytes::copy_of(std::vector<std::byte>(4))};
}

std::vector<SequenceNumber> numbers(const HistoryCache& cache) {
  std::vector<SequenceNumber> out;
  for (const auto& [sn, c] : cache)
    out.push_back(sn);
  return out;
}

TEST(HistoryCache, KeepLastEvictsTheOldestAtTheSmallerOfDepthAndLimit) {
  HistoryCache depth_bound(HistoryPolicy::keep_last(3), 256);
  for (SequenceNumber sn = 1; sn <= 4; ++sn)
    EXPECT_EQ(depth_bound.insert(change(sn)), InsertOutcome::Inserted);
  EXPECT_EQ(numbers(depth_bound), (std::vector<SequenceNumber>{2, 3, 4}));
  EXPECT_EQ(depth_bound.evicted(), 1u);
  EXPECT_EQ(depth_bound.stats()->evicted.load(), 1u);

  HistoryCache limit_bound(HistoryPolicy::keep_last(256), 10);
  for (SequenceNumber sn = 1; sn <= 11; ++sn)
    limit_bound.insert(change(sn));
  EXPECT_EQ(limit_bound.size(), 10u);
  EXPECT_EQ(limit_bound.min_sn(), 2);
}

TEST(HistoryCache, RejectionsLeaveTheCacheUnchanged) {
  HistoryCache depth_zero(HistoryPolicy::keep_last(0), 256);
  EXPECT_EQ(depth_zero.insert(change(1)), InsertOutcome::RejectedDepthZero);
  EXPECT_TRUE(depth_zero.empty());

  HistoryCache full(HistoryPolicy::keep_all(), 2);
  EXPECT_EQ(full.insert(change(5)), InsertOutcome::Inserted);
  EXPECT_EQ(full.insert(change(6)), InsertOutcome::Inserted);
  EXPECT_EQ(full.insert(change(7)), InsertOutcome::RejectedFull);
  // A duplicate is reported as such even when the cache is full.
  EXPECT_EQ(full.insert(change(5)), InsertOutcome::Duplicate);
  EXPECT_EQ(numbers(full), (std::vector<SequenceNumber>{5, 6}));
  EXPECT_EQ(full.evicted(), 0u);
}

TEST(HistoryCache, RemoveUpToKeepsTheLaterChangesAndUpdatesStatistics) {
  HistoryCache cache(HistoryPolicy::keep_all(), 16);
  for (SequenceNumber sn : {1, 2, 5})
    cache.insert(change(sn));
  auto stats = cache.stats();
  EXPECT_EQ(stats->changes.load(), 3u);
  EXPECT_EQ(cache.remove_up_to(3), 2u);
  EXPECT_EQ(numbers(cache), (std::vector<SequenceNumber>{5}));
  EXPECT_EQ(stats->changes.load(), 1u);
  EXPECT_EQ(stats->highest.load(), 5);
  EXPECT_EQ(stats->lowest.load(), 5);
  EXPECT_EQ(cache.remove_up_to(5), 1u);
  EXPECT_EQ(cache.max_sn(), std::nullopt);
  EXPECT_EQ(stats->highest.load(), 0);
}

TEST(HistoryCache, PayloadsAreSharedNotCopied) {
  HistoryCache cache(HistoryPolicy::keep_all(), 4);
  auto bytes = SharedBytes::copy_of(std::vector<std::byte>(8));
  cache.insert(CacheChange{.sequence_number = 1, .payload = bytes});
  EXPECT_EQ(cache.find(1)->payload.data(), bytes.data());
  EXPECT_EQ(cache.find(2), nullptr);
}

}  // namespace
}  // namespace nimbrel::rtps
