// The real nimbrel-recorder-bridge records what Eclipse Cyclone DDS `ddsperf pub` processes
// publish on DDSPerfRDataKS. Each KeyedSeq sample starts with its sequence number (u32
// little-endian), so the recording itself shows whether every sample arrived once and in order.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "e2e/peer_process.hpp"
#include "e2e/spdp_watch.hpp"
#include "recorder/reader.hpp"

namespace nimbrel::testing {
namespace {

using namespace std::chrono_literals;

constexpr auto generous = 60s;
const std::string recording_line = "recording... (Ctrl-C zum stoppen)\n";

std::uint32_t u32_at(std::span<const std::byte> bytes, std::size_t offset) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i)
    value |= std::to_integer<std::uint32_t>(bytes[offset + i]) << (8 * i);
  return value;
}

// True when `seqs` is first, first + 1, ..., each once, in this order.
::testing::AssertionResult consecutive(const std::vector<std::uint32_t>& seqs) {
  for (std::size_t i = 1; i < seqs.size(); ++i) {
    if (seqs[i] != seqs[i - 1] + 1) {
      return ::testing::AssertionFailure()
             << "sample " << i << " has sequence number " << seqs[i] << " after " << seqs[i - 1];
    }
  }
  return ::testing::AssertionSuccess();
}

class RecorderBridgeDdsperfTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "bridge-e2e-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    if (HasFailure()) {
      if (bridge_) std::printf("recorder output:\n%s\n", bridge_->output().c_str());
      for (const auto& peer : publishers_)
        std::printf("ddsperf output:\n%s\n", peer->output().c_str());
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // ddsperf's own time limit only ends a peer that a crashed test left behind.
  void start_publishers(std::size_t count, const std::string& rate, const std::string& size) {
    for (std::size_t i = 0; i < count; ++i) {
      std::vector<std::string> args{"ddsperf", "-D", "180", "pub"};
      if (!rate.empty()) args.push_back(rate);
      args.insert(args.end(), {"size", size});
      publishers_.push_back(PeerProcess::spawn(args));
      ASSERT_TRUE(publishers_.back()) << "cannot start ddsperf (Debian package cyclonedds-tools)";
    }
  }
  // Returns once each publisher has announced itself: they are up and writing.
  void start_running_publishers(std::size_t count, const std::string& rate,
                                const std::string& size) {
    SpdpWatch watch;
    start_publishers(count, rate, size);
    ASSERT_TRUE(watch.wait_for(count, generous)) << "ddsperf did not announce itself";
  }

  void start_bridge(std::vector<std::string> extra = {}) {
    std::vector<std::string> args{NIMBREL_BRIDGE_BINARY, "--out", file().string(), "--topic",
                                  "DDSPerfRDataKS:KeyedSeq"};
    args.insert(args.end(), extra.begin(), extra.end());
    bridge_ = PeerProcess::spawn(args);
    ASSERT_TRUE(bridge_);
  }

  // Waits for the recorder's exit, then checks its last line against the file: it parses to its
  // end, holds as many frames as the line says and as many bytes, and each payload is a KeyedSeq
  // sample of `size` bytes. Gives the sequence numbers in file order.
  std::vector<std::uint32_t> finished_recording(std::size_t size) {
    const auto status = bridge_->wait_exit(generous);
    EXPECT_EQ(status, std::optional<int>(0));
    const std::string out = bridge_->output();
    static const std::regex done_line(
        R"(recorder-bridge done: samples=([0-9]+) dropped=0 bytes=([0-9]+) elapsed=[0-9]+\.[0-9]s\n$)");
    std::smatch done;
    EXPECT_TRUE(std::regex_search(out, done, done_line)) << out;
    EXPECT_EQ(out.find("error"), std::string::npos) << out;

    auto opened = recorder::RecordingFile::open(file().string());
    if (!opened) {
      ADD_FAILURE() << recorder::to_string(opened.error());
      return {};
    }
    const auto& recording = opened->recording();
    EXPECT_EQ(recording.end.reason, recorder::DataEnd::Reason::Clean)
        << recorder::to_string(recording.end);
    if (done.size() == 3) {
      EXPECT_EQ(std::stoull(done[1].str()), recording.frames.size());
      EXPECT_EQ(std::stoull(done[2].str()), std::filesystem::file_size(file()));
    }
    std::vector<std::uint32_t> seqs;
    for (const auto& frame : recording.frames) {
      EXPECT_EQ(frame.payload.size(), size);
      if (frame.payload.size() < 12) return {};
      // keyval 0, then the octet sequence that fills the sample.
      EXPECT_EQ(u32_at(frame.payload, 4), 0u);
      EXPECT_EQ(u32_at(frame.payload, 8), size - 12);
      seqs.push_back(u32_at(frame.payload, 0));
    }
    return seqs;
  }

  std::filesystem::path file() const { return dir_ / "ddsperf.nbrlrec"; }

  std::filesystem::path dir_;
  std::vector<std::unique_ptr<PeerProcess>> publishers_;
  std::unique_ptr<PeerProcess> bridge_;
};

TEST_F(RecorderBridgeDdsperfTest, RecordsEverySampleOfARunningPublisherInOrder) {
  start_running_publishers(1, "1000Hz", "100");
  start_bridge({"--duration", "5s"});
  const auto seqs = finished_recording(100);
  std::printf("recorded %zu samples, %u to %u\n", seqs.size(), seqs.empty() ? 0 : seqs.front(),
              seqs.empty() ? 0 : seqs.back());
  // Five seconds of a 1000 Hz stream; a fifth of it proves the stream was followed.
  EXPECT_GE(seqs.size(), 1000u);
  EXPECT_TRUE(consecutive(seqs));
}

