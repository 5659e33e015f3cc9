#include "rtps/history_cache.hpp"

#include <algorithm>
#include <limits>

namespace nimbrel::rtps {

HistoryCache::HistoryCache(HistoryPolicy policy, std::size_t max_samples)
    : policy_(policy), max_samples_(max_samples) {}

InsertOutcome HistoryCache::insert(CacheChange change) {
  if (changes_.contains(change.sequence_number)) return InsertOutcome::Duplicate;
  if (policy_.kind == HistoryPolicy::Kind::KeepLast) {
    if (policy_.depth == 0) return InsertOutcome::RejectedDepthZero;
    const std::size_t limit = std::min<std::size_t>(policy_.depth, max_samples_);
    if (!changes_.empty() && changes_.size() >= limit) {
      changes_.erase(changes_.begin());
      if (evicted_ != std::numeric_limits<std::uint64_t>::max()) ++evicted_;
    }
  } else if (changes_.size() >= max_samples_) {
    return InsertOutcome::RejectedFull;
  }
  const SequenceNumber sn = change.sequence_number;
  changes_.emplace(sn, std::move(change));
  publish_stats();
  return InsertOutcome::Inserted;
}

std::size_t HistoryCache::remove_up_to(SequenceNumber sn) {
  const auto end = changes_.upper_bound(sn);
  const auto removed = static_cast<std::size_t>(std::distance(changes_.begin(), end));
  if (removed == 0) return 0;
  changes_.erase(changes_.begin(), end);
  publish_stats();
  return removed;
}

const CacheChange* HistoryCache::find(SequenceNumber sn) const {
  const auto it = changes_.find(sn);
  return it == changes_.end() ? nullptr : &it->second;
}

std::optional<SequenceNumber> HistoryCache::max_sn() const {
  if (changes_.empty()) return std::nullopt;
  return changes_.rbegin()->first;
}

std::optional<SequenceNumber> HistoryCache::min_sn() const {
  if (changes_.empty()) return std::nullopt;
  return changes_.begin()->first;
}

void HistoryCache::publish_stats() {
  stats_->changes.store(changes_.size(), std::memory_order_relaxed);
  stats_->evicted.store(evicted_, std::memory_order_relaxed);
  stats_->highest.store(max_sn().value_or(0), std::memory_order_relaxed);
  stats_->lowest.store(min_sn().value_or(0), std::memory_order_relaxed);
}

}  // namespace nimbrel::rtps
