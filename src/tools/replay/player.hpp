// The pacing of a replay: each frame is written when its recorded time, scaled by the rate, has
// come (or at once with rate 0), with the encapsulation header the recording left off put back.
// A writer whose history is full is asked again until its readers have caught up. Clock, sleep
// and writers come from outside, so the pacing is tested without a network.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "foundation/time.hpp"

namespace nimbrel::replay {

struct PlayFrame {
  std::size_t writer = 0;           // index of the topic's writer
  std::uint64_t time_ns = 0;        // recorded, since the recording's start
  std::span<const std::byte> body;  // the payload as recorded, without encapsulation header
};

enum class WriteOutcome { Written, Full, Failed };

struct PlayerEnv {
  std::function<MonoInstant()> now;
  // Returns early when the stop flag is set.
  std::function<void(MonoInstant)> sleep_until;
  std::function<WriteOutcome(std::size_t writer, std::span<const std::byte> serialized)> write;
  const std::atomic<bool>* stop = nullptr;
};

struct PlayStats {
  std::uint64_t samples = 0;
  std::uint64_t bytes = 0;   // recorded payload bytes written
  std::uint64_t failed = 0;  // samples a writer refused for good
  bool stopped = false;
};

// Plays the frames in order, once or until stopped with `loop`. Each pass keeps the recorded
// spacing from its own start.
PlayStats play(std::span<const PlayFrame> frames, double rate, bool loop, const PlayerEnv& env);

}  // namespace nimbrel::replay
