#include "tools/recorder_bridge/recording_loop.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <thread>
#include <vector>

#include "tools/recorder_bridge/failure_report.hpp"

namespace nimbrel::bridge {
namespace {

// The tool records every sample under the single participant of its header.
constexpr std::array<std::uint8_t, 16> recorder_participant_guid{};

bool duration_reached(std::optional<std::uint64_t> duration_ms, MonoInstant start,
                      MonoInstant now) {
  if (!duration_ms) return false;
  const auto elapsed = elapsed_between(start, now).since_start;
  // Whole milliseconds suffice: the limit itself is a whole number of milliseconds.
  const auto elapsed_ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
  return static_cast<std::uint64_t>(elapsed_ms) >= *duration_ms;
}

// One take; true when it yielded a payload (recorded or not).
bool take_one(const LoopReader& reader, recorder::RecordingSession& session, const LoopEnv& env,
              FailureReport& failures) {
  std::uint8_t* buffer = nullptr;
  std::size_t length = 0;
  if (env.take(reader.handle, &buffer, &length) != NIMBREL_STATUS_OK) return false;
  // Length 0 is either nothing or an empty sample's placeholder, which must not be freed.
  if (buffer == nullptr || length == 0) return false;
  const auto* first = reinterpret_cast<const std::byte*>(buffer);
  std::vector<std::byte> payload(first, first + length);
  std::free(buffer);
  const std::uint64_t wall_ns = env.wall_ns();
  const auto recorded = session.record(reader.topic, recorder_participant_guid, payload, wall_ns);
  if (recorded) {
    failures.recorded();
  } else {
    failures.failed(recorder::to_string(recorded.error()), wall_ns);
  }
  return true;
}

}  // namespace

LoopEnv system_loop_env() {
  return LoopEnv{
      .take = nimbrel_reader_take,
      .mono_now = [] { return std::chrono::steady_clock::now(); },
      .wall_ns = [] { return wall_clock_now().unix_ns; },
      .sleep = [](Duration d) { std::this_thread::sleep_for(d); },
      .out = &std::cout,
      .err = &std::cerr,
  };
}

StopCause run_recording_loop(std::span<const LoopReader> readers,
                             recorder::RecordingSession& session, const std::atomic<bool>& stop,
                             std::optional<std::uint64_t> duration_ms, MonoInstant start,
                             const LoopEnv& env) {
  MonoInstant last_stats = start;
  FailureReport failures(*env.err, session.start_ns());
  const auto stopped = [&](StopCause cause, std::string_view line) {
    put_line(*env.out, line);
    failures.finish();
    return cause;
  };
  for (;;) {
    if (stop.load())
      return stopped(StopCause::Sigint, "recorder-bridge: SIGINT received, draining...");
    if (duration_reached(duration_ms, start, env.mono_now()))
      return stopped(StopCause::DurationReached, "recorder-bridge: duration reached");
    bool busy = false;
    for (const auto& reader : readers)
      busy = take_one(reader, session, env, failures) || busy;
    if (!busy) env.sleep(idle_sleep);
    const MonoInstant now = env.mono_now();
    failures.tick(now);
    if (elapsed_between(last_stats, now).since_start >= stats_interval) {
      put_line(*env.out, stats_line(session));
      last_stats = now;
    }
  }
}

std::string stats_line(const recorder::RecordingSession& session) {
  return "  recorded=" + std::to_string(session.recorded()) +
         " dropped=" + std::to_string(session.dropped()) +
         " bytes=" + std::to_string(session.bytes());
}

std::string done_line(const recorder::RecordingSession& session, Duration elapsed) {
  std::array<char, 32> seconds{};
  std::snprintf(seconds.data(), seconds.size(), "%.1f",
                std::chrono::duration<double>(elapsed).count());
  return "recorder-bridge done: samples=" + std::to_string(session.recorded()) +
         " dropped=" + std::to_string(session.dropped()) +
         " bytes=" + std::to_string(session.bytes()) + " elapsed=" + seconds.data() + "s";
}

void put_line(std::ostream& stream, std::string_view line) {
  stream << line << '\n' << std::flush;
}

}  // namespace nimbrel::bridge
