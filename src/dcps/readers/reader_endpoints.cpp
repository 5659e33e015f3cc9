#include "dcps/readers/reader_endpoints.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "dcps/participant/participant.hpp"

namespace nimbrel::dcps {

rtps::EntityKind reader_kind(bool keyed) {
  return keyed ? rtps::EntityKind::UserReaderWithKey : rtps::EntityKind::UserReaderNoKey;
}

namespace {

// Peers judge keyedness by the kind byte alone; any kind but the keyless one counts as keyed.
bool keyed(const rtps::PublicationBuiltinTopicData& writer) {
  return writer.endpoint_guid.entity_id.entity_kind != rtps::EntityKind::UserWriterNoKey;
}

// An endpoint with the handle's own QoS.
EndpointChoice own_choice(const ReaderEndpoints& handle, bool keyed_endpoint, bool reliable) {
  return {.keyed = keyed_endpoint,
          .reliable = reliable,
          .durability = handle.model.durability,
          .ownership = handle.model.ownership,
          .partitions = handle.model.partition};
}

}  // namespace

EndpointChoice endpoint_for_writer(const rtps::PublicationBuiltinTopicData& writer,
                                   const ReaderEndpoints& handle) {
  EndpointChoice choice =
      own_choice(handle, keyed(writer),
                 handle.reliable && writer.reliability.kind == rtps::ReliabilityKind::Reliable);
  if (!handle.follow_writers) return choice;
  // Transient-local is the most a reader without a durability service can ask for.
  choice.durability = std::min(writer.durability, rtps::DurabilityKind::TransientLocal);
  choice.ownership = writer.ownership;
  choice.partitions = writer.partition;
  const auto& own = handle.model.data_representation;
  auto& extra = choice.extra_representations;
  for (const auto id : writer.data_representation) {
    if (std::ranges::find(own, id) == own.end() && std::ranges::find(extra, id) == extra.end())
      extra.push_back(id);
  }
  std::ranges::sort(extra);
  return choice;
}

EndpointChoice first_endpoint(std::span<const rtps::PublicationBuiltinTopicData> known_writers,
                              const ReaderEndpoints& handle) {
  if (handle.follow_writers && !known_writers.empty())
    return endpoint_for_writer(known_writers.front(), handle);
  const bool all_keyless = !known_writers.empty() && std::ranges::none_of(known_writers, keyed);
  return own_choice(handle, !all_keyless, handle.reliable);
}

rtps::SubscriptionBuiltinTopicData endpoint_subscription(const ReaderEndpoints& handle,
                                                         const EndpointChoice& choice) {
  rtps::SubscriptionBuiltinTopicData subscription = handle.model;
  subscription.reliability.kind =
      choice.reliable ? rtps::ReliabilityKind::Reliable : rtps::ReliabilityKind::BestEffort;
  subscription.durability = choice.durability;
  subscription.ownership = choice.ownership;
  subscription.partition = choice.partitions;
  subscription.data_representation.insert(subscription.data_representation.end(),
                                          choice.extra_representations.begin(),
                                          choice.extra_representations.end());
  return subscription;
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
  rtps::SubscriptionBuiltinTopicData subscription = endpoint_subscription(*handle, choice);
  subscription.endpoint_guid = {participant.prefix, id};
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
