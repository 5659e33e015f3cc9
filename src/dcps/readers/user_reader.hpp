// User readers: local DDS data readers for application topics. `register_user_reader` creates one
// (entity id, reliable reader, sample queue, slot), announces its subscription through SEDP and
// matches it against the known remote writers. The user receive path hands each reader's released
// samples to `collect_delivery` under the slot's lock and to `hand_over` after it is released.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "dcps/matching/status.hpp"
#include "dcps/participant/participant.hpp"
#include "dcps/participant/slot_map.hpp"
#include "dcps/readers/sample_queue.hpp"
#include "foundation/guarded.hpp"
#include "foundation/time.hpp"
#include "rtps/publication_data.hpp"
#include "rtps/reliable_reader.hpp"
#include "rtps/subscription_data.hpp"
#include "rtps/wire_types.hpp"
#include "types/type_identifier.hpp"

namespace nimbrel::dcps {

struct ReaderEndpoints;

// Sees the body (the payload after its encapsulation header) of each data sample before it is
// queued.
using UserListener = std::function<void(std::span<const std::byte>)>;
// One per reader handle, shared by its endpoints: replaced by API callers, read at each delivery.
using SharedListener = std::atomic<std::shared_ptr<const UserListener>>;
// Called once after a delivery and then gone, until someone stores a callable again.
using AsyncWaker = Guarded<std::optional<std::function<void()>>>;

struct UserReaderConfig {
  std::string topic_name{};
  std::string type_name{};
  rtps::DurabilityKind durability = rtps::DurabilityKind::Volatile;
  bool reliable = true;  // announces reliability kind 2, else 1
  rtps::OwnershipKind ownership = rtps::OwnershipKind::Shared;
  rtps::LivelinessQos liveliness{};  // automatic, infinite lease
  rtps::RtpsDuration deadline = rtps::duration_infinite;
  std::vector<std::string> partitions{};
  std::vector<std::byte> user_data{};
  std::vector<std::byte> topic_data{};
  std::vector<std::byte> group_data{};
  std::optional<types::TypeIdentifier> type_identifier{};
  // Absent: the runtime's data representations.
  std::optional<std::vector<std::int16_t>> data_representations{};
  // Each writer of the topic is met with its own durability (up to transient-local), ownership,
  // partitions and representations, in place of the ones above.
  bool follow_writers = false;
};

// Guarded as a whole: locked by nbrl-recv-user for delivery, by nbrl-tick for acknowledgements
// and timers, by nbrl-recv-meta and API callers for matching and the listener.
struct UserReaderSlot {
  rtps::ReliableReader reader;
  rtps::SubscriptionBuiltinTopicData subscription;       // as announced; matching reads its QoS
  std::map<rtps::Guid, std::int32_t> matched_writers{};  // writer GUID to ownership strength
  // Writers that another endpoint of the handle delivers, which peers match with this one too:
  // acknowledged here so that they never wait for it, and what they send is dropped.
  std::set<rtps::Guid> silent_writers{};
  std::shared_ptr<const SampleSender> queue;
  std::shared_ptr<SharedListener> listener = std::make_shared<SharedListener>();
  std::shared_ptr<AsyncWaker> waker = std::make_shared<AsyncWaker>();
  std::shared_ptr<ReaderEndpoints> endpoints{};  // the handle's endpoints, this one among them

