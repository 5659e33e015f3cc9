// The recording loop of nimbrel-recorder-bridge: passes of non-blocking takes, each reader in turn
// giving what it holds up to a share, into the recording session, one gathered write per pass,
// until SIGINT or the duration stops it. Samples come whole and are written from the buffers they
// arrived in; what each writer lost, and where, is tallied. Clocks, sleep, the take call and the
// output streams come in through `LoopEnv`, so tests can drive the loop without a runtime or real
// time.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <vector>

#include "dcps/readers/sample_queue.hpp"
#include "foundation/time.hpp"
#include "nimbrel/nimbrel.h"
#include "recorder/format.hpp"
#include "tools/recorder_bridge/recording_output.hpp"
#include "tools/recorder_bridge/writer_tally.hpp"

namespace nimbrel::bridge {

inline constexpr auto idle_sleep = std::chrono::milliseconds(5);
inline constexpr auto stats_interval = std::chrono::seconds(5);
// How long the stop may spend writing what the readers still hold.
inline constexpr auto drain_limit = std::chrono::seconds(3);

struct LoopReader {
  NimbrelReader* handle = nullptr;
  recorder::TopicKey topic;
};

// The readers the loop takes from. `grow`, when set, runs once a round and may add readers for
// topics that appeared; a deque keeps the earlier ones where they are.
struct LoopReaders {
  std::deque<LoopReader> readers{};
  std::function<void(std::deque<LoopReader>&)> grow{};
};

struct LoopEnv {
  // Appends at most `max_items` items, no more once their payloads reach `max_bytes`.
  std::function<std::int32_t(NimbrelReader*, std::vector<dcps::ReaderItem>& out,
                             std::size_t max_items, std::size_t max_bytes)>
      take;
  std::function<std::int32_t(NimbrelReader*)> close;
  std::function<MonoInstant()> mono_now;
  std::function<std::uint64_t()> wall_ns;
  std::function<void(Duration)> sleep;
  std::ostream* out = nullptr;
  std::ostream* err = nullptr;
};

// The C API, the real clocks, std::cout and std::cerr.
LoopEnv system_loop_env();

enum class StopCause { Sigint, DurationReached };

// Runs rounds until a stop condition holds (the flag is checked first), prints the stop message,
// closes the readers and records what they still hold (for at most `drain_limit`, said on `out`
// when it cuts the drain short), ends the output, prints what is left to say about failed appends,
// and returns;
// `start` is the instant the duration and the statistics count from. Each writer's samples are
// counted in `tally`.
StopCause run_recording_loop(LoopReaders& readers, RecordingOutput& output,
                             const std::atomic<bool>& stop,
                             std::optional<std::uint64_t> duration_ms, MonoInstant start,
                             const LoopEnv& env, WriterTally& tally);

std::string stats_line(const RecordingOutput& session);

// The final line, with the elapsed time to one decimal place of a second.
std::string done_line(const RecordingOutput& session, Duration elapsed);

// Writes `line` and a newline and flushes, so that a reader of a pipe sees each line at once.
void put_line(std::ostream& stream, std::string_view line);

}  // namespace nimbrel::bridge
