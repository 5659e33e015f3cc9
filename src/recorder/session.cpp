#include "recorder/session.hpp"

#include <algorithm>
#include <limits>

#include "foundation/saturating.hpp"

namespace nimbrel::recorder {
namespace {

template <typename Key>
std::vector<std::pair<Key, std::uint32_t>> index_table(const std::vector<Key>& keys) {
  std::vector<std::pair<Key, std::uint32_t>> table;
  // Indices past the 32-bit count are not in the header either.
  const std::size_t n = std::min<std::uint64_t>(keys.size(), max_field_value);
  table.reserve(n);
  for (std::size_t i = 0; i < n; ++i)
    table.emplace_back(keys[i], static_cast<std::uint32_t>(i));
  return table;
}

std::vector<std::array<std::uint8_t, 16>> guids_of(const std::vector<ParticipantEntry>& entries) {
  std::vector<std::array<std::uint8_t, 16>> guids;
  guids.reserve(entries.size());
  for (const ParticipantEntry& entry : entries)
    guids.push_back(entry.guid);
  return guids;
}

// Linear, first match wins: duplicate keys in the header resolve to their first position.
template <typename Key>
const std::uint32_t* find_index(const std::vector<std::pair<Key, std::uint32_t>>& table,
                                const Key& key) {
  for (const auto& [candidate, index] : table) {
    if (candidate == key) return &index;
  }
  return nullptr;
}

SessionError writer_error(WriteError error) {
  return {.kind = SessionError::Kind::Writer, .write = std::move(error)};
}

}  // namespace

std::string to_string(const SessionError& error) {
  switch (error.kind) {
    case SessionError::Kind::Writer:
      return "writer: " + to_string(error.write);
    case SessionError::Kind::MutexPoisoned:
      return "session mutex poisoned";
  }
  return "unknown session error";
}

RecordingSession::RecordingSession(RecordingWriter writer, Header header)
    : inner_(std::in_place, Inner{.topics = index_table(header.topics),
                                  .participants = index_table(guids_of(header.participants)),
                                  .header = header,
                                  .writer = std::move(writer),
                                  .start_ns = header.start_ns,
                                  .started = false}),
      start_ns_(header.start_ns) {}

std::expected<void, SessionError> RecordingSession::record(
    const TopicKey& topic, const std::array<std::uint8_t, 16>& participant_guid,
    std::span<const std::byte> payload, std::uint64_t timestamp_ns) {
  auto inner = inner_.lock();
  if (!inner) return lost(SessionError{.kind = SessionError::Kind::MutexPoisoned});
  Inner& state = **inner;

  if (!state.started) {
    if (auto written = state.writer.write_header(state.header); !written)
      return lost(writer_error(written.error()));
    state.started = true;
  }

  const std::uint32_t* topic_idx = find_index(state.topics, topic);
  if (topic_idx == nullptr) {
    saturating_increment(dropped_);
    return {};
  }
  const std::uint32_t* participant_idx = find_index(state.participants, participant_guid);

  // A wall clock stepped back below the start has no later time to offer than the start itself.
  const std::uint64_t time = timestamp_ns >= state.start_ns ? timestamp_ns - state.start_ns : 0;
  const Frame frame{.payload = payload,
                    .time = time,
                    .participant_idx = participant_idx != nullptr ? *participant_idx : 0,
                    .topic_idx = *topic_idx,
                    .kind = 0};
  if (auto written = state.writer.write_frame(frame); !written)
    return lost(writer_error(written.error()));

  saturating_increment(recorded_);
  bytes_.store(state.writer.bytes_written(), std::memory_order_relaxed);
  return {};
}

// A sample that never reaches the file still counts, so the totals add up to what arrived.
std::unexpected<SessionError> RecordingSession::lost(SessionError error) {
  saturating_increment(dropped_);
  saturating_increment(failed_);
  return std::unexpected(std::move(error));
}

}  // namespace nimbrel::recorder
