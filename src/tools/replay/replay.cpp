#include "tools/replay/replay.hpp"

#include <chrono>
#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "c_api/guid_prefix.hpp"
#include "dcps/runtime/runtime.hpp"
#include "tools/common/json.hpp"
#include "tools/replay/keyedness.hpp"
#include "tools/replay/player.hpp"
#include "tools/replay/playlist.hpp"

namespace nimbrel::replay {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto poll_period = std::chrono::milliseconds(20);
// Readers already there are found within a few SEDP exchanges.
constexpr auto discovery_window = std::chrono::seconds(2);
// A reader we matched may not have matched us yet, and peers hand over only samples of writers they
// know: the first samples would be lost to them.
constexpr auto settle = std::chrono::seconds(1);
// Samples in flight per writer: a burst larger than a reader's history would be acknowledged and
// overwritten before its application took it. Frequent heartbeats keep the acknowledgements, and
// with them the flow, coming.
constexpr std::uint64_t window = 64;
constexpr auto heartbeat_period = std::chrono::milliseconds(10);
// After the last sample: readers that stop acknowledging are given up on.
constexpr auto drain_limit = std::chrono::seconds(10);
// A reader acknowledges a sample before its application has it; a writer that leaves at once
// makes peers drop what they have not handed over yet.
constexpr auto linger = std::chrono::seconds(1);

struct TopicWriter {
  PlayTopic topic;
  rtps::EntityId id{};
};

// Waits in short steps until `done` or the stop flag; false when stopped or past `limit`.
template <typename Done>
bool wait_for(const std::atomic<bool>& stop, Clock::duration limit, Done&& done) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (stop.load() || Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(poll_period);
  }
  return true;
}

std::size_t matched_readers(const dcps::DcpsRuntime& runtime,
                            const std::vector<TopicWriter>& writers) {
  std::size_t n = 0;
  for (const auto& writer : writers) {
    if (auto progress = runtime.writer_progress(writer.id)) n += progress->matched_readers;
  }
  return n;
}

std::uint64_t unacknowledged(const dcps::DcpsRuntime& runtime, const rtps::EntityId& writer) {
  const auto progress = runtime.writer_progress(writer);
  if (!progress) return 0;
  return static_cast<std::uint64_t>(progress->last_written - progress->acknowledged_by_all);
}

bool all_acknowledged(const dcps::DcpsRuntime& runtime, const std::vector<TopicWriter>& writers) {
  for (const auto& writer : writers) {
    const auto progress = runtime.writer_progress(writer.id);
    if (progress && progress->acknowledged_by_all < progress->last_written) return false;
  }
  return true;
}

std::size_t remote_readers(const dcps::DcpsRuntime& runtime, const std::vector<PlayTopic>& topics) {
  const auto readers = runtime.discovered_subscriptions();
  std::size_t n = 0;
  for (const auto& topic : topics)
    n += readers_of(readers, topic.name, topic.type_name);
  return n;
}

// As the wire carries it: "00 00 01 02".
std::string entity_id_hex(const rtps::EntityId& id) {
  std::string out;
  for (const std::uint8_t byte : id.to_bytes()) {
    char hex[4];
    std::snprintf(hex, sizeof hex, out.empty() ? "%02x" : " %02x", byte);
    out += hex;
  }
  return out;
}

std::string seconds_text(std::uint64_t ns) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(ns) / 1e9);
  return text;
}

void sleep_until(const std::atomic<bool>& stop, MonoInstant when) {
  // In slices, so that Ctrl-C during a long recorded pause is seen at once.
  while (!stop.load() && Clock::now() < when) {
    std::this_thread::sleep_until(std::min(when, Clock::now() + std::chrono::milliseconds(100)));
  }
}

}  // namespace