// 100 KiB samples travel as DATA_FRAGs of 1,344 bytes and are reassembled.
TEST_F(RecorderBridgeDdsperfTest, ReassemblesLargeSamples) {
  constexpr std::size_t size = 102400;
  start_running_publishers(1, "50Hz", std::to_string(size));
  start_bridge({"--duration", "5s"});
  const auto seqs = finished_recording(size);
  std::printf("recorded %zu samples of %zu bytes, %u to %u\n", seqs.size(), size,
              seqs.empty() ? 0 : seqs.front(), seqs.empty() ? 0 : seqs.back());
  EXPECT_GE(seqs.size(), 50u);
  EXPECT_TRUE(consecutive(seqs));
  const auto opened = recorder::RecordingFile::open(file().string());
  ASSERT_TRUE(opened);
  for (const auto& frame : opened->recording().frames) {
    const auto filler = frame.payload.subspan(12);
    ASSERT_TRUE(std::all_of(filler.begin(), filler.end(),
                            [](std::byte b) { return b == std::byte{0xee}; }));
  }
}

// Both publishers count from 1 and share the writer's entity id, so only their GUID prefixes tell
// them apart. The file has no writer field: each stream must be a consecutive run, so every number
// both runs cover is there twice and the others once.
TEST_F(RecorderBridgeDdsperfTest, RecordsTwoPublishersCompletely) {
  start_running_publishers(2, "1000Hz", "100");
  start_bridge({"--duration", "5s"});
  const auto seqs = finished_recording(100);
  ASSERT_FALSE(seqs.empty());

  std::map<std::uint32_t, int> count;
  for (auto sn : seqs)
    ++count[sn];
  const std::uint32_t lowest = count.begin()->first;
  const std::uint32_t highest = count.rbegin()->first;
  std::uint32_t both_from = 0;
  std::uint32_t both_to = 0;
  for (auto sn = lowest; sn <= highest; ++sn) {
    const int n = count.contains(sn) ? count[sn] : 0;
    ASSERT_TRUE(n == 1 || n == 2) << sn << " recorded " << n << " times";
    if (n == 2) {
      if (both_from == 0) both_from = sn;
      ASSERT_TRUE(both_to == 0 || both_to == sn - 1) << "twice-recorded numbers break at " << sn;
      both_to = sn;
    }
  }
  std::printf("recorded %zu samples: %u to %u, twice from %u to %u\n", seqs.size(), lowest, highest,
              both_from, both_to);
  ASSERT_NE(both_from, 0u);
  EXPECT_GE(both_to - both_from + 1, 1000u);

  // In file order the samples split into two runs that each go up by one.
  std::vector<std::uint32_t> last;
  for (auto sn : seqs) {
    auto run = std::find_if(last.begin(), last.end(), [&](auto l) { return l + 1 == sn; });
    if (run != last.end()) {
      *run = sn;
    } else {
      ASSERT_LT(last.size(), 2u) << "a third run starts at " << sn;
      last.push_back(sn);
    }
  }
}

struct LateStart {
  const char* label;
  std::string wait_for;  // recorder output after which the publisher starts
};

class PublisherStartsLater : public RecorderBridgeDdsperfTest,
                             public ::testing::WithParamInterface<LateStart> {};

// Matching happens when the publication arrives, not when the reader is created.
TEST_P(PublisherStartsLater, RecordsItsStreamFromWhereTheRecorderMetIt) {
  start_bridge({"--duration", "10s"});
  ASSERT_TRUE(bridge_->wait_for_output(GetParam().wait_for, generous));
  start_publishers(1, "1000Hz", "100");
  const auto seqs = finished_recording(100);
  std::printf("recorded %zu samples, %u to %u\n", seqs.size(), seqs.empty() ? 0 : seqs.front(),
              seqs.empty() ? 0 : seqs.back());
  EXPECT_GE(seqs.size(), 1000u);
  EXPECT_TRUE(consecutive(seqs));
}

INSTANTIATE_TEST_SUITE_P(Cases, PublisherStartsLater,
                         ::testing::Values(LateStart{"WhileTheRecorderWaitsForPeers", "domain="},
                                           LateStart{"AfterTheReaderExists", recording_line}),
                         [](const auto& test) { return std::string(test.param.label); });

TEST_F(RecorderBridgeDdsperfTest, SigintDuringAFullRateRecordingDrains) {
  start_running_publishers(1, "", "100");
  start_bridge();
  ASSERT_TRUE(bridge_->wait_for_output(recording_line, generous));
  // Well into the stream: ten megabytes recorded, most of a second at full rate.
  const auto deadline = std::chrono::steady_clock::now() + generous;
  const auto recorded = [&] {
    std::error_code missing;
    const auto size = std::filesystem::file_size(file(), missing);
    return !missing && size >= 10'000'000;
  };
  while (!recorded() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(20ms);
  bridge_->signal(SIGINT);
  const auto seqs = finished_recording(100);
  std::printf("recorded %zu samples at full rate, %u to %u\n", seqs.size(),
              seqs.empty() ? 0 : seqs.front(), seqs.empty() ? 0 : seqs.back());
  EXPECT_NE(bridge_->output().find("recorder-bridge: SIGINT received, draining...\n"
                                   "recorder-bridge done: "),
            std::string::npos);
  EXPECT_GE(seqs.size(), 80'000u);  // ten megabytes of 122-byte frames
  EXPECT_TRUE(consecutive(seqs));
}

}  // namespace
}  // namespace nimbrel::testing
