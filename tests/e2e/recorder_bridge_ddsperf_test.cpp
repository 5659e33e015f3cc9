// The real nimbrel-recorder-bridge records what Eclipse Cyclone DDS `ddsperf pub` processes
// publish on DDSPerfRDataKS.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "e2e/bridge_recording.hpp"
#include "recorder/reader.hpp"

namespace nimbrel::testing {
namespace {

using namespace std::chrono_literals;

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

// A recorder that stops says goodbye, so the reliable keep-all publisher lets go of its reader at
// once: a second recorder started right after gets the full stream. Without the goodbye the
// publisher blocked on the vanished reader and the second recorder got about a sixth of it.
TEST_F(RecorderBridgeDdsperfTest, StoppingLeavesThePublisherAtFullRate) {
  start_running_publishers(1, "1000Hz", "100");
  start_bridge({"--duration", "5s"});
  EXPECT_TRUE(consecutive(finished_recording(100)));
  start_bridge({"--duration", "10s"});
  const auto seqs = finished_recording(100);
  std::printf("second recorder: %zu samples, %u to %u\n", seqs.size(),
              seqs.empty() ? 0 : seqs.front(), seqs.empty() ? 0 : seqs.back());
  EXPECT_TRUE(consecutive(seqs));
  // About 10,000 at full rate; a stalled publisher gave 1,750.
  EXPECT_GE(seqs.size(), 5000u);
}

}  // namespace
}  // namespace nimbrel::testing
