#include "tools/replay/player.hpp"

#include <algorithm>
#include <chrono>
#include <vector>

namespace nimbrel::replay {
namespace {

constexpr auto full_retry = std::chrono::milliseconds(1);

bool stopped(const PlayerEnv& env) {
  return env.stop != nullptr && env.stop->load(std::memory_order_relaxed);
}

Duration scaled(std::uint64_t ns, double rate) {
  return Duration{static_cast<Duration::rep>(static_cast<double>(ns) / rate)};
}

// Where each frame falls on a pass's own time line, in recorded nanoseconds from the pass's start.
// Frames go by the latest frame time so far: one stamped earlier is due at once, and a jump past
// the cap either way is cut, so that a clock step neither stalls nor bursts the replay.
class Timeline {
 public:
  explicit Timeline(std::uint64_t cap_ns) : cap_ns_(cap_ns) {}

  // The offset of a frame recorded at `time`, and how much of a forward jump was cut.
  std::pair<std::uint64_t, std::uint64_t> place(std::uint64_t time) {
    if (!started_) {
      started_ = true;
      latest_ = time;
      return {0, 0};
    }
    if (time >= latest_) {
      const std::uint64_t gap = time - latest_;
      const std::uint64_t kept = cap_ns_ == 0 ? gap : std::min(gap, cap_ns_);
      latest_ = time;
      offset_ += kept;
      return {offset_, gap - kept};
    }
    const std::uint64_t back = latest_ - time;
    if (cap_ns_ != 0 && back > cap_ns_) latest_ = time;
    return {back > offset_ ? 0 : offset_ - back, 0};
  }

 private:
  std::uint64_t cap_ns_;
  bool started_ = false;
  std::uint64_t latest_ = 0;
  std::uint64_t offset_ = 0;  // of the latest frame
};

// The cap counts in wall time; the timeline in recorded time.
std::uint64_t recorded_cap(const PlayOptions& options) {
  if (options.max_gap_ns == 0 || options.rate <= 0) return 0;
  const double cap = static_cast<double>(options.max_gap_ns) * options.rate;
  return cap >= 1.8e19 ? 0 : std::max<std::uint64_t>(1, static_cast<std::uint64_t>(cap));
}

}  // namespace

PlayStats play(FrameSource& frames, const PlayOptions& options, const PlayerEnv& env) {
  PlayStats stats;
  std::vector<std::byte> serialized;
  bool skip_told = false;
  std::uint64_t played = 0;
  do {
    frames.rewind();
    const std::uint64_t cap = recorded_cap(options);
    Timeline timeline(cap);
    const MonoInstant start = env.now();
    bool any = false;
    while (auto frame = frames.next()) {
      any = true;
      ++played;
      const auto [offset, skipped] = timeline.place(frame->time_ns);
      if (skipped > 0) {
        stats.skipped_ns += skipped;
        if (!skip_told && env.first_skip) env.first_skip(skipped + cap, played);
        skip_told = true;
      }
      if (options.rate > 0) env.sleep_until(start + scaled(offset, options.rate));
      std::span<const std::byte> sample = frame->data;
      if (!frame->encapsulation.empty()) {
        serialized.assign(frame->encapsulation.begin(), frame->encapsulation.end());
        serialized.insert(serialized.end(), frame->data.begin(), frame->data.end());
        sample = serialized;
      }
      WriteOutcome outcome = env.write(frame->writer, sample);
      while (outcome == WriteOutcome::Full && !stopped(env)) {
        env.sleep_until(env.now() + full_retry);
        outcome = env.write(frame->writer, sample);
      }
      if (stopped(env)) {
        stats.stopped = true;
        return stats;
      }
      if (outcome == WriteOutcome::Written) {
        ++stats.samples;
        stats.bytes += frame->data.size();
      } else {
        ++stats.failed;
      }
    }
    if (!any) break;
  } while (options.loop && !stopped(env));
  stats.stopped = stopped(env);
  return stats;
}

}  // namespace nimbrel::replay
