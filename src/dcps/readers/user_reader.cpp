#include "dcps/readers/user_reader.hpp"

#include <algorithm>
#include <limits>
#include <utility>
#include <variant>

#include "dcps/matching/endpoint_record.hpp"
#include "dcps/matching/match_candidates.hpp"
#include "dcps/matching/matching_rules.hpp"
#include "dcps/participant/outbound.hpp"
#include "dcps/participant/participant.hpp"
#include "dcps/readers/reader_endpoints.hpp"
#include "dcps/readers/reader_matching.hpp"
#include "foundation/saturating.hpp"

namespace nimbrel::dcps {
namespace {

constexpr std::size_t encapsulation_size = 4;
constexpr std::size_t key_hash_size = 16;

// CDR and PL_CDR in both byte orders, and plain XCDR2 in both byte orders.
bool is_accepted_encapsulation(std::uint16_t id) {
  return id <= 0x0003 || id == 0x0006 || id == 0x0007;
}

rtps::SubscriptionBuiltinTopicData subscription_record(const Participant& participant,
                                                       const rtps::Guid& reader_guid,
                                                       UserReaderConfig& config) {
  rtps::SubscriptionBuiltinTopicData record;
  fill_endpoint_record(participant, reader_guid, config, record);
  return record;
}

}  // namespace

rtps::EntityId user_reader_entity_id(std::uint32_t key, rtps::EntityKind kind) {
  return rtps::make_entity_id(static_cast<std::uint8_t>(key >> 16),
                              static_cast<std::uint8_t>(key >> 8), static_cast<std::uint8_t>(key),
                              kind);
}

const char* to_string(RegisterError error) {
  switch (error) {
    case RegisterError::UserReadersPoisoned:
      return "user_readers poisoned";
  }
  return "unknown register error";
}

SharedReaderSlot make_endpoint_slot(const rtps::SubscriptionBuiltinTopicData& subscription,
                                    std::shared_ptr<ReaderEndpoints> handle, Elapsed now) {
  rtps::ReliableReader reader(rtps::ReliableReaderConfig{
      .response_delay = Duration{0},
      .reader_guid = subscription.endpoint_guid,
      .vendor_id = rtps::nimbrel_vendor_id,
      .max_samples = 256,
      .assembler_caps = {
          .max_pending_sns = 64, .max_sample_size = 1'048'576, .max_fragment_size = 65'535}});
  auto queue = handle->queue;
  auto listener = handle->listener;
  auto waker = handle->waker;
  return std::make_shared<Guarded<UserReaderSlot>>(
      std::in_place, UserReaderSlot{
                         .reader = std::move(reader),
                         .subscription = subscription,
                         .queue = std::move(queue),
                         .listener = std::move(listener),
                         .waker = std::move(waker),
                         .endpoints = std::move(handle),
                         .deadline_ns = period_ns(subscription.deadline),
                         .liveliness_lease_ns = period_ns(subscription.liveliness.lease_duration),
                         .liveliness_kind = subscription.liveliness.kind,
                         .last_sample_time = now,
                     });
}

void announce_user_subscription(Participant& participant,
                                const rtps::SubscriptionBuiltinTopicData& subscription) {
  std::vector<rtps::OutboundDatagram> datagrams;
  if (auto sedp = participant.sedp.lock()) {
    if (auto written = (*sedp)->announce_subscription(subscription))
      datagrams = std::move(*written);
  }
  send_to_udp_v4_destinations(*participant.sockets.multicast_tx, datagrams);
}

std::expected<RegisteredUserReader, RegisterError> register_user_reader(Participant& participant,
                                                                        UserReaders& readers,
                                                                        UserReaderConfig config) {
  const Elapsed now = participant.elapsed();
  const EndpointChoice choice = first_endpoint(
      known_publications(participant, config.topic_name, config.type_name), config.reliable);
  const rtps::EntityId id = user_reader_entity_id(
      readers.next_key.fetch_add(1, std::memory_order_relaxed), reader_kind(choice.keyed));
  auto [sender, receiver] = make_sample_queue(participant.config.reader_queue_budget_bytes);
  auto handle = std::make_shared<ReaderEndpoints>();
  handle->handle = id;
  handle->reliable = config.reliable;
  handle->model = subscription_record(participant, {participant.prefix, id}, config);
  handle->queue = std::make_shared<const SampleSender>(std::move(sender));
  const rtps::SubscriptionBuiltinTopicData& subscription = handle->model;
  auto slot = make_endpoint_slot(subscription, handle, now);
  if (auto table = handle->endpoints.lock()) (*table)->emplace(choice, slot);
  if (!readers.slots.insert(id, std::move(slot))) {
    return std::unexpected(RegisterError::UserReadersPoisoned);
  }

  announce_user_subscription(participant, subscription);
  match_local_reader_against_cache(participant, readers, id);
  participant.config.sink->record(Event{"user_reader.created", {}}
                                      .with_attr("topic", subscription.topic_name)
                                      .with_attr("type", subscription.type_name));
  return RegisteredUserReader{.entity_id = id, .samples = std::move(receiver)};
}

bool set_user_reader_listener(UserReaders& readers, const rtps::EntityId& reader,
                              std::optional<UserListener> listener) {
  const SharedReaderSlot shared = readers.slots.find(reader);
  if (!shared) return false;
  std::shared_ptr<SharedListener> holder;
  if (auto slot = shared->lock()) holder = (*slot)->listener;
  if (!holder) return true;
  auto next = listener ? std::make_shared<const UserListener>(std::move(*listener)) : nullptr;
  // The old listener is released outside any lock: its captures may be arbitrary user state.
  const auto replaced = holder->exchange(std::move(next));
  return true;
}

std::optional<UserSample> delivered_to_user_sample(
    const rtps::DeliveredSample& sample, const std::map<rtps::Guid, std::int32_t>& writers) {
  const auto bytes = sample.payload.span();
  if (sample.kind >= rtps::change_kind::not_alive_disposed) {
    UserLifecycleSample lifecycle{.kind = sample.kind};
    if (sample.key_hash) {
      lifecycle.key_hash = *sample.key_hash;
    } else {
      // The key of a dispose without KEY_HASH is the start of its serialized key.
      const auto n = std::min(bytes.size(), key_hash_size);
      std::ranges::transform(bytes.first(n), lifecycle.key_hash.begin(),
                             [](std::byte b) { return static_cast<std::uint8_t>(b); });
    }
    return lifecycle;
  }
  if (bytes.size() < encapsulation_size) return std::nullopt;
  const auto id = static_cast<std::uint16_t>((std::to_integer<unsigned>(bytes[0]) << 8) |
                                             std::to_integer<unsigned>(bytes[1]));
  if (!is_accepted_encapsulation(id)) return std::nullopt;
  const auto writer = writers.find(sample.writer_guid);
  return UserDataSample{.payload = sample.payload.slice(encapsulation_size),
                        .writer_guid = sample.writer_guid,
                        .ownership_strength = writer == writers.end() ? 0 : writer->second};
}

void wake_async_waker(AsyncWaker& waker) {
  std::optional<std::function<void()>> wake;
  if (auto stored = waker.lock()) wake = std::exchange(**stored, std::nullopt);
  if (wake && *wake) (*wake)();
}

Delivery collect_delivery(UserReaderSlot& slot, std::vector<rtps::DeliveredSample> released,
                          Elapsed now) {
  Delivery delivery;
  if (released.empty()) return delivery;
  delivery.samples.reserve(released.size());
  for (const auto& sample : released) {
    if (auto converted = delivered_to_user_sample(sample, slot.matched_writers)) {
      delivery.samples.push_back(std::move(*converted));
    }
  }
  if (delivery.samples.empty()) return delivery;
  slot.last_sample_time = now;
  if (!slot.writer_alive) {
    slot.writer_alive = true;
    saturating_increment(slot.liveliness_changed);
  }
  if (slot.listener) delivery.listener = slot.listener->load();
  delivery.waker = slot.waker;
  delivery.queue = slot.queue;
  return delivery;
}

void hand_over(Delivery delivery) {
  if (delivery.samples.empty()) return;
  // A reader whose handle is gone discards at the send.
  if (delivery.listener && *delivery.listener) {
    for (auto& sample : delivery.samples) {
      if (const auto* data = std::get_if<UserDataSample>(&sample)) {
        (*delivery.listener)(data->payload.span());
      }
      if (delivery.queue) static_cast<void>(delivery.queue->send(std::move(sample)));
    }
  } else if (delivery.queue) {
    static_cast<void>(delivery.queue->send_all(std::move(delivery.samples)));
  }
  if (delivery.waker) wake_async_waker(*delivery.waker);
}

}  // namespace nimbrel::dcps