int run(const Args& args, const std::atomic<bool>& stop, std::ostream& out, std::ostream& err) {
  auto list = open_playlist(args.in, args.topics);
  if (!list) {
    err << list.error().message << "\n";
    return list.error().status;
  }
  const std::vector<PlayTopic>& topics = list->topics;
  // Played all the same, and then said in the status, as export, cut and merge do.
  const bool damaged = !list->damage.empty();
  if (damaged) {
    err << args.in << ": " << list->damage << "; replaying the " << list->count
        << " whole frames before it\n";
  }
  if (list->count == 0) {
    err << args.in << ": no samples of the chosen topics to replay\n";
    return 1;
  }

  auto started = dcps::DcpsRuntime::start(args.domain, c_api::random_guid_prefix(), {});
  if (!started) {
    err << "cannot join domain " << args.domain << ": " << dcps::to_string(started.error()) << "\n";
    return 1;
  }
  dcps::DcpsRuntime& runtime = **started;
  out << "nimbrel-replay: " << list->count << " samples of " << topics.size() << " topics from "
      << args.in << " into domain " << args.domain << std::endl;

  // The readers found before the writers exist decide the keyedness of the topics the recording
  // does not say it of. Readers that need the writers' type come only after the writers.
  if (std::ranges::any_of(topics, [](const PlayTopic& t) { return !t.keyed; })) {
    const auto wanted = std::max<std::size_t>(args.wait_for_readers, topics.size());
    wait_for(stop, args.wait_for_readers > 0 ? Clock::duration::max() / 2 : discovery_window,
             [&] { return remote_readers(runtime, topics) >= wanted; });
  }
  const auto found = runtime.discovered_subscriptions();
  std::vector<TopicWriter> writers;
  for (const auto& topic : topics) {
    const bool keyed = topic.keyed.value_or(choose_keyed(found, topic.name, topic.type_name));
    // Served before the writer is announced: a reader may ask for the type at once.
    if (!topic.type_objects.empty() && !runtime.add_type_objects(topic.type_objects)) {
      err << "the recorded type of " << tools::text_escape(topic.name)
          << " cannot be served; its readers must know it\n";
    }
    auto id = runtime.register_user_writer({.topic_name = topic.name,
                                            .type_name = topic.type_name,
                                            .keyed = keyed,
                                            .heartbeat_period = heartbeat_period,
                                            .type_information = topic.type_information,
                                            .data_representations = topic.data_representations});
    if (!id) {
      err << "cannot create a writer for " << tools::text_escape(topic.name) << ": "
          << dcps::to_string(id.error()) << "\n";
      return 1;
    }
    out << "writer " << entity_id_hex(*id) << " for " << tools::text_escape(topic.name) << " ("
        << tools::text_escape(topic.type_name) << ", " << (keyed ? "keyed" : "keyless") << ")"
        << std::endl;
    writers.push_back({topic, *id});
  }
  if (args.wait_for_readers > 0) {
    out << "waiting for " << args.wait_for_readers << " readers" << std::endl;
    if (!wait_for(stop, Clock::duration::max() / 2,
                  [&] { return matched_readers(runtime, writers) >= args.wait_for_readers; })) {
      err << "stopped before the readers were there\n";
      return 1;
    }
  }

  wait_for(stop, settle, [] { return false; });

  const PlayerEnv env{
      .now = [] { return Clock::now(); },
      .sleep_until = [&](MonoInstant when) { sleep_until(stop, when); },
      .write =
          [&](std::size_t writer, std::span<const std::byte> serialized) {
            if (unacknowledged(runtime, writers[writer].id) >= window) return WriteOutcome::Full;
            auto written = runtime.write(writers[writer].id, serialized);
            if (written) return WriteOutcome::Written;
            return written.error() == dcps::WriterError::HistoryFull ? WriteOutcome::Full
                                                                     : WriteOutcome::Failed;
          },
      .first_skip =
          [&](std::uint64_t jump_ns, std::uint64_t sample) {
            err << "nimbrel-replay: the frame times jump " << seconds_text(jump_ns)
                << " before sample " << sample << "; waits are cut to --max-gap "
                << seconds_text(args.max_gap_ns)
                << " (said once; the last line gives all that was skipped)" << std::endl;
          },
      .stop = &stop,
  };
  const auto begin = Clock::now();
  const PlayStats stats = play(
      *list->frames, {.rate = args.rate, .loop = args.loop, .max_gap_ns = args.max_gap_ns}, env);
  if (!wait_for(stop, drain_limit, [&] { return all_acknowledged(runtime, writers); })) {
    err << "not every reader acknowledged every sample\n";
  }
  wait_for(stop, linger, [] { return false; });
  const auto seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  out << "replayed " << stats.samples << " samples (" << stats.bytes << " bytes) in " << seconds
      << " s"
      << (stats.skipped_ns > 0 ? ", " + seconds_text(stats.skipped_ns) + " of gaps skipped" : "")
      << (stats.stopped ? ", stopped" : "") << std::endl;
  if (stats.failed > 0) {
    err << stats.failed << " samples could not be written\n";
    return 1;
  }
  return damaged ? 1 : 0;
}

}  // namespace nimbrel::replay
