// The real nimbrel-recorder-bridge told to record everything (--all) to MCAP, next to ddsperf,
// Fast DDS and Cyclone writers: every topic of every vendor and kind is in the file with each
// writer's sequence numbers unbroken, a topic that appears later from its first sample, 200 topics
// of 20 participants whole, partitioned and transient-local writers whole, excluded topics never.
// The latencies and the recorder's cost are printed, not asserted.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <numeric>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/bridge_recording.hpp"
#include "recorder/mcap_reader.hpp"

namespace nimbrel::testing {
namespace {

// One writer's channel: its messages in file order.
struct Stream {
  std::string writer;
  std::vector<std::uint32_t> sequences;
  std::vector<std::uint32_t> counters;  // a bulk::Counter sample's seq, 0 for other samples
  std::uint64_t first_log_time = 0;
};

std::string metadata_value(const recorder::McapChannel& channel, const std::string& key) {
  for (const auto& [name, value] : channel.metadata)
    if (name == key) return value;
  return {};
}

// The writers' streams of the file by topic, read with the project's own reader.
std::map<std::string, std::vector<Stream>> read_streams(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> chars{std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>()};
  auto reader = recorder::McapReader::open(std::as_bytes(std::span(chars)));
  if (!reader) {
    ADD_FAILURE() << path << " is no MCAP file";
    return {};
  }
  std::map<std::uint16_t, Stream> by_channel;
  while (const auto message = reader->next()) {
    auto& stream = by_channel[message->channel];
    if (stream.sequences.empty()) stream.first_log_time = message->log_time;
    stream.sequences.push_back(message->sequence);
    // Encapsulation, then the id and seq of a bulk::Counter.
    stream.counters.push_back(message->data.size() == 12 ? u32_at(message->data, 8) : 0);
  }
  EXPECT_EQ(reader->end().reason, recorder::McapEnd::Reason::Clean)
      << recorder::to_string(reader->end());
  std::map<std::string, std::vector<Stream>> out;
  for (auto& [id, stream] : by_channel) {
    const auto* channel = reader->channel(id);
    if (channel == nullptr || channel->topic == "nimbrel/events") continue;
    stream.writer = metadata_value(*channel, "dds.writer_guid");
    out[channel->topic].push_back(std::move(stream));
  }
  return out;
}

std::vector<std::uint32_t> one_to(std::uint32_t count) {
  std::vector<std::uint32_t> out(count);
  std::iota(out.begin(), out.end(), 1u);
  return out;
}

// The "writer TOPIC created at UNIX_NS" lines of a cyclone_many_topics peer.
std::map<std::string, std::uint64_t> created_at(const PeerProcess& peer) {
  static const std::regex line(R"(writer (\S+) created at ([0-9]+))");
  std::map<std::string, std::uint64_t> out;
  const std::string text = peer.output();
  for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it)
    out[(*it)[1].str()] = std::stoull((*it)[2].str());
  return out;
}

double milliseconds(std::int64_t ns) {
  return static_cast<double>(ns) / 1e6;
}

// CPU time and peak resident memory of a running process, from /proc.
struct Usage {
  double cpu_seconds = 0;
  double peak_mib = 0;
};

Usage usage_of(pid_t pid) {
  Usage out;
  const std::string proc = "/proc/" + std::to_string(pid);
  std::ifstream stat_file(proc + "/stat");
  const std::string stat{std::istreambuf_iterator<char>(stat_file),
                         std::istreambuf_iterator<char>()};
  // utime and stime are the 12th and 13th fields after the ")" that closes the command name.
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::vector<std::string> field{std::istream_iterator<std::string>(fields), {}};
  if (field.size() > 12) {
    out.cpu_seconds = static_cast<double>(std::stoull(field[11]) + std::stoull(field[12])) /
                      static_cast<double>(::sysconf(_SC_CLK_TCK));
  }
  std::ifstream status(proc + "/status");
  for (std::string row; std::getline(status, row);)
    if (row.starts_with("VmHWM:")) out.peak_mib = std::stod(row.substr(6)) / 1024;
  return out;
}

class RecordAllTest : public RecorderBridgeDdsperfTest {
 protected:
  void SetUp() override {
    RecorderBridgeDdsperfTest::SetUp();
    file_name_ = "all.mcap";
  }

