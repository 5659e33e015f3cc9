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
  const PendingSample sample{.topic = &topic, .payload = payload, .timestamp_ns = timestamp_ns};
  auto losses = record_batch(participant_guid, {&sample, 1});
  if (!losses.empty()) return std::unexpected(std::move(losses.front().second));
  return {};
}

BatchLosses RecordingSession::record_batch(const std::array<std::uint8_t, 16>& participant_guid,
                                           std::span<const PendingSample> samples) {
  BatchLosses losses;
  const auto lose_from = [&](std::size_t first, const SessionError& error) {
    for (std::size_t i = first; i < samples.size(); ++i)
      lose(losses, i, error);
  };
  auto inner = inner_.lock();
  if (!inner) {
    lose_from(0, SessionError{.kind = SessionError::Kind::MutexPoisoned});
    return losses;
  }
  Inner& state = **inner;

  if (!state.started && !samples.empty()) {
    if (auto written = state.writer.write_header(state.header); !written) {
      lose_from(0, writer_error(written.error()));
      return losses;
    }
    state.started = true;
  }

  const std::uint32_t* participant_idx = find_index(state.participants, participant_guid);
  state.frames.clear();
  state.positions.clear();
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const std::uint32_t* topic_idx = find_index(state.topics, *samples[i].topic);
    if (topic_idx == nullptr) {
      saturating_increment(dropped_);
      continue;
    }
    // A wall clock stepped back below the start has no later time to offer than the start.
    const std::uint64_t ts = samples[i].timestamp_ns;
    state.frames.push_back(
        Frame{.payload = samples[i].payload,
              .time = ts >= state.start_ns ? ts - state.start_ns : 0,
              .participant_idx = participant_idx != nullptr ? *participant_idx : 0,
              .topic_idx = *topic_idx,
              .kind = 0});
    state.positions.push_back(i);
  }

  std::size_t done = 0;
  while (done < state.frames.size()) {
    auto written = state.writer.write_frames(std::span(state.frames).subspan(done));
    const std::size_t ok = written ? state.frames.size() - done : written.error().written;
    saturating_increment(recorded_, std::uint64_t{ok});
    done += ok;
    if (written) break;
    const SessionError error = writer_error(written.error().error);
    // A refused frame is lost alone; after a failed write, so is the rest of the batch.
    const bool rest_lost = written.error().error.kind == WriteError::Kind::Io;
    const std::size_t end = rest_lost ? state.frames.size() : done + 1;
    for (; done < end; ++done)
      lose(losses, state.positions[done], error);
  }
  bytes_.store(state.writer.bytes_written(), std::memory_order_relaxed);
  return losses;
}

// A sample that never reaches the file still counts, so the totals add up to what arrived.
void RecordingSession::lose(BatchLosses& losses, std::size_t position, SessionError error) {
  saturating_increment(dropped_);
  saturating_increment(failed_);
  losses.emplace_back(position, std::move(error));
}

}  // namespace nimbrel::recorder
