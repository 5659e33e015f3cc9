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

constexpr std::size_t key_hash_size = 16;

// Joins `range` to the last item when that is a loss it continues.
void add_loss(std::vector<ReaderItem>& items, const rtps::LostRange& range) {
  auto* last = items.empty() ? nullptr : std::get_if<rtps::LostRange>(&items.back());
  if (last == nullptr || !join(*last, range)) items.emplace_back(range);
}

rtps::SubscriptionBuiltinTopicData subscription_record(const Participant& participant,
                                                       const rtps::Guid& reader_guid,
                                                       UserReaderConfig& config) {
  rtps::SubscriptionBuiltinTopicData record;
  fill_endpoint_record(participant, reader_guid, config, record);
  return record;
}

}  // namespace

rtps::AssemblerCaps user_assembler_caps(const RuntimeConfig& config) {
  return {.max_pending_sns = 64,
          .max_sample_size = config.max_sample_size,
          .max_fragment_size = 65'535,
          .max_pending_bytes =
              std::max<std::uint64_t>(config.max_sample_size, config.reader_queue_budget_bytes)};
}

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
  rtps::ReliableReader reader(rtps::ReliableReaderConfig{.response_delay = Duration{0},
                                                         .reader_guid = subscription.endpoint_guid,
                                                         .vendor_id = rtps::nimbrel_vendor_id,
                                                         .max_samples = 256,
                                                         .assembler_caps = handle->assembler_caps});
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
  auto [sender, receiver] = make_sample_queue(participant.config.reader_queue_budget_bytes);
  auto handle = std::make_shared<ReaderEndpoints>();
  handle->reliable = config.reliable;
  handle->follow_writers = config.follow_writers;
  handle->queue = std::make_shared<const SampleSender>(std::move(sender));
  handle->assembler_caps = user_assembler_caps(participant.config);
  handle->model = subscription_record(participant, {}, config);
  const EndpointChoice choice = first_endpoint(
      known_publications(participant, handle->model.topic_name, handle->model.type_name), *handle);
  const rtps::EntityId id = user_reader_entity_id(
      readers.next_key.fetch_add(1, std::memory_order_relaxed), reader_kind(choice.keyed));
  handle->handle = id;
  handle->model.endpoint_guid = {participant.prefix, id};
  handle->series = std::make_shared<const TopicSeries>(handle->model.topic_name);
  rtps::SubscriptionBuiltinTopicData subscription = endpoint_subscription(*handle, choice);
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

ReaderItem delivered_to_user_sample(const rtps::DeliveredSample& sample,
                                    const std::map<rtps::Guid, std::int32_t>& writers) {
  const auto bytes = sample.payload.span();
  const bool lifecycle = sample.kind >= rtps::change_kind::not_alive_disposed;
  if (!lifecycle && bytes.size() < encapsulation_header_size) {
    return rtps::LostRange{.writer = sample.writer_guid,
                           .first = sample.sequence_number,
                           .last = sample.sequence_number,
                           .reason = rtps::LossReason::Malformed};
  }
  const auto writer = writers.find(sample.writer_guid);
  UserSample out{.payload = sample.payload,
                 .writer_guid = sample.writer_guid,
                 .sequence_number = sample.sequence_number,
                 .kind = lifecycle ? sample.kind : rtps::change_kind::alive,
                 .key_hash = sample.key_hash,
                 .times = sample.times,
                 .ownership_strength = writer == writers.end() ? 0 : writer->second};
  if (lifecycle && !out.key_hash) {
    // The key of a dispose without KEY_HASH is the start of its serialized key.
    rtps::KeyHash key{};
    const auto n = std::min(bytes.size(), key_hash_size);
    std::ranges::transform(bytes.first(n), key.begin(),
                           [](std::byte b) { return static_cast<std::uint8_t>(b); });
    out.key_hash = key;
  }
  return out;
}

std::vector<SharedReaderSlot> writer_routes(UserReaders& readers, const rtps::Guid& writer) {
  const std::uint64_t generation = readers.route_generation.load(std::memory_order_acquire);
  if (auto routes = readers.routes.lock()) {
    WriterRoutes& known = **routes;
    if (known.generation != generation) {
      known.by_writer.clear();
      known.generation = generation;
    } else if (const auto it = known.by_writer.find(writer); it != known.by_writer.end()) {
      return it->second;
    }
  }
  // The routes' lock is let go before any slot's is taken.
  std::vector<SharedReaderSlot> found;
  for (const auto& [id, shared] : readers.slots.snapshot()) {
    auto slot = shared->lock();
    if (slot && (*slot)->reader.writer_proxy_state(writer) != nullptr) found.push_back(shared);
  }
  if (auto routes = readers.routes.lock()) {
    WriterRoutes& known = **routes;
    // A match meanwhile may have added a proxy the walk passed: then it is not kept.
    if (known.generation == readers.route_generation.load(std::memory_order_acquire) &&
        known.generation == generation) {
      if (known.by_writer.size() >= WriterRoutes::max_writers) known.by_writer.clear();
      known.by_writer.emplace(writer, found);
    }
  }
  return found;
}

