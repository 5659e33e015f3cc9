// The changes of one writer, or those received from one remote writer, ordered by sequence
// number under a history policy and a sample limit. Payloads are shared, never copied. A small
// statistics record is shared with observers and rewritten after every insertion and removal.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>

#include "foundation/shared_bytes.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::rtps {

namespace change_kind {
inline constexpr std::uint8_t alive = 0;
inline constexpr std::uint8_t not_alive_disposed = 2;
inline constexpr std::uint8_t not_alive_unregistered = 3;
inline constexpr std::uint8_t not_alive_disposed_unregistered = 4;
}  // namespace change_kind

using KeyHash = std::array<std::uint8_t, 16>;

// When a received change was sent (the writer's INFO_TS, if it gave one) and when the datagram
// that completed it arrived (wall clock, nanoseconds since the Unix epoch; 0 when not taken).
struct ChangeTimes {
  std::optional<Time> source{};
  std::uint64_t reception_ns = 0;
};

struct CacheChange {
  SequenceNumber sequence_number = 0;
  SharedBytes payload{};  // serialized data with its encapsulation header
  std::uint8_t kind = change_kind::alive;
  std::optional<KeyHash> key_hash{};
  ChangeTimes times{};
};

struct HistoryPolicy {
  enum class Kind { KeepLast, KeepAll };
  Kind kind = Kind::KeepLast;
  std::uint32_t depth = 1;  // keep-last only

  static constexpr HistoryPolicy keep_last(std::uint32_t depth) { return {Kind::KeepLast, depth}; }
  static constexpr HistoryPolicy keep_all() { return {Kind::KeepAll, 0}; }
};

enum class InsertOutcome { Inserted, Duplicate, RejectedDepthZero, RejectedFull };

// Written only by the owning cache; observers read it through their shared reference.
struct HistoryStats {
  std::atomic<std::uint64_t> changes{0};
  std::atomic<std::uint64_t> evicted{0};
  std::atomic<SequenceNumber> highest{0};  // 0 when the cache is empty
  std::atomic<SequenceNumber> lowest{0};   // 0 when the cache is empty
};

class HistoryCache {
 public:
  using Changes = std::map<SequenceNumber, CacheChange>;

  HistoryCache(HistoryPolicy policy, std::size_t max_samples);

  InsertOutcome insert(CacheChange change);
  // Removes every change numbered at most `sn`; gives how many went.
  std::size_t remove_up_to(SequenceNumber sn);

  const CacheChange* find(SequenceNumber sn) const;
  std::optional<SequenceNumber> max_sn() const;
  std::optional<SequenceNumber> min_sn() const;
  std::size_t size() const { return changes_.size(); }
  bool empty() const { return changes_.empty(); }
  Changes::const_iterator begin() const { return changes_.begin(); }
  Changes::const_iterator end() const { return changes_.end(); }
  std::uint64_t evicted() const { return evicted_; }
  std::shared_ptr<const HistoryStats> stats() const { return stats_; }

 private:
  void publish_stats();

  HistoryPolicy policy_;
  std::size_t max_samples_;
  Changes changes_;
  std::uint64_t evicted_ = 0;
  std::shared_ptr<HistoryStats> stats_ = std::make_shared<HistoryStats>();
};

}  // namespace nimbrel::rtps
