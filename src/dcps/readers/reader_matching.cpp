#include "dcps/readers/reader_matching.hpp"

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "dcps/matching/match_candidates.hpp"
#include "dcps/matching/matching_rules.hpp"
#include "dcps/matching/status.hpp"
#include "dcps/participant/participant.hpp"
#include "dcps/readers/reader_endpoints.hpp"

namespace nimbrel::dcps {
namespace {

// Refreshing the locators of a known writer, or a fresh proxy for a new one; never a fresh proxy
// for a known writer, which would drop what it has received and deliver again from scratch. True
// for a fresh one.
bool accept_writer(UserReaderSlot& slot, const rtps::PublicationBuiltinTopicData& writer,
                   const std::vector<rtps::Locator>& locators, bool reliable) {
  const rtps::Guid& guid = writer.endpoint_guid;
  slot.matched_writers.insert_or_assign(guid, writer.ownership_strength);
  slot.silent_writers.erase(guid);
  if (const auto* known = slot.reader.writer_proxy_state(guid)) {
    if (known->proxy.unicast_locators != locators || !known->proxy.multicast_locators.empty()) {
      slot.reader.set_writer_locators(guid, locators, {});
    }
    return false;
  }
  slot.reader.add_writer_proxy(rtps::WriterProxy{
      .unicast_locators = locators, .remote_writer_guid = guid, .reliable = reliable});
  return true;
}

// A writer delivers through one endpoint of a handle only, so nothing of it arrives twice.
void forget_writer(Guarded<UserReaderSlot>& shared, const rtps::Guid& writer, Elapsed now) {
  forget_writers_in(
      shared, [&](const rtps::Guid& g) { return g == writer; }, now);
}

// A reliable writer that peers match with this endpoint too waits for its acknowledgements, so
// the endpoint keeps a proxy that acknowledges and delivers nothing.
bool acknowledge_silently(Guarded<UserReaderSlot>& shared,
                          const rtps::PublicationBuiltinTopicData& writer,
                          const std::vector<rtps::Locator>& locators) {
  auto slot = shared.lock();
  if (!slot) return false;
  UserReaderSlot& local = **slot;
  const auto& own = local.subscription;
  const bool keyless_writer =
      writer.endpoint_guid.entity_id.entity_kind == rtps::EntityKind::UserWriterNoKey;
  const bool keyless_reader =
      own.endpoint_guid.entity_id.entity_kind == rtps::EntityKind::UserReaderNoKey;
  // Nobody waits for a best-effort reader, and no peer matches what the rules refuse.
  if (own.reliability.kind != rtps::ReliabilityKind::Reliable ||
      writer.reliability.kind != rtps::ReliabilityKind::Reliable ||
      keyless_writer != keyless_reader || check_remote_writer(writer, endpoint_qos(own)) ||
      local.reader.writer_proxy_state(writer.endpoint_guid) != nullptr)
    return false;
  local.silent_writers.insert(writer.endpoint_guid);
  local.reader.add_writer_proxy(rtps::WriterProxy{
      .unicast_locators = locators, .remote_writer_guid = writer.endpoint_guid, .reliable = true});
  return true;
}

}  // namespace

void match_local_reader_against_cache(Participant& participant, UserReaders& readers,
                                      const rtps::EntityId& reader) {
  const SharedReaderSlot shared = readers.slots.find(reader);
  if (!shared) return;
  std::shared_ptr<ReaderEndpoints> handle;
  if (auto slot = shared->lock()) {
    handle = (*slot)->endpoints;
  } else {
    return;
  }
  // Matching is per handle: its first endpoint stands for the others.
  if (!handle || handle->handle != reader) return;

  const EndpointQos qos = endpoint_qos(handle->model);
  struct Accepted {
    const rtps::PublicationBuiltinTopicData* writer;
    SharedReaderSlot owner;
    std::vector<rtps::Locator> locators;
  };
  std::vector<Accepted> accepted;
  bool added = false;
  const auto candidates =
      known_publications(participant, handle->model.topic_name, handle->model.type_name);
  for (const auto& candidate : candidates) {
    auto locators = remote_user_locators(participant, candidate.endpoint_guid.prefix);
    // Reconsidered at the next matching run, once the participant is known.
    if (locators.empty()) continue;
    const EndpointChoice choice = endpoint_for_writer(candidate, *handle);
    // Plain endpoints differ only in what the rules do not compare; those that follow their
    // writers are checked with what they announce. Either way the handle's status counts.
    std::optional<QosPolicyId> refused;
    if (handle->follow_writers) {
      const auto own = endpoint_subscription(*handle, choice);
      refused = check_remote_writer(candidate, endpoint_qos(own));
    } else {
      refused = check_remote_writer(candidate, qos);
    }
    if (refused) {
      if (auto slot = shared->lock())
        record_incompatible((*slot)->requested_incompatible_qos, *refused);
      continue;
    }
    const SharedReaderSlot target = endpoint_slot(participant, readers, handle, choice);
    if (!target) continue;
    bool fresh = false;
    if (auto slot = target->lock()) {
      fresh = accept_writer(**slot, candidate, locators, choice.reliable);
    }
    added = added || fresh;
    if (fresh) {
      for (const auto& other : other_endpoints(*handle, target))
        forget_writer(*other, candidate.endpoint_guid, participant.elapsed());
    }
    if (handle->follow_writers) accepted.push_back({&candidate, target, std::move(locators)});
  }
  // Once every endpoint this run needs exists, so that a new one learns of earlier writers too.
  for (const auto& [writer, owner, locators] : accepted) {
    for (const auto& other : other_endpoints(*handle, owner))
      added = acknowledge_silently(*other, *writer, locators) || added;
  }
  // After the proxies are in place: a route found from now on sees them.
  if (added) readers.route_generation.fetch_add(1, std::memory_order_acq_rel);
}

void match_local_readers_against_cache(Participant& participant, UserReaders& readers) {
  for (const auto& [id, slot] : readers.slots.snapshot()) {
    match_local_reader_against_cache(participant, readers, id);
  }
}

}  // namespace nimbrel::dcps
