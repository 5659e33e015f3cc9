#include "rtps/reader_proxy.hpp"

#include <algorithm>
#include <limits>

namespace nimbrel::rtps {

void ReaderProxy::acked_changes_set(SequenceNumber base) {
  // A hostile base of the smallest value must not wrap around.
  const SequenceNumber below_base =
      base == std::numeric_limits<SequenceNumber>::min() ? base : base - 1;
  highest_acked = std::max(highest_acked, below_base);
  requested_changes.erase(requested_changes.begin(), requested_changes.upper_bound(highest_acked));
  requested_fragments.erase(requested_fragments.begin(),
                            requested_fragments.upper_bound(highest_acked));
}

void ReaderProxy::add_requested_changes(std::span<const SequenceNumber> requested) {
  for (SequenceNumber sn : requested) {
    if (sn > highest_acked) requested_changes.insert(sn);
  }
}

void ReaderProxy::add_requested_fragments(SequenceNumber sn,
                                          std::span<const FragmentNumber> fragments) {
  if (sn <= highest_acked || fragments.empty()) return;
  requested_fragments[sn].insert(fragments.begin(), fragments.end());
}

std::optional<SequenceNumber> ReaderProxy::next_requested_change() {
  if (requested_changes.empty()) return std::nullopt;
  return requested_changes.extract(requested_changes.begin()).value();
}

std::optional<std::pair<SequenceNumber, FragmentNumber>> ReaderProxy::next_requested_fragment() {
  // The map is a public field; an entry left empty by its filler holds nothing to hand out.
  while (!requested_fragments.empty() && requested_fragments.begin()->second.empty()) {
    requested_fragments.erase(requested_fragments.begin());
  }
  if (requested_fragments.empty()) return std::nullopt;
  auto lowest = requested_fragments.begin();
  const SequenceNumber sn = lowest->first;
  auto& fragments = lowest->second;
  const FragmentNumber fragment = fragments.extract(fragments.begin()).value();
  if (fragments.empty()) requested_fragments.erase(lowest);
  return std::pair{sn, fragment};
}

}  // namespace nimbrel::rtps
