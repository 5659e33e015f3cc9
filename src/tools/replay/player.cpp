#include "tools/replay/player.hpp"

#include <chrono>
#include <vector>

namespace nimbrel::replay {
namespace {

// CDR little-endian, options 0: how the recorder's peers encode their samples; the recording
// keeps only the body.
constexpr std::byte cdr_le_header[] = {std::byte{0x00}, std::byte{0x01}, std::byte{0x00},
                                       std::byte{0x00}};
constexpr auto full_retry = std::chrono::milliseconds(1);

bool stopped(const PlayerEnv& env) {
  return env.stop != nullptr && env.stop->load(std::memory_order_relaxed);
}

Duration scaled(std::uint64_t ns, double rate) {
  return Duration{static_cast<Duration::rep>(static_cast<double>(ns) / rate)};
}

}  // namespace

PlayStats play(std::span<const PlayFrame> frames, double rate, bool loop, const PlayerEnv& env) {
  PlayStats stats;
  if (frames.empty()) return stats;
  std::vector<std::byte> serialized;
  const std::uint64_t first = frames.front().time_ns;
  do {
    const MonoInstant start = env.now();
    for (const PlayFrame& frame : frames) {
      if (rate > 0) {
        // Frames are in file order; one stamped earlier than the first is due at once.
        const std::uint64_t offset = frame.time_ns > first ? frame.time_ns - first : 0;
        env.sleep_until(start + scaled(offset, rate));
      }
      serialized.assign(std::begin(cdr_le_header), std::end(cdr_le_header));
      serialized.insert(serialized.end(), frame.body.begin(), frame.body.end());
      WriteOutcome outcome = env.write(frame.writer, serialized);
      while (outcome == WriteOutcome::Full && !stopped(env)) {
        env.sleep_until(env.now() + full_retry);
        outcome = env.write(frame.writer, serialized);
      }
      if (stopped(env)) {
        stats.stopped = true;
        return stats;
      }
      if (outcome == WriteOutcome::Written) {
        ++stats.samples;
        stats.bytes += frame.body.size();
      } else {
        ++stats.failed;
      }
    }
  } while (loop && !stopped(env));
  stats.stopped = stopped(env);
  return stats;
}

}  // namespace nimbrel::replay