  // QoS timers of the tick loop; 0 means none.
  std::uint64_t deadline_ns = 0;
  std::uint64_t liveliness_lease_ns = 0;
  rtps::LivelinessKind liveliness_kind = rtps::LivelinessKind::Automatic;
  Elapsed last_sample_time{};  // the registration time until the first sample
  std::uint64_t requested_deadline_missed = 0;
  bool writer_alive = true;
  std::uint64_t liveliness_changed = 0;  // raised only by delivery
  std::uint64_t not_alive = 0;           // raised only by the tick loop
  IncompatibleQosStatus requested_incompatible_qos{};
};

using SharedReaderSlot = std::shared_ptr<Guarded<UserReaderSlot>>;

// The user readers of one participant.
// Which endpoints hold a proxy of each remote writer, so that data addressed to no reader (as
// standard writers send it) goes to those alone rather than to every reader in turn.
struct WriterRoutes {
  static constexpr std::size_t max_writers = 65'536;
  std::uint64_t generation = 0;  // of the matching the routes were found in
  std::map<rtps::Guid, std::vector<SharedReaderSlot>> by_writer;
};

struct UserReaders {
  // Inserted by API callers; looked up by nbrl-recv-user, snapshotted by nbrl-tick and matching.
  SlotMap<UserReaderSlot> slots;
  std::atomic<std::uint32_t> next_key{1};  // the key of the next user reader's id
  // Raised by matching after it gave an endpoint a new writer proxy: the routes found before are
  // dropped.
  std::atomic<std::uint64_t> route_generation{0};
  // Filled by nbrl-recv-user as writers are first heard.
  Guarded<WriterRoutes> routes{std::in_place};
};

// The endpoints that hold a proxy of `writer`, from the routes when known, else found by looking
// at every endpoint once.
std::vector<SharedReaderSlot> writer_routes(UserReaders& readers, const rtps::Guid& writer);

// Up to the largest sample configured; partly received samples of one writer take at most that
// or the queue budget, whichever is more.
rtps::AssemblerCaps user_assembler_caps(const RuntimeConfig& config);

// Key 00 00 01 for the first reader endpoint, then counting up.
rtps::EntityId user_reader_entity_id(std::uint32_t key,
                                     rtps::EntityKind kind = rtps::EntityKind::UserReaderWithKey);

struct RegisteredUserReader {
  rtps::EntityId entity_id{};
  SampleReceiver samples;
};

enum class RegisterError { UserReadersPoisoned };
const char* to_string(RegisterError error);

// A failed SEDP announcement is not an error: the reader exists and is matched all the same.
// The id is the handle's first endpoint's; matching adds the others the topic's writers need.
std::expected<RegisteredUserReader, RegisterError> register_user_reader(Participant& participant,
                                                                        UserReaders& readers,
                                                                        UserReaderConfig config);

// A slot for one endpoint of `handle` that announces `subscription`; neither registered nor
// announced yet.
SharedReaderSlot make_endpoint_slot(const rtps::SubscriptionBuiltinTopicData& subscription,
                                    std::shared_ptr<ReaderEndpoints> handle, Elapsed now);

// Through SEDP; a failure is not reported.
void announce_user_subscription(Participant& participant,
                                const rtps::SubscriptionBuiltinTopicData& subscription);

// Replaces the listener of the reader's handle; nullopt removes it. False when no such reader
// exists.
bool set_user_reader_listener(UserReaders& readers, const rtps::EntityId& reader,
                              std::optional<UserListener> listener);

// The whole sample of a released change, whatever its encapsulation; a loss for a data change too
// short to hold an encapsulation header.
ReaderItem delivered_to_user_sample(const rtps::DeliveredSample& sample,
                                    const std::map<rtps::Guid, std::int32_t>& writers);

// Takes the stored callable, if any, and calls it outside the waker's lock.
void wake_async_waker(AsyncWaker& waker);

// What one submessage released, converted while the slot was locked; handed over after.
struct Delivery {
  std::vector<ReaderItem> items{};
  std::shared_ptr<const UserListener> listener{};
  std::shared_ptr<AsyncWaker> waker{};
  std::shared_ptr<const SampleSender> queue{};
};

// Under the slot's lock: converts the samples, counts them and the losses, and marks the writer
// alive. With `queue_full`, the samples are lost to it instead (only best-effort writers' are
// ever refused: a reliable writer's data waits for room unacknowledged).
Delivery collect_delivery(UserReaderSlot& slot, rtps::Released released, Elapsed now,
                          bool queue_full = false);

// After the slot's lock is released: the listener and the queue sample by sample (without a
// listener, the queue once for them all), then the waker.
void hand_over(Delivery delivery);

// Lets go of the writers `gone` names: what they left in the reader is handed over first, and
// what they still owed is counted lost at the writer.
void forget_writers_in(Guarded<UserReaderSlot>& shared,
                       const std::function<bool(const rtps::Guid&)>& gone, Elapsed now);

}  // namespace nimbrel::dcps
