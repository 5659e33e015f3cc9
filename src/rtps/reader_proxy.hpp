// A reliable writer's view of one matched remote reader (DDSI-RTPS 2.5 section 8.4.7.5): where to
// send, what it has acknowledged, what it asked to have repaired. Whoever matches the reader fills
// in the record; the writer keeps the acknowledgement state and the repair requests up to date.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <utility>
#include <vector>

#include "foundation/time.hpp"
#include "rtps/data_representation.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::rtps {

struct ReaderProxy {
  Guid remote_reader_guid{};
  std::vector<Locator> unicast_locators{};
  std::vector<Locator> multicast_locators{};
  // Both 0 when the reader is owed the whole history; a volatile match may start them at the
  // writer's highest sequence number.
  SequenceNumber highest_acked = 0;
  SequenceNumber highest_sent = 0;
  std::int16_t data_representation = data_representation::xcdr1;
  std::set<SequenceNumber> requested_changes{};
  std::map<SequenceNumber, std::set<FragmentNumber>> requested_fragments{};
  // Heartbeats since the reader last answered, and when the last one left.
  std::uint32_t unanswered_heartbeats = 0;
  std::optional<Elapsed> last_heartbeat{};

  // Everything below `base` is acknowledged; requests at or below it are dropped.
  void acked_changes_set(SequenceNumber base);
  // Keeps only numbers above the highest acknowledged.
  void add_requested_changes(std::span<const SequenceNumber> requested);
  void add_requested_fragments(SequenceNumber sn, std::span<const FragmentNumber> fragments);

  // Lowest pending request, removed as it is handed out.
  std::optional<SequenceNumber> next_requested_change();
  std::optional<std::pair<SequenceNumber, FragmentNumber>> next_requested_fragment();
};

}  // namespace nimbrel::rtps
