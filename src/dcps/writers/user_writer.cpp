#include "dcps/writers/user_writer.hpp"

#include <utility>

#include "dcps/matching/endpoint_record.hpp"
#include "dcps/matching/matching_rules.hpp"
#include "dcps/participant/outbound.hpp"
#include "dcps/participant/participant.hpp"
#include "dcps/writers/writer_matching.hpp"

namespace nimbrel::dcps {
namespace {

// PARTICIPANT_MANUAL_LIVELINESS_UPDATE (DDSI-RTPS 2.5 section 9.6.2.1): kind bytes 00 00 00 02,
// read as the little-endian number the pulse codec writes.
constexpr std::uint32_t manual_liveliness_kind = 0x0200'0000;

rtps::PublicationBuiltinTopicData publication_record(const Participant& participant,
                                                     const rtps::Guid& writer_guid,
                                                     UserWriterConfig& config) {
  rtps::PublicationBuiltinTopicData record;
  fill_endpoint_record(participant, writer_guid, config, record);
  record.ownership_strength = config.ownership_strength;
  record.lifespan = config.lifespan;
  return record;
}

void announce(Participant& participant, const rtps::PublicationBuiltinTopicData& publication) {
  std::vector<rtps::OutboundDatagram> datagrams;
  if (auto sedp = participant.sedp.lock()) {
    if (auto written = (*sedp)->announce_publication(publication)) datagrams = std::move(*written);
  }
  send_to_udp_v4_destinations(*participant.sockets.multicast_tx, datagrams);
}

bool history_full(const UserWriterSlot& slot) {
  return slot.keep_all && slot.writer.history().size() >= slot.max_samples;
}

// The handler runs under the slot's lock; the repairs it calls for are sent after it.
template <typename Handle>
void acknowledge(Participant& participant, UserWriters& writers, const rtps::EntityId& writer,
                 Elapsed now, Handle&& handle) {
  const SharedWriterSlot shared = writers.slots.find(writer);
  if (!shared) return;
  std::vector<rtps::OutboundDatagram> repairs;
  if (auto slot = shared->lock()) {
    handle((*slot)->writer);
    release_acknowledged(**slot);
    if (auto out = (*slot)->writer.tick(now)) repairs = std::move(*out);
  }
  send_to_udp_v4_destinations(*participant.sockets.user_rx, repairs);
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

std::expected<rtps::EntityId, WriterError> register_user_writer(Participant& participant,
                                                                UserWriters& writers,
                                                                UserWriterConfig config) {
  const rtps::EntityId id =
      user_writer_entity_id(writers.next_key.fetch_add(1, std::memory_order_relaxed), config.keyed);
  const rtps::Guid guid{participant.prefix, id};
  const std::size_t max_samples = config.max_samples;
  const bool keep_all = config.history.kind == rtps::HistoryPolicy::Kind::KeepAll;
  rtps::ReliableWriter writer(
      rtps::ReliableWriterConfig{.writer_guid = guid,
                                 .history = config.history,
                                 .max_samples = max_samples,
                                 .heartbeat_period = config.heartbeat_period});
  const auto publication = publication_record(participant, guid, config);

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
  if (!writers.slots.insert(id, std::move(slot))) {
    return std::unexpected(WriterError::UserWritersPoisoned);
  }

  announce(participant, publication);
  match_local_writer_against_cache(participant, writers, id);
  participant.config.sink->record(Event{"user_writer.created", {}}
                                      .with_attr("topic", publication.topic_name)
                                      .with_attr("type", publication.type_name));
  return id;
}

std::expected<void, WriterError> write_user_sample(Participant& participant, UserWriters& writers,
                                                   const rtps::EntityId& writer,
                                                   std::span<const std::byte> serialized) {
  const SharedWriterSlot shared = writers.slots.find(writer);
  if (!shared) return std::unexpected(WriterError::NoSuchWriter);
  const Elapsed now = participant.elapsed();
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
      return std::unexpected(written.error().kind == CodecError::Kind::Backpressure
                                 ? WriterError::HistoryFull
                                 : WriterError::Encoding);
    }
    // A stored sample whose push failed is repaired later; it counts as written.
    record_write(local, sn, now);
  }
  send_to_udp_v4_destinations(*participant.sockets.user_rx, datagrams);
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

bool assert_user_writer_liveliness(Participant& participant, UserWriters& writers,
                                   const rtps::EntityId& writer) {
  const SharedWriterSlot shared = writers.slots.find(writer);
  if (!shared) return false;
  bool by_participant = false;
  if (auto slot = shared->lock()) {
    (*slot)->last_liveliness_assertion = participant.elapsed();
    by_participant = (*slot)->liveliness_kind == rtps::LivelinessKind::ManualByParticipant;
  }
  // Peers learn of a participant-wide assertion through the next liveliness pulse.
  if (by_participant) {
    if (auto wlp = participant.wlp.lock()) (*wlp)->enqueue_pulse({.kind = manual_liveliness_kind});
  }
  return true;
}

std::optional<WriterProgress> writer_progress(UserWriters& writers, const rtps::EntityId& writer) {
  const SharedWriterSlot shared = writers.slots.find(writer);
  if (!shared) return std::nullopt;
  auto slot = shared->lock();
  if (!slot) return std::nullopt;
  const rtps::ReliableWriter& w = (*slot)->writer;
  return WriterProgress{.matched_readers = w.reader_proxies().size(),
                        .last_written = w.last_sequence_number(),
                        .acknowledged_by_all = w.acknowledged_by_all()};
}

void handle_user_acknowledgements(Participant& participant, UserWriters& writers,
                                  const rtps::ReceivedDatagram& datagram, Elapsed now) {
  for (const auto& received : datagram.submessages) {
    if (received.consumer != rtps::Consumer::User) continue;
    const rtps::GuidPrefix& source = received.state.source_prefix;
    if (const auto* acknack = std::get_if<rtps::AckNackSubmessage>(&received.body)) {
      acknowledge(participant, writers, acknack->writer_id, now,
                  [&](rtps::ReliableWriter& writer) { writer.handle_acknack(*acknack, source); });
    } else if (const auto* nackfrag = std::get_if<rtps::NackFragSubmessage>(&received.body)) {
      acknowledge(participant, writers, nackfrag->writer_id, now,
                  [&](rtps::ReliableWriter& writer) { writer.handle_nackfrag(*nackfrag, source); });
    }
  }
}

}  // namespace nimbrel::dcps
