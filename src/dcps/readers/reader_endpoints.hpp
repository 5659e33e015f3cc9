// The endpoints behind one reader handle. Peers match a reader only with writers of its own
// keyedness (judged from the entity kinds), and a reliable reader only with reliable writers, so a
// handle announces one endpoint per keyedness and reliability its topic's writers need. A handle
// that follows its writers also announces one per durability, ownership, partition list and
// representation list, each the writer's own, so that every writer matches and a transient-local
// writer's history comes too. All of them deliver into the handle's one queue; matching gives each
// remote writer to exactly one of them.
#pragma once

#include <compare>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "dcps/readers/reader_metrics.hpp"
#include "dcps/readers/sample_queue.hpp"
#include "dcps/readers/user_reader.hpp"
#include "foundation/guarded.hpp"
#include "rtps/publication_data.hpp"
#include "rtps/subscription_data.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::dcps {

// What one endpoint announces beyond the handle's common QoS.
struct EndpointChoice {
  bool keyed = true;
  bool reliable = true;
  // The handle's own unless it follows its writers.
  rtps::DurabilityKind durability = rtps::DurabilityKind::Volatile;
  rtps::OwnershipKind ownership = rtps::OwnershipKind::Shared;
  std::vector<std::string> partitions{};
  // Accepted beyond the handle's own representations.
  std::vector<std::int16_t> extra_representations{};
  friend auto operator<=>(const EndpointChoice&, const EndpointChoice&) = default;
};

// Keyless 0x04 or keyed 0x07.
rtps::EntityKind reader_kind(bool keyed);

struct ReaderEndpoints;

// The endpoint that receives `writer`: of the writer's keyedness, reliable only when the writer
// and the handle both are.
EndpointChoice endpoint_for_writer(const rtps::PublicationBuiltinTopicData& writer,
                                   const ReaderEndpoints& handle);

// The handle's first endpoint: keyless only when the topic's known writers are all keyless, so a
// reader created before any writer is known stays keyed until a keyless writer appears. A handle
// that follows its writers takes the first known writer's QoS.
EndpointChoice first_endpoint(std::span<const rtps::PublicationBuiltinTopicData> known_writers,
                              const ReaderEndpoints& handle);

// What the endpoint for `choice` announces, but for its GUID.
rtps::SubscriptionBuiltinTopicData endpoint_subscription(const ReaderEndpoints& handle,
                                                         const EndpointChoice& choice);

// Shared by the slots of one handle. All but the endpoint table are fixed at registration.
struct ReaderEndpoints {
  rtps::EntityId handle{};  // the first endpoint's id, the one the handle carries
  bool reliable = true;     // as the handle was created
  bool follow_writers = false;
  // What every endpoint announces, but for its own GUID and reliability.
  rtps::SubscriptionBuiltinTopicData model{};
  std::shared_ptr<const SampleSender> queue{};
  std::shared_ptr<SharedListener> listener = std::make_shared<SharedListener>();
  std::shared_ptr<AsyncWaker> waker = std::make_shared<AsyncWaker>();
  std::shared_ptr<const TopicSeries> series{};  // absent in tests that build handles by hand
  rtps::AssemblerCaps assembler_caps{};         // given to every endpoint's reader
  // Each endpoint's slot; the slot map owns them. Locked by matching on nbrl-recv-meta and API
  // callers.
  Guarded<std::map<EndpointChoice, std::weak_ptr<Guarded<UserReaderSlot>>>> endpoints{
      std::in_place};
};

// The handle's endpoint for `choice`, registered and announced now if it has none yet. Null when
// a lock on the way is poisoned.
SharedReaderSlot endpoint_slot(Participant& participant, UserReaders& readers,
                               const std::shared_ptr<ReaderEndpoints>& handle,
                               EndpointChoice choice);

// The slots of every endpoint of the handle but `except`.
std::vector<SharedReaderSlot> other_endpoints(ReaderEndpoints& handle,
                                              const SharedReaderSlot& except);

}  // namespace nimbrel::dcps
