// Where the recording loop puts what it takes: a .nbrlrec recording, or an MCAP file that keeps
// every sample whole with its writer, and the losses and lifecycle changes beside them. The loop
// thread calls everything; the counters are also read by the metrics server's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "dcps/readers/sample_queue.hpp"
#include "recorder/format.hpp"
#include "rtps/sample_loss.hpp"

namespace nimbrel::bridge {

// A data sample taken in the current pass, in the buffer it arrived in until the pass is recorded.
struct TakenSample {
  dcps::UserSample sample;
  std::uint64_t wall_ns = 0;  // when it was taken
  const recorder::TopicKey* topic = nullptr;
};

// A sample of a batch that was not recorded, by its position in the batch.
struct BatchLoss {
  std::size_t position = 0;
  rtps::LossReason reason = rtps::LossReason::WriteFailed;
  std::string error;
};

// Samples recorded in earlier batches that a failed write later took out of the file.
struct LaterLoss {
  const recorder::TopicKey* topic = nullptr;
  rtps::Guid writer{};
  std::uint64_t samples = 0;
  std::string error;
};

class RecordingOutput {
 public:
  virtual ~RecordingOutput() = default;

  // Records the pass's data samples in order; gives those lost, in increasing position.
  virtual std::vector<BatchLoss> record(std::span<const TakenSample> samples) = 0;
  // Whether a sample with nothing after its encapsulation header can be recorded.
  virtual bool takes_empty_bodies() const = 0;
  // A loss or a lifecycle change taken at `wall_ns`, for outputs that keep them.
  virtual void note_loss(const recorder::TopicKey& /*topic*/, const rtps::LostRange& /*loss*/,
                         std::uint64_t /*wall_ns*/) {}
  virtual void note_lifecycle(const recorder::TopicKey& /*topic*/,
                              const dcps::UserSample& /*sample*/, std::uint64_t /*wall_ns*/) {}
  // Once per loop round: writes what has waited long enough.
  virtual void tick() {}
  // Ends the file; the error of a failed last write.
  virtual std::optional<std::string> finish() { return std::nullopt; }
  // False once ending the file failed: it reads only up to its last whole part.
  virtual bool complete() const { return true; }
  // What failed writes took out of the file since the last call.
  virtual std::vector<LaterLoss> take_later_losses() { return {}; }

  virtual std::uint64_t recorded() const = 0;
  virtual std::uint64_t dropped() const = 0;
  // The part of `dropped` lost to a failed write.
  virtual std::uint64_t failed() const = 0;
  virtual std::uint64_t bytes() const = 0;
  // The recording's time base (unix ns).
  virtual std::uint64_t start_ns() const = 0;
};

}  // namespace nimbrel::bridge