void wake_async_waker(AsyncWaker& waker) {
  std::optional<std::function<void()>> wake;
  if (auto stored = waker.lock()) wake = std::exchange(**stored, std::nullopt);
  if (wake && *wake) (*wake)();
}

Delivery collect_delivery(UserReaderSlot& slot, rtps::Released released, Elapsed now,
                          bool queue_full) {
  Delivery delivery;
  if (!slot.silent_writers.empty()) {
    const auto silent = [&](const rtps::Guid& writer) {
      return slot.silent_writers.contains(writer);
    };
    std::erase_if(released.samples, [&](const auto& sample) { return silent(sample.writer_guid); });
    std::erase_if(released.lost, [&](const auto& range) { return silent(range.writer); });
  }
  if (released.samples.empty() && released.lost.empty()) return delivery;
  delivery.items.reserve(released.samples.size() + released.lost.size());
  const TopicSeries* series = slot.endpoints ? slot.endpoints->series.get() : nullptr;
  const auto lose = [&](const rtps::LostRange& range) {
    add_loss(delivery.items, range);
    if (series == nullptr) return;
    const auto* writer = slot.reader.writer_proxy_state(range.writer);
    series->lost(range, writer == nullptr || writer->proxy.reliable);
  };
  // Losses first: a best-effort writer's hole lies below the arrival that shows it. While the
  // queue is full, a hole between refused samples counts as refused too, so that a stalled
  // consumer costs one queued loss, not one per hole.
  for (auto range : released.lost) {
    if (queue_full && range.reason == rtps::LossReason::Network)
      range.reason = rtps::LossReason::QueueFull;
    lose(range);
  }
  std::uint64_t received = 0;
  for (const auto& sample : released.samples) {
    if (queue_full) {
      lose({.writer = sample.writer_guid,
            .first = sample.sequence_number,
            .last = sample.sequence_number,
            .reason = rtps::LossReason::QueueFull});
      continue;
    }
    auto item = delivered_to_user_sample(sample, slot.matched_writers);
    if (const auto* loss = std::get_if<rtps::LostRange>(&item)) {
      lose(*loss);
    } else {
      delivery.items.push_back(std::move(item));
      ++received;
    }
  }
  if (series != nullptr && received != 0) series->received(received);
  if (received != 0) {
    slot.last_sample_time = now;
    if (!slot.writer_alive) {
      slot.writer_alive = true;
      saturating_increment(slot.liveliness_changed);
    }
  }
  if (slot.listener) delivery.listener = slot.listener->load();
  delivery.waker = slot.waker;
  delivery.queue = slot.queue;
  return delivery;
}

void hand_over(Delivery delivery) {
  if (delivery.items.empty()) return;
  // A reader whose handle is gone discards at the send.
  if (delivery.listener && *delivery.listener) {
    for (auto& item : delivery.items) {
      if (const auto* sample = std::get_if<UserSample>(&item); sample && sample->is_data())
        (*delivery.listener)(sample->body());
      if (delivery.queue) static_cast<void>(delivery.queue->send(std::move(item)));
    }
  } else if (delivery.queue) {
    static_cast<void>(delivery.queue->send_all(std::move(delivery.items)));
  }
  if (delivery.waker) wake_async_waker(*delivery.waker);
}

void forget_writers_in(Guarded<UserReaderSlot>& shared,
                       const std::function<bool(const rtps::Guid&)>& gone, Elapsed now) {
  Delivery delivery;
  std::optional<Admission> admission;
  if (auto slot = shared.lock()) {
    UserReaderSlot& local = **slot;
    // A closed queue takes nothing more: what the writers left goes with them.
    if (local.queue) {
      if (auto granted = local.queue->admit()) admission.emplace(std::move(*granted));
    }
    auto flushed = local.reader.flush_writers_if(gone);
    if (!local.queue || admission) delivery = collect_delivery(local, std::move(flushed), now);
    local.reader.remove_writer_proxies_if(gone);
    std::erase_if(local.matched_writers, [&](const auto& entry) { return gone(entry.first); });
    std::erase_if(local.silent_writers, gone);
  }
  hand_over(std::move(delivery));
}

}  // namespace nimbrel::dcps
