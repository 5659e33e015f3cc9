#include "tools/recorder_bridge/recording_loop.hpp"

#include <array>
#include <cstdio>
#include <iostream>
#include <thread>
#include <vector>

#include "c_api/tool_access.hpp"
#include "tools/recorder_bridge/failure_report.hpp"

namespace nimbrel::bridge {
namespace {

bool duration_reached(std::optional<std::uint64_t> duration_ms, MonoInstant start,
                      MonoInstant now) {
  if (!duration_ms) return false;
  const auto elapsed = elapsed_between(start, now).since_start;
  // Whole milliseconds suffice: the limit itself is a whole number of milliseconds.
  const auto elapsed_ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
  return static_cast<std::uint64_t>(elapsed_ms) >= *duration_ms;
}

// What one reader may give in one pass: enough to make a write worth its system call, little
// enough that the other readers' turns come soon.
constexpr std::size_t max_takes_per_reader = 256;
constexpr std::size_t max_bytes_per_reader = 1024 * 1024;

struct PassResult {
  bool payload = false;   // a take gave a sample to record
  bool anything = false;  // a take gave anything: a sample, an empty one, a lifecycle, a loss
};

// One pass over the readers in turn, each giving what it holds up to its share; then all the
// bodies of the pass go to the file in one batch, each stamped with the time of its take.
class Pass {
 public:
  PassResult run(const std::deque<LoopReader>& readers, RecordingOutput& output, const LoopEnv& env,
                 FailureReport& failures, WriterTally& tally) {
    PassResult result;
    taken_.clear();
    for (const auto& reader : readers) {
      items_.clear();
      if (env.take(reader.handle, items_, max_takes_per_reader, max_bytes_per_reader) !=
          NIMBREL_STATUS_OK) {
        continue;
      }
      if (!items_.empty()) result.anything = true;
      for (auto& item : items_)
        sort_out(std::move(item), reader.topic, output, env, tally);
    }
    if (taken_.empty()) return result;
    result.payload = true;
    const auto losses = output.record(taken_);
    std::size_t next_loss = 0;
    for (std::size_t i = 0; i < taken_.size(); ++i) {
      const auto& taken = taken_[i];
      if (next_loss < losses.size() && losses[next_loss].position == i) {
        failures.failed(losses[next_loss].error, taken.wall_ns);
        tally.lost(*taken.topic, taken.sample.writer_guid, losses[next_loss].reason, 1);
        ++next_loss;
      } else {
        failures.recorded();
        tally.recorded(*taken.topic, taken.sample.writer_guid);
      }
    }
    taken_.clear();
    return result;
  }

 private:
  // Data goes to the file in one batch per pass; losses and lifecycle changes to the output at
  // once.
  void sort_out(dcps::ReaderItem&& item, const recorder::TopicKey& topic, RecordingOutput& output,
                const LoopEnv& env, WriterTally& tally) {
    if (const auto* loss = std::get_if<rtps::LostRange>(&item)) {
      output.note_loss(topic, *loss, env.wall_ns());
      if (tally.lost(topic, loss->writer, loss->reason, static_cast<std::uint64_t>(loss->count())))
        put_line(*env.err, too_large_line(topic, loss->writer));
      return;
    }
    auto& sample = std::get<dcps::UserSample>(item);
    tally.received(topic, sample.writer_guid);
    if (!sample.is_data()) {
      output.note_lifecycle(topic, sample, env.wall_ns());
      return;
    }
    if (sample.body().empty() && !output.takes_empty_bodies()) {
      tally.lost(topic, sample.writer_guid, rtps::LossReason::NotRecordable, 1);
      return;
    }
    taken_.push_back(
        TakenSample{.sample = std::move(sample), .wall_ns = env.wall_ns(), .topic = &topic});
  }

  std::vector<dcps::ReaderItem> items_;
  std::vector<TakenSample> taken_;
};

// Samples a failed write took out of the file after they were counted as recorded.
void settle_later_losses(RecordingOutput& output, const LoopEnv& env, FailureReport& failures,
                         WriterTally& tally) {
  for (const auto& loss : output.take_later_losses()) {
    failures.failed(loss.error, env.wall_ns(), loss.samples);
    tally.unrecorded(*loss.topic, loss.writer, rtps::LossReason::WriteFailed, loss.samples);
  }
}

// Closed readers take in nothing more, so their queues only shrink: once a pass finds them all
// empty, everything they acknowledged is in the file.
void drain(const std::deque<LoopReader>& readers, RecordingOutput& output, const LoopEnv& env,
           FailureReport& failures, WriterTally& tally, Pass& pass) {
  for (const auto& reader : readers)
    static_cast<void>(env.close(reader.handle));
  const MonoInstant deadline = deadline_after(env.mono_now(), drain_limit);
  for (;;) {
    if (!pass.run(readers, output, env, failures, tally).anything) return;
    if (env.mono_now() >= deadline) {
      put_line(*env.out, "recorder-bridge: drain stopped after " +
                             std::to_string(std::chrono::seconds(drain_limit).count()) +
                             " s; samples still queued are not recorded");
      return;
    }
  }
}

}  // namespace

LoopEnv system_loop_env() {
  return LoopEnv{
      .take = nimbrel::c_api::take_items,
      .close = nimbrel::c_api::close_reader,
      .mono_now = [] { return std::chrono::steady_clock::now(); },
      .wall_ns = [] { return wall_clock_now().unix_ns; },
      .sleep = [](Duration d) { std::this_thread::sleep_for(d); },
      .out = &std::cout,
      .err = &std::cerr,
  };
}

StopCause run_recording_loop(LoopReaders& readers, RecordingOutput& output,
                             const std::atomic<bool>& stop,
                             std::optional<std::uint64_t> duration_ms, MonoInstant start,
                             const LoopEnv& env, WriterTally& tally) {
  MonoInstant last_stats = start;
  FailureReport failures(*env.err, output.start_ns());
  Pass pass;
  const auto stopped = [&](StopCause cause, std::string_view line) {
    put_line(*env.out, line);
    drain(readers.readers, output, env, failures, tally, pass);
    if (const auto error = output.finish()) put_line(*env.err, "session error: " + *error);
    settle_later_losses(output, env, failures, tally);
    failures.finish();
    return cause;
  };
  for (;;) {
    if (stop.load())
      return stopped(StopCause::Sigint, "recorder-bridge: SIGINT received, draining...");
    if (duration_reached(duration_ms, start, env.mono_now()))
      return stopped(StopCause::DurationReached, "recorder-bridge: duration reached");
    if (readers.grow) readers.grow(readers.readers);
    if (!pass.run(readers.readers, output, env, failures, tally).payload) env.sleep(idle_sleep);
    output.tick();
    settle_later_losses(output, env, failures, tally);
    const MonoInstant now = env.mono_now();
    failures.tick(now);
    if (elapsed_between(last_stats, now).since_start >= stats_interval) {
      put_line(*env.out, stats_line(output));
      last_stats = now;
    }
  }
}

std::string stats_line(const RecordingOutput& session) {
  return "  recorded=" + std::to_string(session.recorded()) +
         " dropped=" + std::to_string(session.dropped()) +
         " bytes=" + std::to_string(session.bytes());
}

std::string done_line(const RecordingOutput& session, Duration elapsed) {
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
