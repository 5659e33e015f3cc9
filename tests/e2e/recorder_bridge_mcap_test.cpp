// The real nimbrel-recorder-bridge recording ddsperf streams to MCAP, read back by @mcap/core: a
// channel per writer with its metadata, every sample whole with the writer's sequence number and
// source time; and a recorder killed mid-run leaves every closed chunk readable.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/bridge_recording.hpp"
#include "recorder/mcap_read_back.hpp"

namespace nimbrel::testing {
namespace {

using recorder::testing::mcap_read_back;

struct Message {
  std::uint64_t sequence = 0;
  std::uint64_t log_time = 0;
  std::uint64_t publish_time = 0;
  std::string data;  // hex
};

// What check.mjs printed: the channels' lines by id, and the messages by channel.
struct ReadBack {
  std::map<int, std::string> channels;
  std::map<int, std::vector<Message>> messages;
  std::string streamed;  // its "streamed N done=B" line
};

ReadBack parse(const std::vector<std::string>& lines) {
  ReadBack out;
  for (const auto& line : lines) {
    std::istringstream in(line);
    std::string what;
    int channel = 0;
    in >> what;
    if (what == "channel" && in >> channel) {
      out.channels[channel] = line;
    } else if (what == "message" && in >> channel) {
      Message m;
      in >> m.sequence >> m.log_time >> m.publish_time >> m.data;
      out.messages[channel].push_back(m);
    } else if (what == "streamed") {
      out.streamed = line;
    }
  }
  for (auto& [channel, messages] : out.messages)
    std::ranges::sort(messages, {}, &Message::sequence);
  return out;
}

::testing::AssertionResult consecutive_sequences(const std::vector<Message>& messages) {
  for (std::size_t i = 1; i < messages.size(); ++i) {
    if (messages[i].sequence != messages[i - 1].sequence + 1)
      return ::testing::AssertionFailure()
             << "sequence " << messages[i].sequence << " after " << messages[i - 1].sequence;
  }
  return ::testing::AssertionSuccess();
}

std::string text_of_hex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

class RecorderBridgeMcapTest : public RecorderBridgeDdsperfTest {
 protected:
  void SetUp() override {
    RecorderBridgeDdsperfTest::SetUp();
    file_name_ = "ddsperf.mcap";
  }
};

TEST_F(RecorderBridgeMcapTest, TwoWritersOnOneTopicAreTwoChannelsHoldingEverySampleWhole) {
  start_running_publishers(2, "500Hz", "100");
  start_bridge({"--duration", "4s"});
  ASSERT_EQ(bridge_->wait_exit(generous), std::optional<int>(0));
  static const std::regex done_line(R"(recorder-bridge done: samples=([0-9]+) dropped=0 )");
  std::smatch done;
  const std::string out = bridge_->output();
  ASSERT_TRUE(std::regex_search(out, done, done_line)) << out;

  const auto lines = mcap_read_back(file().string());
  EXPECT_EQ(std::ranges::count(lines, "data_crc ok"), 1);
  const auto read = parse(lines);
  std::set<std::string> writers;
  std::size_t total = 0;
  for (const auto& [id, line] : read.channels) {
    if (line.find(" nimbrel/events json schema=1") != std::string::npos) continue;
    SCOPED_TRACE(line);
    for (const char* part :
         {" DDSPerfRDataKS cdr schema=2 dds.type_name=KeyedSeq ", " dds.keyed=true ",
          " dds.vendor_id=01.10 ", " dds.reliability=reliable ", " dds.durability=volatile ",
          " dds.partitions=[] ", " dds.type_identifier=f2", " dds.type_error="}) {
      EXPECT_NE(line.find(part), std::string::npos) << part;
    }
    const auto guid = line.find("dds.writer_guid=");
    ASSERT_NE(guid, std::string::npos);
    writers.insert(line.substr(guid, 16 + 33));
    const auto& messages = read.messages.at(id);
    EXPECT_GE(messages.size(), 1000u);
    EXPECT_TRUE(consecutive_sequences(messages));
    for (const auto& m : messages) {
      // CDR little-endian, and the writer's own time, a little before the reception.
      ASSERT_EQ(m.data.substr(0, 8), "00010000");
      ASSERT_NE(m.publish_time, m.log_time);
      ASSERT_LT(m.log_time - m.publish_time, 1'000'000'000u);
    }
    total += messages.size();
  }
  EXPECT_EQ(writers.size(), 2u);
  EXPECT_EQ(total, std::stoull(done[1].str()));
  EXPECT_FALSE(read.messages.contains(1)) << "a loss or lifecycle event in a lossless run";
}

// Killed while ddsperf publishes 16 KiB samples at full rate: the file holds at most one partial
// chunk at its end; every chunk before it reads back with its CRC, sequence numbers unbroken;
// verify calls the file damaged and recover rewrites every message of it with a summary.
TEST_F(RecorderBridgeMcapTest, AKilledRecorderLeavesEveryClosedChunkReadable) {
  start_running_publishers(1, "", "16384");
  start_bridge({"--compression", "lz4"});
  ASSERT_TRUE(bridge_->wait_for_output(recording_line, generous));
  std::this_thread::sleep_for(std::chrono::seconds(3));
  bridge_->signal(SIGKILL);
  bridge_->wait_exit(generous);

  const std::string check = std::string(NIMBREL_MCAP_CHECK) + "/check.mjs";
  auto reader = PeerProcess::spawn({"node", check, "--stream", file().string()});
  ASSERT_TRUE(reader);
  ASSERT_EQ(reader->wait_exit(generous), std::optional<int>(0)) << reader->output();
  std::vector<std::string> lines;
  std::istringstream in(reader->output());
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  const auto read = parse(lines);
  ASSERT_EQ(read.messages.size(), 1u) << read.streamed;
  const auto& messages = read.messages.begin()->second;
  std::printf("%s, %zu messages from %llu\n", read.streamed.c_str(), messages.size(),
              static_cast<unsigned long long>(messages.front().sequence));
  EXPECT_GE(messages.size(), 1000u);
  EXPECT_TRUE(consecutive_sequences(messages));

  const auto run_rec = [](const std::vector<std::string>& args) {
    auto rec = PeerProcess::spawn(args);
    EXPECT_TRUE(rec);
    return rec ? rec->wait_exit(generous) : std::nullopt;
  };
  EXPECT_EQ(run_rec({NIMBREL_REC_BINARY, "verify", file().string()}), std::optional<int>(1));
  const std::string recovered = (dir_ / "recovered.mcap").string();
  EXPECT_EQ(run_rec({NIMBREL_REC_BINARY, "recover", file().string(), "--out", recovered}),
            std::optional<int>(1));
  std::filesystem::remove(file());
  EXPECT_EQ(run_rec({NIMBREL_REC_BINARY, "verify", recovered}), std::optional<int>(0));
  auto whole = PeerProcess::spawn({"node", check, "--stream", recovered});
  ASSERT_TRUE(whole);
  ASSERT_EQ(whole->wait_exit(generous), std::optional<int>(0));
  EXPECT_NE(whole->output().find("streamed " + std::to_string(messages.size()) + " done=true"),
            std::string::npos);
}

// With 5 % of the datagrams dropped (the lossy run of this test), a best-effort writer's holes are
// each said on the events channel: their counts add up to exactly the numbers missing.
TEST_F(RecorderBridgeMcapTest, EveryBestEffortHoleIsALossEventUnderLoss) {
  start_running_publishers(1, "1000Hz", "100", {"-u"});
  start_bridge({"--duration", "4s"}, "DDSPerfUDataKS:KeyedSeq");
  ASSERT_EQ(bridge_->wait_exit(generous), std::optional<int>(0));
  const auto read = parse(mcap_read_back(file().string()));
  ASSERT_TRUE(read.messages.contains(2));
  const auto& messages = read.messages.at(2);
  ASSERT_GE(messages.size(), 1000u);
  const std::uint64_t missing =
      messages.back().sequence - messages.front().sequence + 1 - messages.size();
  std::uint64_t said = 0;
  static const std::regex lost(R"(^\{"event":"lost",.*"count":([0-9]+),"reason":"network"\}$)");
  if (read.messages.contains(1)) {
    for (const auto& m : read.messages.at(1)) {
      const std::string event = text_of_hex(m.data);
      std::smatch match;
      ASSERT_TRUE(std::regex_match(event, match, lost)) << event;
      said += std::stoull(match[1].str());
    }
  }
  std::printf("%zu recorded, %llu missing, %llu said lost\n", messages.size(),
              static_cast<unsigned long long>(missing), static_cast<unsigned long long>(said));
  EXPECT_EQ(said, missing);
}

// Fast DDS disposes and unregisters instances after its data: each change is an event.
TEST_F(RecorderBridgeMcapTest, LifecycleChangesAreEventsBesideTheData) {
#ifndef NIMBREL_FASTDDS_LIFECYCLE_PUBLISHER
  GTEST_SKIP() << "Fast DDS peer not built";
#else
  start_bridge({}, "KeyedCounter:KeyedCounter");
  ASSERT_TRUE(bridge_->wait_for_output(recording_line, generous));
  publishers_.push_back(
      PeerProcess::spawn({NIMBREL_FASTDDS_LIFECYCLE_PUBLISHER, "lifecycle", "20", "30"}));
  ASSERT_TRUE(publishers_.back());
  EXPECT_EQ(publishers_.back()->wait_exit(generous), std::optional<int>(0));
  bridge_->signal(SIGINT);
  ASSERT_EQ(bridge_->wait_exit(generous), std::optional<int>(0));

  const auto read = parse(mcap_read_back(file().string()));
  ASSERT_EQ(read.channels.size(), 2u);
  ASSERT_TRUE(read.messages.contains(2));
  EXPECT_EQ(read.messages.at(2).size(), 20u);
  ASSERT_TRUE(read.messages.contains(1));
  std::vector<std::string> events;
  for (const auto& m : read.messages.at(1))
    events.push_back(text_of_hex(m.data));
  std::ranges::sort(events);
  ASSERT_EQ(events.size(), 3u);
  const std::string writer =
      read.channels.at(2).substr(read.channels.at(2).find("dds.writer_guid=") + 16, 33);
  const auto event = [&](const char* kind, int sequence, int key) {
    return std::string(R"({"event":")") + kind +
           R"(","topic":"KeyedCounter","type":"KeyedCounter","writer":")" + writer +
           R"(","sequence":)" + std::to_string(sequence) + R"(,"key_hash":"0000000)" +
           std::to_string(key) + R"(000000000000000000000000"})";
  };
  EXPECT_EQ(events,
            (std::vector<std::string>{event("dispose", 21, 3), event("dispose_unregister", 23, 5),
                                      event("unregister", 22, 4)}));
#endif
}

}  // namespace
}  // namespace nimbrel::testing
