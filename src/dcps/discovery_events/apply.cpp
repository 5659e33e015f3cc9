#include "dcps/discovery_events/apply.hpp"

#include <set>

#include "dcps/builtin/secure_builtin.hpp"
#include "dcps/builtin/standard_type_lookup.hpp"
#include "dcps/discovery_events/departures.hpp"
#include "dcps/readers/reader_matching.hpp"
#include "dcps/writers/writer_matching.hpp"
#include "monitor/metric_groups.hpp"

namespace nimbrel::dcps {

void handle_spdp(EventTargets targets, const rtps::ReceivedDatagram& datagram, Elapsed now) {
  discovery::SpdpEvents events = discovery::SpdpReader::read(datagram);
  std::set<rtps::GuidPrefix> departed;
  for (const auto& prefix : events.departed) {
    if (auto participants = targets.participant.participants.lock()) {
      if ((*participants)->erase(prefix)) departed.insert(prefix);
    }
  }
  forget_participants(targets, departed);

  for (auto& participant : events.announced) {
    if (participant.sender_prefix == targets.participant.prefix) continue;
    using Insert = discovery::DiscoveredParticipantsCache::Insert;
    Insert inserted = Insert::Refused;
    if (auto participants = targets.participant.participants.lock()) {
      inserted = (*participants)->insert(participant, now);
      monitor::discovery_metrics().participants_known->set(
          static_cast<std::int64_t>((*participants)->size()));
    }
    // The cache lock is released before the stack is locked: never two component locks at once.
    if (inserted == Insert::New) {
      if (auto sedp = targets.participant.sedp.lock())
        (*sedp)->on_participant_discovered(participant);
      secure_on_participant_discovered(targets.participant, participant);
      type_lookup_on_participant_discovered(targets.participant, participant);
      targets.participant.announce_soon.store(true, std::memory_order_release);
    }
    if (inserted != Insert::Refused) push_participant_sample(targets.builtin, participant.data);
  }
}

void on_sedp_events(EventTargets targets, const discovery::SedpEvents& events) {
  forget_writers(targets.readers, events.removed_publications, targets.participant.elapsed());
  forget_readers(targets.writers, events.removed_subscriptions);
  type_lookup_on_sedp_events(targets.participant, events);
  if (!events.brings_endpoints()) return;
  if (!events.publications.empty()) {
    if (auto log = targets.participant.writer_topics.lock()) {
      for (const auto& publication : events.publications)
        (*log)->add({publication.topic_name, publication.type_name});
    }
  }
  push_endpoint_samples(targets.builtin, events);
  // Every endpoint again: a remote one skipped earlier for want of its participant's locator may
  // be matchable now.
  match_local_readers_against_cache(targets.participant, targets.readers);
  match_local_writers_against_cache(targets.participant, targets.writers);
}

}  // namespace nimbrel::dcps