  void start_recorder(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{NIMBREL_BRIDGE_BINARY, "--out", file().string(), "--all"};
    args.insert(args.end(), extra.begin(), extra.end());
    bridge_ = PeerProcess::spawn(args);
    ASSERT_TRUE(bridge_);
    ASSERT_TRUE(bridge_->wait_for_output(recording_line, generous)) << bridge_->output();
  }
  void stop_recorder() {
    bridge_->signal(SIGINT);
    ASSERT_EQ(bridge_->wait_exit(generous), std::optional<int>(0)) << bridge_->output();
  }

  PeerProcess& start_peer(std::vector<std::string> args) {
    publishers_.push_back(PeerProcess::spawn(args));
    if (!publishers_.back()) ADD_FAILURE() << "cannot start " << args[0];
    return *publishers_.back();
  }
  PeerProcess& start_many_topics(const std::vector<std::string>& args) {
    std::vector<std::string> all{NIMBREL_CYCLONE_MANY_TOPICS};
    all.insert(all.end(), args.begin(), args.end());
    return start_peer(all);
  }
  static void expect_exit_0(PeerProcess& peer, std::chrono::seconds limit = generous) {
    EXPECT_EQ(peer.wait_exit(limit), std::optional<int>(0)) << peer.output();
  }
};

// The one writer of `topic` wrote bulk::Counter samples 1..count, all of them recorded.
::testing::AssertionResult whole_counter_stream(
    const std::map<std::string, std::vector<Stream>>& streams, const std::string& topic,
    std::uint32_t count) {
  const auto found = streams.find(topic);
  if (found == streams.end()) return ::testing::AssertionFailure() << topic << " not recorded";
  if (found->second.size() != 1)
    return ::testing::AssertionFailure() << topic << " has " << found->second.size() << " writers";
  const auto& stream = found->second.front();
  if (stream.sequences != one_to(count) || stream.counters != one_to(count)) {
    return ::testing::AssertionFailure()
           << topic << ": " << stream.sequences.size() << " samples, sequences "
           << ::testing::PrintToString(stream.sequences) << ", counters "
           << ::testing::PrintToString(stream.counters);
  }
  return ::testing::AssertionSuccess();
}

TEST_F(RecordAllTest, EveryVendorsTopicsAreRecordedAndALateTopicFromItsFirstSample) {
#ifndef NIMBREL_FASTDDS_SEQ_PUBLISHER
  GTEST_SKIP() << "Fast DDS peer not built";
#else
  start_publishers(1, "100Hz", "");
  start_publishers(1, "100Hz", "", {"-T", "OU", "-u"});
  auto& fastdds = start_peer({NIMBREL_FASTDDS_SEQ_PUBLISHER, "FastKeyless", "Seq", "1000", "16",
                              "keyless", "reliable", "0", "60"});
  ASSERT_NO_FATAL_FAILURE(start_recorder());
  std::this_thread::sleep_for(std::chrono::seconds(3));
  auto& late = start_many_topics({"1", "1", "20", "10", "--prefix", "late", "--wait-match"});
  expect_exit_0(fastdds);
  expect_exit_0(late);
  ASSERT_NO_FATAL_FAILURE(stop_recorder());

  const auto streams = read_streams(file());
  for (const char* topic : {"DDSPerfRDataKS", "DDSPerfUDataOU"}) {
    SCOPED_TRACE(topic);
    ASSERT_TRUE(streams.contains(topic));
    ASSERT_EQ(streams.at(topic).size(), 1u);
    const auto& sequences = streams.at(topic).front().sequences;
    EXPECT_GE(sequences.size(), 100u);
    EXPECT_TRUE(consecutive(sequences));
  }
  ASSERT_TRUE(streams.contains("FastKeyless"));
  ASSERT_EQ(streams.at("FastKeyless").size(), 1u);
  EXPECT_EQ(streams.at("FastKeyless").front().sequences, one_to(1000));
  ASSERT_TRUE(whole_counter_stream(streams, "late0_0", 20));
  const auto created = created_at(late);
  ASSERT_TRUE(created.contains("late0_0"));
  const auto delay = static_cast<std::int64_t>(streams.at("late0_0").front().first_log_time -
                                               created.at("late0_0"));
  std::printf("late topic: writer created to first sample logged %.1f ms\n", milliseconds(delay));
  EXPECT_LT(delay, 2'000'000'000);
#endif
}

// --exclude leaves ddsperf out; a writer in a partition and a transient-local writer whose samples
// were all written before the recorder started are recorded whole.
TEST_F(RecordAllTest, ExcludedTopicsStayOutWhilePartitionedAndTransientLocalWritersAreWhole) {
  auto& durable =
      start_many_topics({"1", "1", "30", "10", "--prefix", "durable", "--transient-local"});
  ASSERT_TRUE(durable.wait_for_output("published 30\n", generous)) << durable.output();
  start_publishers(1, "100Hz", "");
  ASSERT_NO_FATAL_FAILURE(start_recorder({"--exclude", "DDSPerf*"}));
  auto& partitioned = start_many_topics(
      {"1", "1", "20", "50", "--prefix", "sensors", "--partition", "sensors", "--wait-match"});
  expect_exit_0(partitioned);
  expect_exit_0(durable);
  ASSERT_NO_FATAL_FAILURE(stop_recorder());

  const auto streams = read_streams(file());
  std::set<std::string> topics;
  for (const auto& [topic, writers] : streams)
    topics.insert(topic);
  EXPECT_EQ(topics, (std::set<std::string>{"durable0_0", "sensors0_0"}));
  EXPECT_TRUE(whole_counter_stream(streams, "durable0_0", 30));
  EXPECT_TRUE(whole_counter_stream(streams, "sensors0_0", 20));
}

TEST_F(RecordAllTest, TwoHundredTopicsOfTwentyParticipantsAreRecordedWhole) {
  constexpr std::uint32_t participants = 20, topics = 10, count = 50;
  ASSERT_NO_FATAL_FAILURE(start_recorder());
  auto& peer = start_many_topics({std::to_string(participants), std::to_string(topics),
                                  std::to_string(count), "10", "--wait-match", "--seconds", "120"});
  expect_exit_0(peer, std::chrono::seconds(180));
  const Usage usage = usage_of(bridge_->pid());
  ASSERT_NO_FATAL_FAILURE(stop_recorder());

  const auto streams = read_streams(file());
  const auto created = created_at(peer);
  EXPECT_EQ(created.size(), participants * topics);
  std::vector<std::int64_t> delays;
  for (const auto& [topic, at] : created) {
    EXPECT_TRUE(whole_counter_stream(streams, topic, count));
    if (streams.contains(topic))
      delays.push_back(static_cast<std::int64_t>(streams.at(topic).front().first_log_time - at));
  }
  ASSERT_FALSE(delays.empty());
  std::ranges::sort(delays);
  const double n = participants * topics;
  std::printf(
      "%u topics: writer created to first sample logged median %.1f ms, max %.1f ms (the peer "
      "writes once all its writers have matched)\nrecorder: %.2f s CPU (%.2f ms a topic), peak "
      "RSS %.1f MiB (%.1f KiB a topic)\n",
      participants * topics, milliseconds(delays[delays.size() / 2]), milliseconds(delays.back()),
      usage.cpu_seconds, usage.cpu_seconds * 1000 / n, usage.peak_mib, usage.peak_mib * 1024 / n);
}

}  // namespace
}  // namespace nimbrel::testing
