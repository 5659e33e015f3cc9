#include "dcps/discovery_events/departures.hpp"

#include <algorithm>
#include <functional>

#include "dcps/builtin/secure_builtin.hpp"
#include "dcps/builtin/standard_type_lookup.hpp"
#include "dcps/writers/writer_matching.hpp"
#include "monitor/metric_groups.hpp"

namespace nimbrel::dcps {
namespace {

void forget_in_user_readers(UserReaders& readers,
                            const std::function<bool(const rtps::Guid&)>& gone, Elapsed now) {
  for (const auto& [id, shared] : readers.slots.snapshot())
    forget_writers_in(*shared, gone, now);
}

}  // namespace

void forget_participants(EventTargets targets, const std::set<rtps::GuidPrefix>& gone) {
  if (gone.empty()) return;
  Participant& participant = targets.participant;
  if (auto sedp = participant.sedp.lock()) (*sedp)->on_participants_removed(gone);
  secure_on_participants_removed(participant, gone);
  type_lookup_on_participants_removed(participant, gone);
  if (auto wlp = participant.wlp.lock()) {
    for (const auto& prefix : gone)
      (*wlp)->forget(prefix);
  }
  const auto of_gone = [&](const rtps::Guid& endpoint) { return gone.contains(endpoint.prefix); };
  forget_in_user_readers(targets.readers, of_gone, participant.elapsed());
  forget_readers_in_user_writers(targets.writers, of_gone);
}

void forget_writers(UserReaders& readers, const std::vector<rtps::Guid>& gone, Elapsed now) {
  if (gone.empty()) return;
  forget_in_user_readers(
      readers,
      [&](const rtps::Guid& writer) { return std::ranges::find(gone, writer) != gone.end(); }, now);
}

void forget_readers(UserWriters& writers, const std::vector<rtps::Guid>& gone) {
  if (gone.empty()) return;
  forget_readers_in_user_writers(writers, [&](const rtps::Guid& reader) {
    return std::ranges::find(gone, reader) != gone.end();
  });
}

void expire_participants(EventTargets targets, Elapsed now) {
  std::vector<rtps::GuidPrefix> expired;
  if (auto participants = targets.participant.participants.lock()) {
    expired = (*participants)->expire(now);
    if (!expired.empty()) {
      monitor::discovery_metrics().participants_known->set(
          static_cast<std::int64_t>((*participants)->size()));
    }
  }
  forget_participants(targets, {expired.begin(), expired.end()});
}

}  // namespace nimbrel::dcps
