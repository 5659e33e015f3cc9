// One recording in progress: maps each incoming sample to the header's topic and participant
// indices, writes the header lazily before the first frame, and counts what it recorded and
// dropped. `record` may be called from any thread; the counters are readable without the lock.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "foundation/guarded.hpp"
#include "recorder/format.hpp"
#include "recorder/writer.hpp"

namespace nimbrel::recorder {

struct SessionError {
  enum class Kind { Writer, MutexPoisoned };
  Kind kind = Kind::Writer;
  WriteError write{};  // Writer

  friend bool operator==(const SessionError&, const SessionError&) = default;
};
std::string to_string(const SessionError& error);

// One sample for `RecordingSession::record_batch`; the topic and the payload are borrowed.
struct PendingSample {
  const TopicKey* topic = nullptr;
  std::span<const std::byte> payload;
  std::uint64_t timestamp_ns = 0;
};

// The samples of a batch that were lost, by their position in it, in increasing order.
using BatchLosses = std::vector<std::pair<std::size_t, SessionError>>;

class RecordingSession {
 public:
  // Writes nothing: a session that never records leaves its sink empty.
  RecordingSession(RecordingWriter writer, Header header);

  // A topic missing from the header is counted as dropped and is not an error. A sample that
  // cannot be written is counted as dropped and as failed, and its error returned. A participant
  // missing from the header is recorded as participant 0. A time stamp before the header's start
  // is recorded as time 0.
  std::expected<void, SessionError> record(const TopicKey& topic,
                                           const std::array<std::uint8_t, 16>& participant_guid,
                                           std::span<const std::byte> payload,
                                           std::uint64_t timestamp_ns);
  // As `record` for each sample in order, with every frame in one gathered write; every recorded
  // frame is in the sink when this returns. Gives the samples that were lost, with their errors.
  BatchLosses record_batch(const std::array<std::uint8_t, 16>& participant_guid,
                           std::span<const PendingSample> samples);

  std::uint64_t recorded() const { return recorded_.load(std::memory_order_relaxed); }
  std::uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }
  // The part of `dropped` lost to a failed write or a poisoned lock.
  std::uint64_t failed() const { return failed_.load(std::memory_order_relaxed); }
  // The header's start: frame times count from it.
  std::uint64_t start_ns() const { return start_ns_; }
  // Bytes in the recording so far, header included.
  std::uint64_t bytes() const { return bytes_.load(std::memory_order_relaxed); }

 private:
  struct Inner {
    std::vector<std::pair<TopicKey, std::uint32_t>> topics;
    std::vector<std::pair<std::array<std::uint8_t, 16>, std::uint32_t>> participants;
    Header header;
    RecordingWriter writer;
    std::uint64_t start_ns = 0;
    bool started = false;  // this session wrote the header
    // Reused from batch to batch: the frames to write and their samples' positions.
    std::vector<Frame> frames{};
    std::vector<std::size_t> positions{};
  };

  void lose(BatchLosses& losses, std::size_t position, SessionError error);

  // Held across the sink write so that frames never interleave; any caller of `record`.
  Guarded<Inner> inner_;
  const std::uint64_t start_ns_;
  std::atomic<std::uint64_t> recorded_{0};
  std::atomic<std::uint64_t> dropped_{0};
  std::atomic<std::uint64_t> failed_{0};
  std::atomic<std::uint64_t> bytes_{0};
};

}  // namespace nimbrel::recorder
