#include "dcps/writers/writer_matching.hpp"

#include <string>
#include <utility>
#include <vector>

#include "dcps/matching/match_candidates.hpp"
#include "dcps/matching/matching_rules.hpp"
#include "dcps/participant/participant.hpp"
#include "dcps/writers/user_writer.hpp"
#include "rtps/data_representation.hpp"

namespace nimbrel::dcps {
namespace {

// True when the reader is new to the writer. A fresh proxy for a known reader would forget what it
// acknowledged and, for a volatile writer, skip what it has not received yet.
bool accept_reader(const Participant& participant, UserWriterSlot& slot,
                   const rtps::SubscriptionBuiltinTopicData& reader,
                   std::vector<rtps::Locator> locators) {
  rtps::ReliableWriter& writer = slot.writer;
  if (const auto* known = writer.find_reader_proxy(reader.endpoint_guid)) {
    if (known->unicast_locators != locators || !known->multicast_locators.empty()) {
      rtps::ReaderProxy moved = *known;
      moved.unicast_locators = std::move(locators);
      moved.multicast_locators.clear();
      writer.add_reader_proxy(std::move(moved));
    }
    return false;
  }
  const auto& offered = slot.publication.data_representation.empty()
                            ? participant.config.data_representations
                            : slot.publication.data_representation;
  const auto negotiated = rtps::data_representation::negotiate(
      offered, reader.data_representation, participant.config.representation_negotiation);
  rtps::ReaderProxy proxy{.remote_reader_guid = reader.endpoint_guid,
                          .unicast_locators = std::move(locators),
                          .data_representation = negotiated.found
                                                     ? negotiated.representation
                                                     : rtps::data_representation::xcdr2};
  const auto highest = writer.history().max_sn();
  if (slot.publication.durability == rtps::DurabilityKind::Volatile && highest && *highest > 0) {
    proxy.highest_acked = *highest;
    proxy.highest_sent = *highest;
  }
  writer.add_reader_proxy(std::move(proxy));
  return true;
}

}  // namespace

void match_local_writer_against_cache(Participant& participant, UserWriters& writers,
                                      const rtps::EntityId& writer) {
  const SharedWriterSlot shared = writers.slots.find(writer);
  if (!shared) return;
  auto candidates = match_candidates(
      participant, *shared, &UserWriterSlot::publication,
      [](const auto& cache) -> const auto& { return cache.subscriptions(); });

  for (auto& candidate : candidates) {
    auto locators = remote_user_locators(participant, candidate.endpoint_guid.prefix);
    // Reconsidered at the next matching run, once the participant is known.
    if (locators.empty()) continue;
    bool matched = false;
    if (auto slot = shared->lock()) {
      UserWriterSlot& local = **slot;
      if (auto refused = check_remote_reader(candidate, endpoint_qos(local.publication))) {
        record_incompatible(local.offered_incompatible_qos, *refused);
        continue;
      }
      matched = accept_reader(participant, local, candidate, std::move(locators));
    }
    // Only a reader that became a proxy just now is news.
    if (matched) {
      participant.config.sink->record(
          Event{"writer.matched_remote_reader", {}}.with_attr("writer_eid", to_string(writer)));
    }
  }
}

void match_local_writers_against_cache(Participant& participant, UserWriters& writers) {
  for (const auto& [id, slot] : writers.slots.snapshot()) {
    match_local_writer_against_cache(participant, writers, id);
  }
}

void forget_readers_in_user_writers(UserWriters& writers,
                                    const std::function<bool(const rtps::Guid&)>& gone) {
  for (const auto& [id, shared] : writers.slots.snapshot()) {
    auto slot = shared->lock();
    if (!slot) continue;
    (*slot)->writer.remove_reader_proxies_if(gone);
    // Samples held only for the departed reader need not wait for it.
    release_acknowledged(**slot);
  }
}

}  // namespace nimbrel::dcps
