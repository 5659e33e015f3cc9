// The pacing of a replay: each frame is written when its recorded time, scaled by the rate, has
// come (or at once with rate 0). Frames are pulled one at a time from a source, so a recording of
// any length plays in bounded memory. A writer whose history is full is asked again until its
// readers have caught up. Clock, sleep and writers come from outside, so the pacing is tested
// without a network.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "foundation/time.hpp"

namespace nimbrel::replay {

struct PlayFrame {
  std::size_t writer = 0;     // index of the topic's writer
  std::uint64_t time_ns = 0;  // recorded
  // Written in front of `data`: the header a recording left off; empty when `data` has its own.
  std::span<const std::byte> encapsulation;
  std::span<const std::byte> data;
};

// The frames to play, in order; `rewind` starts them again for another pass.
class FrameSource {
 public:
  virtual ~FrameSource() = default;
  virtual std::optional<PlayFrame> next() = 0;
  virtual void rewind() = 0;
};

enum class WriteOutcome { Written, Full, Failed };

struct PlayerEnv {
  std::function<MonoInstant()> now;
  // Returns early when the stop flag is set.
  std::function<void(MonoInstant)> sleep_until;
  std::function<WriteOutcome(std::size_t writer, std::span<const std::byte> serialized)> write;
  // Told of the first jump of the frame times past the cap: its recorded length, and the number
  // of the sample after it (counted from 1 over all passes).
  std::function<void(std::uint64_t jump_ns, std::uint64_t sample)> first_skip;
  const std::atomic<bool>* stop = nullptr;
};

struct PlayOptions {
  double rate = 1.0;  // 1 the recorded timing, 2 twice as fast, 0 no pauses
  bool loop = false;
  // The longest wait between two samples; a longer jump of the frame times (a clock step, a
  // pause of the recorder) is cut to it, and a jump back by more than it is taken as a step of the
  // clock (the next sample follows at once). 0: no cap.
  std::uint64_t max_gap_ns = 0;
};

struct PlayStats {
  std::uint64_t samples = 0;
  std::uint64_t bytes = 0;       // recorded data bytes written
  std::uint64_t failed = 0;      // samples a writer refused for good
  std::uint64_t skipped_ns = 0;  // recorded time cut from the waits by the cap
  bool stopped = false;
};

// Plays the frames once, or until stopped with `loop`. Each pass keeps the recorded spacing from
// its own start.
PlayStats play(FrameSource& frames, const PlayOptions& options, const PlayerEnv& env);

}  // namespace nimbrel::replay
