#include "dcps/writers/user_writer.hpp"

#include <utility>

#include "dcps/matching/endpoint_record.hpp"
#include "dcps/matching/matching_rules.hpp"
#include "dcps/participant/outbound.hpp"
#include "dcps/runtime/runtime_state.hpp"
#include "dcps/writers/writer_matching.hpp"

namespace nimbrel::dcps {
namespace {

// PARTICIPANT_MANUAL_LIVELINESS_UPDATE (DDSI-RTPS 2.5 section 9.6.2.1): kind bytes 00 00 00 02,
// read as the little-endian number the pulse codec writes.
constexpr std::uint32_t manual_liveliness_kind = 0x0200'0000;

rtps::PublicationBuiltinTopicData publication_record(const RuntimeState& state,
                                                     const rtps::Guid& writer_guid,
                                                     UserWriterConfig& config) {
  rtps::PublicationBuiltinTopicData record;
  fill_endpoint_record(state, writer_guid, config, record);
  record.ownership_strength = config.ownership_strength;
  record.lifespan = config.lifespan;
  return record;
}

void announce(RuntimeState& state, const rtps::PublicationBuiltinTopicData& publication) {
  std::vector<rtps::OutboundDatagram> datagrams;
  if (auto sedp = state.sedp.lock()) {
    if (auto written = (*sedp)->announce_publication(publication)) datagrams = std::move(*written);
  }
  send_to_udp_v4_destinations(*state.sockets.multicast_tx, datagrams);
}

bool history_full(const UserWriterSlot& slot) {
  return slot.keep_all && slot.writer.history().size() >= slot.max_samples;
}

// The handler runs under the slot's lock; the repairs it calls for are sent after it.
template <typename Handle>
void acknowledge(RuntimeState& state, const rtps::EntityId& writer, Elapsed now, Handle&& handle) {
  const SharedWriterSlot shared = state.user_writers.find(writer);
  if (!shared) return;
  std::vector<rtps::OutboundDatagram> repairs;
  if (auto slot = shared->lock()) {
    handle((*slot)->writer);
    release_acknowledged(**slot);
    if (auto out = (*slot)->writer.tick(now)) repairs = std::move(*out);
  }
  send_to_udp_v4_destinations(*state.sockets.user_rx, repairs);
}

}  // namespace

rtps::EntityId user_writer_entity_id(std::uint32_t key, bool keyed) {
  return rtps::make_entity_id(
      static_cast<std::uint8_t>(key >> 16), static_cast<std::uint8_t>(key >> 8),
      static_cast<std::uint8_t>(key),
      keyed ? rtps::EntityKind::UserWriterWithKey : rtps::EntityKind::UserWriterNoKey);
}

const char* to_string(WriterError error) {
  switch (error) {
    case WriterError::UserWritersPoisoned:
      return "user_writers poisoned";
    case WriterError::NoSuchWriter:
      return "no such user writer";
    case WriterError::WriterPoisoned:
      return "user writer poisoned";
    case WriterError::HistoryFull:
      return "history cache full or duplicate";
    case WriterError::Encoding:
      return "sample could not be encoded";
  }
  return "unknown writer error";
}

std::expected<rtps::EntityId, WriterError> register_user_writer(RuntimeState& state,
                                                                UserWriterConfig config) {
  const rtps::EntityId id = user_writer_entity_id(
      state.next_user_writer_key.fetch_add(1, std::memory_order_relaxed), config.keyed);
  const rtps::Guid guid{state.prefix, id};
  const std::size_t max_samples = config.max_samples;
  const bool keep_all = config.history.kind == rtps::HistoryPolicy::Kind::KeepAll;
  rtps::ReliableWriter writer(
      rtps::ReliableWriterConfig{.writer_guid = guid,
                                 .history = config.history,
                                 .max_samples = max_samples,
                                 .heartbeat_period = config.heartbeat_period});
  const auto publication = publication_record(state, guid, config);

  auto slot = std::make_shared<Guarded<UserWriterSlot>>(
      std::in_place, UserWriterSlot{
                         .writer = std::move(writer),
                         .publication = publication,
                         .keep_all = keep_all,
                         .max_samples = max_samples,
                         .deadline_ns = period_ns(publication.deadline),
                         .lifespan_ns = period_ns(publication.lifespan),
                         .liveliness_lease_ns = period_ns(publication.liveliness.lease_duration),
                         .liveliness_kind = publication.liveliness.kind,
                     });
  if (!state.user_writers.insert(id, std::move(slot))) {
    return std::unexpected(WriterError::UserWritersPoisoned);
  }

  announce(state, publication);
  match_local_writer_against_cache(state, id);
  state.config.sink->record(Event{"user_writer.created", {}}
                                .with_attr("topic", publication.topic_name)
                                .with_attr("type", publication.type_name));
  return id;
}

std::expected<void, WriterError> write_user_sample(RuntimeState& state,
                                                   const rtps::EntityId& writer,
                                                   std::span<const std::byte> serialized) {
  const SharedWriterSlot shared = state.user_writers.find(writer);
  if (!shared) return std::unexpected(WriterError::NoSuchWriter);
  const Elapsed now = state.elapsed();
  std::vector<rtps::OutboundDatagram> datagrams;
  {
    auto slot = shared->lock();
    if (!slot) return std::unexpected(WriterError::WriterPoisoned);
    UserWriterSlot& local = **slot;
    release_acknowledged(local);
    // Checked first, so that a refused sample uses up no sequence number.
    if (history_full(local)) return std::unexpected(WriterError::HistoryFull);
    auto written = local.writer.write(serialized);
    const rtps::SequenceNumber sn = local.writer.last_sequence_number();
    if (written) {
      datagrams = std::move(*written);
    } else if (local.writer.history().find(sn) == nullptr) {
      return std::unexpected(written.error().kind == rtps::WireError::Kind::Backpressure
                                 ? WriterError::HistoryFull
                                 : WriterError::Encoding);
    }
    // A stored sample whose push failed is repaired later; it counts as written.
    record_write(local, sn, now);
  }
  send_to_udp_v4_destinations(*state.sockets.user_rx, datagrams);
  return {};
}

void record_write(UserWriterSlot& slot, rtps::SequenceNumber sn, Elapsed now) {
  slot.last_write_time = now;
  // Writing asserts the writer's liveliness, whatever its kind.
  slot.last_liveliness_assertion = now;
  if (slot.lifespan_ns == 0) return;
  slot.write_times.push_back({sn, now});
  // Samples the history has evicted cannot expire any more.
  const std::size_t cap = slot.max_samples == 0 ? 1 : slot.max_samples;
  while (slot.write_times.size() > cap)
    slot.write_times.pop_front();
}

void release_acknowledged(UserWriterSlot& slot) {
  if (!slot.keep_all) return;
  // A durable writer keeps its history for readers still to come.
  if (slot.writer.reader_proxies().empty() &&
      slot.publication.durability != rtps::DurabilityKind::Volatile) {
    return;
  }
  const auto lowest = slot.writer.history().min_sn();
  const rtps::SequenceNumber acked = slot.writer.acknowledged_by_all();
  if (lowest && *lowest <= acked) slot.writer.remove_up_to(acked);
}

bool assert_user_writer_liveliness(RuntimeState& state, const rtps::EntityId& writer) {
  const SharedWriterSlot shared = state.user_writers.find(writer);
  if (!shared) return false;
  bool by_participant = false;
  if (auto slot = shared->lock()) {
    (*slot)->last_liveliness_assertion = state.elapsed();
    by_participant = (*slot)->liveliness_kind == rtps::LivelinessKind::ManualByParticipant;
  }
  // Peers learn of a participant-wide assertion through the next liveliness pulse.
  if (by_participant) {
    if (auto wlp = state.wlp.lock()) (*wlp)->enqueue_pulse({.kind = manual_liveliness_kind});
  }
  return true;
}

void acknowledge_user_writer(RuntimeState& state, const rtps::GuidPrefix& source,
                             const rtps::AckNackSubmessage& acknack, Elapsed now) {
  acknowledge(state, acknack.writer_id, now,
              [&](rtps::ReliableWriter& writer) { writer.handle_acknack(acknack, source); });
}

void acknowledge_user_writer(RuntimeState& state, const rtps::GuidPrefix& source,
                             const rtps::NackFragSubmessage& nackfrag, Elapsed now) {
  acknowledge(state, nackfrag.writer_id, now,
              [&](rtps::ReliableWriter& writer) { writer.handle_nackfrag(nackfrag, source); });
}

}  // namespace nimbrel::dcps
