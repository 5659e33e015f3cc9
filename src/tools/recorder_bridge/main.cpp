// nimbrel-recorder-bridge: records the samples of the named topics of a DDS domain into a
// .nbrlrec or an MCAP file until SIGINT or the given duration stops it.
#include <malloc.h>
#include <unistd.h>

#include <array>
#include <ctime>

#include <atomic>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "c_api/tool_access.hpp"
#include "foundation/time.hpp"
#include "nimbrel/nimbrel.h"
#include "recorder/format.hpp"
#include "recorder/writer.hpp"
#include "tools/common/ctrl_c.hpp"
#include "tools/recorder_bridge/args.hpp"
#include "tools/recorder_bridge/mcap_output.hpp"
#include "tools/recorder_bridge/metrics_server.hpp"
#include "tools/recorder_bridge/nbrlrec_output.hpp"
#include "tools/recorder_bridge/recorder_metrics.hpp"
#include "tools/recorder_bridge/recording_loop.hpp"
#include "tools/recorder_bridge/topic_readers.hpp"
#include "tools/recorder_bridge/writer_types.hpp"

namespace nimbrel::bridge {
namespace {

constexpr int exit_ok = 0;
constexpr int exit_failure = 1;
constexpr int exit_usage = 2;
constexpr std::uint64_t peer_wait_ms = 5000;
// An MCAP chunk closes at this size or age, so that a killed recorder loses at most the open one.
constexpr std::size_t mcap_chunk_size = std::size_t{1} << 20;
constexpr std::uint64_t mcap_chunk_duration_ns = 250'000'000;

void print_usage() {
  std::cout << usage_text << std::flush;
}

recorder::Header recording_header(const Args& args, std::uint64_t start_ns) {
  recorder::Header header;
  header.participants.push_back(recorder::ParticipantEntry{.name = "recorder-bridge", .guid = {}});
  for (const auto& topic : args.topics) {
    header.topics.push_back(recorder::TopicKey{.name = topic.name, .type_name = topic.type_name});
  }
  header.start_ns = start_ns;
  return header;
}

// An argument as a POSIX shell would read it back.
std::string shell_word(const std::string& word) {
  const bool plain = !word.empty() && word.find_first_not_of(
                                          "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                          "0123456789_./:=@%+-,") == std::string::npos;
  if (plain) return word;
  std::string out = "'";
  for (const char c : word) {
    if (c == '\'')
      out.append("'\\''");
    else
      out.push_back(c);
  }
  out.push_back('\'');
  return out;
}

std::string utc_text(std::uint64_t unix_ns) {
  const auto seconds = static_cast<std::time_t>(unix_ns / 1'000'000'000);
  std::tm tm{};
  ::gmtime_r(&seconds, &tm);
  std::array<char, 64> text{};
  const auto n = std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%S", &tm);
  std::array<char, 16> fraction{};
  std::snprintf(fraction.data(), fraction.size(), ".%09lluZ",
                static_cast<unsigned long long>(unix_ns % 1'000'000'000));
  return std::string(text.data(), n) + fraction.data();
}

recorder::StringPairs recording_metadata(std::span<const std::string> arguments, const Args& args,
                                         std::uint64_t start_ns) {
  std::string command_line;
  for (const auto& argument : arguments) {
    if (!command_line.empty()) command_line.push_back(' ');
    command_line.append(shell_word(argument));
  }
  std::array<char, 256> host{};
  if (::gethostname(host.data(), host.size() - 1) != 0) host[0] = '\0';
  return {{"command_line", command_line},
          {"domain", std::to_string(args.domain)},
          {"host", host.data()},
          {"start_time_ns", std::to_string(start_ns)},
          {"start_time", utc_text(start_ns)},
          {"library", "nimbrel-recorder-bridge"}};
}

// Metrics are an extra: an address that does not work is reported and recording goes on.
std::unique_ptr<MetricsServer> start_metrics(const RecordingOutput& session) {
  const char* text = std::getenv(metrics_address_variable);
  if (text == nullptr || *text == '\0') return nullptr;
  const auto fail = [&](const std::string& why) {
    put_line(std::cerr, std::string("metrics: ") + metrics_address_variable + ": " + why +
                            "; recording without metrics");
    return nullptr;
  };
  auto address = parse_listen_address(text);
  if (!address) return fail(address.error());
  auto metrics = std::make_shared<RecorderMetrics>(monitor::default_registry());
  auto server = MetricsServer::start(*address, [metrics, &session] { metrics->sync(session); });
  if (!server) return fail(server.error());
  put_line(std::cerr, "metrics: http://" + address->host + ":" + std::to_string((*server)->port()) +
                          "/metrics");
  return std::move(*server);
}

// Sample buffers are allocated and freed at the stream's rate, in batches: memory given back to
// the kernel after each batch would be faulted in again, zero-filled, for the next one. What is
// kept is bounded by the readers' queue budgets.
void keep_freed_memory() {
  static_cast<void>(::mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024));
  static_cast<void>(::mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024));
}

int run(const Args& args, std::span<const std::string> arguments) {
  keep_freed_memory();
  const std::string topics = args.filter.all
                                 ? std::string("all")
                                 : std::to_string(args.topics.size() + args.filter.includes.size());
  put_line(std::cout, "nimbrel-recorder-bridge: domain=" + std::to_string(args.domain) +
                          " topics=" + topics + " \u2192 " + quote_path(args.out));

  // What the file holds goes only once the runtime has started: a failing start harms nothing.
  auto file = recorder::FileSink::open_keeping(args.out);
  const auto cannot_create = [&](const std::error_code& error) {
    put_line(std::cerr, "create " + quote_path(args.out) + ": " + error.message() + " (os error " +
                            std::to_string(error.value()) + ")");
    return exit_failure;
  };
  if (!file) return cannot_create(file.error());

  auto stop = std::make_shared<std::atomic<bool>>(false);
  tools::ctrl_c_install(stop);

  dcps::RuntimeConfig config;
  config.max_sample_size = args.max_sample_size;
  NimbrelRuntime* runtime = c_api::create_runtime(args.domain, std::move(config));
  if (runtime == nullptr) {
    put_line(std::cerr, "nimbrel_runtime_create failed");
    return exit_failure;
  }
  if (auto emptied = (*file)->truncate(0); !emptied) {
    nimbrel_runtime_destroy(runtime);
    return cannot_create(emptied.error());
  }

  const std::uint64_t start_ns = wall_clock_now().unix_ns;
  std::unique_ptr<RecordingOutput> output;
  if (is_mcap_path(args.out)) {
    auto mcap = McapOutput::start(
        std::move(*file),
        McapOutputConfig{
            .mcap = {.chunk_size = mcap_chunk_size,
                     .max_chunk_duration_ns = mcap_chunk_duration_ns,
                     .compression = args.compression,
                     .crcs = args.compression != recorder::McapCompression::None},
            .metadata = recording_metadata(arguments, args, start_ns),
            .start_ns = start_ns,
            .describe =
                [runtime](const rtps::Guid& writer) {
                  return c_api::describe_writer(runtime, writer);
                },
            .wall_ns = [] { return wall_clock_now().unix_ns; },
            .writer_type = WriterTypes(
                [runtime](const rtps::Guid& writer) { return c_api::type_state(runtime, writer); },
                [runtime](const rtps::Guid& writer) {
                  return c_api::writer_type(runtime, writer);
                })});
    if (!mcap) {
      put_line(std::cerr, "write " + quote_path(args.out) + ": " + mcap.error().message());
      nimbrel_runtime_destroy(runtime);
      return exit_failure;
    }
    output = std::move(*mcap);
  } else {
    output = std::make_unique<NbrlrecOutput>(recorder::RecordingWriter(std::move(*file)),
                                             recording_header(args, start_ns));
  }
  RecordingOutput& session = *output;
  // Declared after the session, so it stops serving before the session goes.
  const auto metrics = start_metrics(session);

  // Recording starts with or without a peer; a late peer is still discovered.
  (void)nimbrel_runtime_wait_for_peers(runtime, /*min_peers=*/1, peer_wait_ms);

  LoopReaders readers;
  std::optional<TopicReaders> topic_readers;
  if (is_mcap_path(args.out)) {
    topic_readers.emplace(
        args.filter, args.max_topics,
        TopicReadersEnv{.create =
                            [runtime](dcps::UserReaderConfig reader) {
                              return c_api::create_reader(runtime, std::move(reader));
                            },
                        .writer_topics_since =
                            [runtime](std::uint64_t generation) {
                              return c_api::writer_topics_since(runtime, generation);
                            },
                        .err = &std::cerr});
  }
  for (const auto& topic : args.topics) {
    NimbrelReader* reader = nullptr;
    if (topic_readers) {
      // A topic named twice is recorded once.
      const dcps::TopicType key{topic.name, topic.type_name};
      if (topic_readers->decided(key)) continue;
      reader = topic_readers->add(key, readers.readers);
    } else {
      reader = nimbrel_reader_create(runtime, topic.name.c_str(), topic.type_name.c_str(),
                                     /*reliable=*/1);
      if (reader != nullptr) {
        readers.readers.push_back(LoopReader{
            .handle = reader, .topic = {.name = topic.name, .type_name = topic.type_name}});
      }
    }
    if (reader == nullptr) {
      // The topic readers have said why already.
      if (!topic_readers) put_line(std::cerr, "reader_create failed for " + topic.name);
      for (const auto& created : readers.readers)
        nimbrel_reader_destroy(created.handle);
      nimbrel_runtime_destroy(runtime);
      return exit_failure;
    }
  }
  if (topic_readers && (args.filter.all || !args.filter.includes.empty()))
    readers.grow = [&topic_readers](std::deque<LoopReader>& more) { topic_readers->grow(more); };

  put_line(std::cout, "recording... (Ctrl-C zum stoppen)");
  const MonoInstant start = std::chrono::steady_clock::now();
  WriterTally tally;
  run_recording_loop(readers, session, *stop, args.duration_ms, start, system_loop_env(), tally);

  for (const auto& reader : readers.readers)
    nimbrel_reader_destroy(reader.handle);
  nimbrel_runtime_destroy(runtime);
  put_line(
      std::cout,
      done_line(session, elapsed_between(start, std::chrono::steady_clock::now()).since_start));
  for (const auto& line : tally.loss_lines())
    put_line(std::cerr, line);
  // A recording with holes is not a success, however the loop ended.
  return session.failed() == 0 && session.complete() ? exit_ok : exit_failure;
}

}  // namespace
}  // namespace nimbrel::bridge

int main(int argc, char** argv) {
  using namespace nimbrel::bridge;
  const std::vector<std::string> arguments(argv, argv + argc);
  const auto args = parse_args(arguments);
  if (!args) {
    if (args.error().kind == ParseStop::Kind::Help) {
      print_usage();
      return exit_ok;
    }
    if (args.error().kind == ParseStop::Kind::Version) {
      put_line(std::cout, nimbrel::tools::version_line("nimbrel-recorder-bridge"));
      return exit_ok;
    }
    put_line(std::cerr, "error: " + args.error().message);
    print_usage();
    return exit_usage;
  }
  return run(*args, arguments);
}
