// A remote writer as a reliable reader knows it (the WriterProxy of DDSI-RTPS 2.5): what its
// HEARTBEATs announced, what arrived, what GAPs declared irrelevant and what has been delivered.
// Numbers at or below the highest delivered are forgotten, so the state stays as small as the
// undelivered window; ranges are stored as ranges, so a hostile announcement costs one entry.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <vector>

#include "rtps/wire_types.hpp"

namespace nimbrel::rtps {

// Disjoint, non-adjacent closed ranges of sequence numbers; touching ranges merge on insertion.
class SequenceRanges {
 public:
  // Ignored when `first > last`.
  void insert(SequenceNumber first, SequenceNumber last);
  void insert(SequenceNumber sn) { insert(sn, sn); }
  // Drops every number below `sn`.
  void erase_below(SequenceNumber sn);

  bool contains(SequenceNumber sn) const { return range_end(sn).has_value(); }
  // The last number of the range holding `sn`.
  std::optional<SequenceNumber> range_end(SequenceNumber sn) const;
  // The first number of the first range starting above `sn`.
  std::optional<SequenceNumber> next_start_after(SequenceNumber sn) const;

  bool empty() const { return ranges_.empty(); }
  std::size_t range_count() const { return ranges_.size(); }
  // First and last number of each range, ascending.
  const std::map<SequenceNumber, SequenceNumber>& ranges() const { return ranges_; }

 private:
  std::map<SequenceNumber, SequenceNumber> ranges_;
};

struct WriterProxy {
  std::vector<Locator> unicast_locators{};
  std::vector<Locator> multicast_locators{};
  Guid remote_writer_guid{};
  // A best-effort writer is never waited for, asked for repairs or acknowledged: what it sent
  // before the newest arrival and did not arrive is lost.
  bool reliable = true;
  // As announced by HEARTBEATs.
  SequenceNumber first_available = 1;
  SequenceNumber last_available = 0;
  SequenceNumber highest_received = 0;
  // Every number up to it has been delivered or skipped; the two sets hold only numbers above it.
  SequenceNumber highest_delivered = 0;
  // Losses are counted from here on: the first number heard of, as a DATA or as the number after
  // a HEARTBEAT's last. What a writer published before it knew the reader is not lost by it.
  // 0 until the writer is first heard.
  SequenceNumber counted_from = 0;
  SequenceRanges received{};
  SequenceRanges irrelevant{};
  // Numbers the reader gave up on itself (too large), already counted as lost. Also in `received`
  // while at or above the first available number, so that they are acknowledged.
  SequenceRanges refused{};

  // Numbers from max(first available, highest delivered + 1) to last available that neither
  // arrived nor are irrelevant, ascending, at most `limit`. Costs O(limit + stored ranges).
  std::vector<SequenceNumber> missing_changes(std::size_t limit) const;
  // The first missing number, else the number after everything announced or delivered.
  SequenceNumber acknack_base() const;

  bool is_received_or_irrelevant(SequenceNumber sn) const {
    return received.contains(sn) || irrelevant.contains(sn);
  }
  // Records an arrival at or above the first available number.
  void mark_received(SequenceNumber sn);
  // Records [first, last] as irrelevant, from the first available number on.
  void mark_irrelevant(SequenceNumber first, SequenceNumber last);
  // Raises the announced bounds; numbers below the first available are forgotten.
  void announce(SequenceNumber first_sn, SequenceNumber last_sn);
  void mark_delivered_up_to(SequenceNumber sn);
  void hear_from(SequenceNumber sn) {
    if (counted_from == 0 && sn > 0) counted_from = sn;
  }
};

}  // namespace nimbrel::rtps
