#include "rtps/writer_proxy.hpp"

#include <algorithm>
#include <iterator>
#include <limits>

namespace nimbrel::rtps {
namespace {

constexpr SequenceNumber sn_max = std::numeric_limits<SequenceNumber>::max();

SequenceNumber next_sn(SequenceNumber sn) {
  return sn == sn_max ? sn_max : sn + 1;
}

// True when a range ending at `last` overlaps or touches one starting at `first`.
bool joins(SequenceNumber last, SequenceNumber first) {
  return last == sn_max || last + 1 >= first;
}

}  // namespace

void SequenceRanges::insert(SequenceNumber first, SequenceNumber last) {
  if (first > last) return;
  auto it = ranges_.upper_bound(first);
  if (it != ranges_.begin()) {
    auto prev = std::prev(it);
    if (joins(prev->second, first)) {
      first = prev->first;
      last = std::max(last, prev->second);
      it = ranges_.erase(prev);
    }
  }
  while (it != ranges_.end() && joins(last, it->first)) {
    last = std::max(last, it->second);
    it = ranges_.erase(it);
  }
  ranges_.emplace_hint(it, first, last);
}

void SequenceRanges::erase_below(SequenceNumber sn) {
  auto it = ranges_.begin();
  while (it != ranges_.end() && it->second < sn)
    it = ranges_.erase(it);
  if (it != ranges_.end() && it->first < sn) {
    const SequenceNumber last = it->second;
    it = ranges_.erase(it);
    ranges_.emplace_hint(it, sn, last);
  }
}

std::optional<SequenceNumber> SequenceRanges::range_end(SequenceNumber sn) const {
  auto it = ranges_.upper_bound(sn);
  if (it == ranges_.begin()) return std::nullopt;
  --it;
  if (it->second < sn) return std::nullopt;
  return it->second;
}

std::optional<SequenceNumber> SequenceRanges::next_start_after(SequenceNumber sn) const {
  auto it = ranges_.upper_bound(sn);
  if (it == ranges_.end()) return std::nullopt;
  return it->first;
}

std::vector<SequenceNumber> WriterProxy::missing_changes(std::size_t limit) const {
  std::vector<SequenceNumber> out;
  if (highest_delivered == sn_max) return out;
  SequenceNumber n = std::max(first_available, highest_delivered + 1);
  // Each pass either steps over one stored range or emits missing numbers, so the walk is bounded
  // by `limit` plus the stored ranges, whatever the announced span.
  while (n <= last_available && out.size() < limit) {
    std::optional<SequenceNumber> end = received.range_end(n);
    if (!end) end = irrelevant.range_end(n);
    if (end) {
      if (*end >= last_available) break;
      n = *end + 1;
      continue;
    }
    SequenceNumber stop = last_available;  // last missing number of this run
    if (auto r = received.next_start_after(n)) stop = std::min(stop, *r - 1);
    if (auto i = irrelevant.next_start_after(n)) stop = std::min(stop, *i - 1);
    while (out.size() < limit) {
      out.push_back(n);
      if (n == stop) break;
      ++n;
    }
    if (n == sn_max) break;
    ++n;
  }
  return out;
}

SequenceNumber WriterProxy::acknack_base() const {
  auto first_missing = missing_changes(1);
  if (!first_missing.empty()) return first_missing.front();
  return next_sn(std::max(last_available, highest_delivered));
}

void WriterProxy::mark_received(SequenceNumber sn) {
  if (sn < first_available || sn <= highest_delivered) return;
  received.insert(sn);
  highest_received = std::max(highest_received, sn);
}

void WriterProxy::mark_irrelevant(SequenceNumber first, SequenceNumber last) {
  if (highest_delivered == sn_max) return;
  irrelevant.insert(std::max({first, first_available, highest_delivered + 1}), last);
}

void WriterProxy::announce(SequenceNumber first_sn, SequenceNumber last_sn) {
  if (first_sn > first_available) {
    first_available = first_sn;
    received.erase_below(first_sn);
    irrelevant.erase_below(first_sn);
  }
  last_available = std::max(last_available, last_sn);
}

void WriterProxy::mark_delivered_up_to(SequenceNumber sn) {
  if (sn <= highest_delivered) return;
  highest_delivered = sn;
  // Numbers up to the delivered one carry no information any more.
  const SequenceNumber keep_from = next_sn(sn);
  received.erase_below(keep_from);
  irrelevant.erase_below(keep_from);
  refused.erase_below(keep_from);
  if (sn == sn_max) {
    received = {};
    irrelevant = {};
    refused = {};
  }
}

}  // namespace nimbrel::rtps
