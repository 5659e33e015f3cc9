// User writers: local DDS data writers for application topics. `register_user_writer` creates one
// (entity id, reliable writer, slot), announces its publication through SEDP and matches it
// against the known remote readers; `write_user_sample` stores a serialized sample and sends it to
// the readers in step. The tick loop repairs and heartbeats, and runs the writers' QoS timers.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "dcps/matching/status.hpp"
#include "dcps/participant/participant.hpp"
#include "dcps/participant/slot_map.hpp"
#include "foundation/guarded.hpp"
#include "foundation/time.hpp"
#include "rtps/publication_data.hpp"
#include "rtps/receiver.hpp"
#include "rtps/reliable_writer.hpp"
#include "rtps/submessages.hpp"
#include "rtps/wire_types.hpp"
#include "types/type_identifier.hpp"

namespace nimbrel::dcps {

struct UserWriterConfig {
  std::string topic_name{};
  std::string type_name{};
  // Peers match only writers and readers that agree on this (entity kind 0x02 or 0x03).
  bool keyed = true;
  rtps::DurabilityKind durability = rtps::DurabilityKind::Volatile;
  bool reliable = true;  // announces reliability kind 2, else 1
  rtps::HistoryPolicy history = rtps::HistoryPolicy::keep_all();
  std::size_t max_samples = 5000;
  Duration heartbeat_period = std::chrono::milliseconds(100);
  rtps::OwnershipKind ownership = rtps::OwnershipKind::Shared;
  std::int32_t ownership_strength = 0;
  rtps::LivelinessQos liveliness{};  // automatic, infinite lease
  rtps::RtpsDuration deadline = rtps::duration_infinite;
  rtps::RtpsDuration lifespan = rtps::duration_infinite;
  std::vector<std::string> partitions{};
  std::vector<std::byte> user_data{};
  std::vector<std::byte> topic_data{};
  std::vector<std::byte> group_data{};
  std::optional<types::TypeIdentifier> type_identifier{};
  // PID_TYPE_INFORMATION as standard peers read it (XCDR2, no encapsulation), announced as given:
  // replay passes on what the recorded writer announced, so that peers fetch the type from us.
  std::optional<std::vector<std::byte>> type_information{};
  // Absent: the runtime's data representations.
  std::optional<std::vector<std::int16_t>> data_representations{};
};

// When a sample was written, for the lifespan timer.
struct WriteTime {
  rtps::SequenceNumber sequence_number = 0;
  Elapsed at{};
};

// Guarded as a whole: locked by API callers to write, by nbrl-tick for repairs and timers, by
// nbrl-recv-user for acknowledgements, by nbrl-recv-meta and API callers for matching.
struct UserWriterSlot {
  rtps::ReliableWriter writer;
  rtps::PublicationBuiltinTopicData publication;  // as announced; matching reads its QoS
  bool keep_all = true;                           // acknowledged samples leave the history
  std::size_t max_samples = 0;

  // QoS timers of the tick loop; 0 means none.
  std::uint64_t deadline_ns = 0;
  std::uint64_t lifespan_ns = 0;
  std::uint64_t liveliness_lease_ns = 0;
  rtps::LivelinessKind liveliness_kind = rtps::LivelinessKind::Automatic;
  std::optional<Elapsed> last_write_time{};  // offered deadline: only writes move it
  std::optional<Elapsed> last_liveliness_assertion{};
  std::uint64_t offered_deadline_missed = 0;
  std::uint64_t liveliness_lost = 0;
  // Oldest first; kept only with a lifespan, never longer than the history can be.
  std::deque<WriteTime> write_times{};
  IncompatibleQosStatus offered_incompatible_qos{};
};

using SharedWriterSlot = std::shared_ptr<Guarded<UserWriterSlot>>;

// The user writers of one participant.
struct UserWriters {
  // Inserted by API callers; looked up by writers and nbrl-recv-user, snapshotted by nbrl-tick and
  // matching.
  SlotMap<UserWriterSlot> slots;
  std::atomic<std::uint32_t> next_key{1};  // the key of the next user writer's id
};

// Key 00 00 01 for the first writer, then counting up; kind user writer with or without key.
rtps::EntityId user_writer_entity_id(std::uint32_t key, bool keyed);

enum class WriterError { UserWritersPoisoned, NoSuchWriter, WriterPoisoned, HistoryFull, Encoding };
const char* to_string(WriterError error);

// A failed SEDP announcement is not an error: the writer exists and is matched all the same.
std::expected<rtps::EntityId, WriterError> register_user_writer(Participant& participant,
                                                                UserWriters& writers,
                                                                UserWriterConfig config);

// `serialized` starts with its encapsulation header. A full keep-all history refuses the sample
// (HistoryFull) without using up a sequence number: try again once readers have acknowledged.
std::expected<void, WriterError> write_user_sample(Participant& participant, UserWriters& writers,
                                                   const rtps::EntityId& writer,
                                                   std::span<const std::byte> serialized);

// Under the slot's lock, after the writer stored sample `sn` at `now`: the deadline and liveliness
// references move, and the lifespan ring remembers the sample when a lifespan is set.
void record_write(UserWriterSlot& slot, rtps::SequenceNumber sn, Elapsed now);

// A keep-all writer lets go of what every matched reader has acknowledged.
void release_acknowledged(UserWriterSlot& slot);

// Manual liveliness: the writer says it is alive without writing.
bool assert_user_writer_liveliness(Participant& participant, UserWriters& writers,
                                   const rtps::EntityId& writer);

// How far a writer has come with its matched readers.
struct WriterProgress {
  std::size_t matched_readers = 0;
  rtps::SequenceNumber last_written = 0;
  rtps::SequenceNumber acknowledged_by_all = 0;
};
// Empty when no writer has that id or its slot is poisoned.
std::optional<WriterProgress> writer_progress(UserWriters& writers, const rtps::EntityId& writer);

// The writers' half of the user receive path: ACKNACK and NACK_FRAG of remote readers go to the
// local user writers; each writer's repairs go out once its lock is released.
void handle_user_acknowledgements(Participant& participant, UserWriters& writers,
                                  const rtps::ReceivedDatagram& datagram, Elapsed now);

}  // namespace nimbrel::dcps
