#include "dcps/readers/reader_endpoints.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "dcps/participant/participant.hpp"

namespace nimbrel::dcps {

rtps::EntityKind reader_kind(bool keyed) {
  return keyed ? rtps::EntityKind::UserReaderWithKey : rtps::EntityKind::UserReaderNoKey;
}

EndpointChoice endpoint_for_writer(const rtps::PublicationBuiltinTopicData& writer,
                                   bool handle_reliable) {
  // Peers judge keyedness by the kind byte alone; any kind but the keyless one counts as keyed.
  return {
      .keyed = writer.endpoint_guid.entity_id.entity_kind != rtps::EntityKind::UserWriterNoKey,
      .reliable = handle_reliable && writer.reliability.kind == rtps::ReliabilityKind::Reliable};
}

EndpointChoice first_endpoint(std::span<const rtps::PublicationBuiltinTopicData> known_writers,
                              bool handle_reliable) {
  const bool all_keyless =
      !known_writers.empty() && std::ranges::none_of(known_writers, [](const auto& writer) {
        return endpoint_for_writer(writer, /*handle_reliable=*/true).keyed;
      });
  return {.keyed = !all_keyless, .reliable = handle_reliable};
}

SharedReaderSlot endpoint_slot(Participant& participant, UserReaders& readers,
                               const std::shared_ptr<ReaderEndpoints>& handle,
                               EndpointChoice choice) {
  if (auto table = handle->endpoints.lock()) {
    if (auto known = (*table)->find(choice); known != (*table)->end()) {
      return known->second.lock();
    }
  } else {
    return nullptr;
  }

  const rtps::EntityId id = user_reader_entity_id(
      readers.next_key.fetch_add(1, std::memory_order_relaxed), reader_kind(choice.keyed));
  rtps::SubscriptionBuiltinTopicData subscription = handle->model;
  subscription.endpoint_guid = {participant.prefix, id};
  subscription.reliability.kind =
      choice.reliable ? rtps::ReliabilityKind::Reliable : rtps::ReliabilityKind::BestEffort;
  SharedReaderSlot slot = make_endpoint_slot(subscription, handle, participant.elapsed());
  if (auto table = handle->endpoints.lock()) {
    // Another matching thread may have added it meanwhile; its endpoint is the one, this id unused.
    const auto [entry, added] = (*table)->try_emplace(choice, slot);
    if (!added) return entry->second.lock();
  } else {
    return nullptr;
  }
  if (!readers.slots.insert(id, slot)) return nullptr;
  announce_user_subscription(participant, subscription);
  return slot;
}

std::vector<SharedReaderSlot> other_endpoints(ReaderEndpoints& handle,
                                              const SharedReaderSlot& except) {
  std::vector<SharedReaderSlot> out;
  if (auto table = handle.endpoints.lock()) {
    for (const auto& [choice, endpoint] : **table) {
      auto slot = endpoint.lock();
      if (slot && slot != except) out.push_back(std::move(slot));
    }
  }
  return out;
}

}  // namespace nimbrel::dcps
