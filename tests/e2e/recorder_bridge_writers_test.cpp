// The real nimbrel-recorder-bridge records every writer of its topic, whatever its keyedness and
// reliability: keyless and best-effort Cyclone `ddsperf` writers, a reliable and a best-effort
// writer of one topic at once, and a keyless Fast DDS writer of our own.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "e2e/bridge_recording.hpp"

namespace nimbrel::testing {
namespace {

// Every number once and in order, at least `percent` of those between the first and the last.
::testing::AssertionResult mostly_complete(const std::vector<std::uint32_t>& seqs,
                                           unsigned percent) {
  if (seqs.empty()) return ::testing::AssertionFailure() << "nothing recorded";
  for (std::size_t i = 1; i < seqs.size(); ++i) {
    if (seqs[i] <= seqs[i - 1]) {
      return ::testing::AssertionFailure()
             << "sample " << i << " has sequence number " << seqs[i] << " after " << seqs[i - 1];
    }
  }
  const std::uint64_t span = seqs.back() - seqs.front() + 1;
  if (seqs.size() * 100 < span * percent) {
    return ::testing::AssertionFailure()
           << seqs.size() << " of " << span << " samples from " << seqs.front() << " recorded";
  }
  return ::testing::AssertionSuccess();
}

class RecorderBridgeWritersTest : public RecorderBridgeDdsperfTest {
 protected:
  // Our Fast DDS publisher; it waits for a reader, writes, and exits 0 once all is acknowledged.
  void run_fastdds_publisher(const std::string& topic, const std::string& type, std::size_t count,
                             std::size_t size, const std::string& keyedness,
                             const std::string& reliability, std::uint32_t keyval) {
    publishers_.push_back(PeerProcess::spawn(
        {NIMBREL_FASTDDS_SEQ_PUBLISHER, topic, type, std::to_string(count), std::to_string(size),
         keyedness, reliability, std::to_string(keyval), "60"}));
    ASSERT_TRUE(publishers_.back());
    EXPECT_EQ(publishers_.back()->wait_exit(generous), std::optional<int>(0));
  }
  void stop_bridge() { bridge_->signal(SIGINT); }
};

// A keyless writer (entity kind 0x03) is only matched by a keyless reader.
TEST_F(RecorderBridgeWritersTest, RecordsAKeylessCycloneWriterInOrder) {
  start_running_publishers(1, "1000Hz", "", {"-T", "OU"});
  start_bridge({"--duration", "5s"}, "DDSPerfRDataOU:OneULong");
  const auto seqs = finished_recording(4);
  std::printf("recorded %zu samples, %u to %u\n", seqs.size(), seqs.empty() ? 0 : seqs.front(),
              seqs.empty() ? 0 : seqs.back());
  EXPECT_GE(seqs.size(), 1000u);
  EXPECT_TRUE(consecutive(seqs));
}

// A best-effort writer is only matched by a best-effort reader; nothing is repaired, and a
// lossless loopback loses next to nothing.
TEST_F(RecorderBridgeWritersTest, RecordsABestEffortCycloneWriterOnceEach) {
  start_running_publishers(1, "1000Hz", "100", {"-u"});
  start_bridge({"--duration", "5s"}, "DDSPerfUDataKS:KeyedSeq");
  const auto seqs = finished_recording(100);
  std::printf("recorded %zu samples, %u to %u\n", seqs.size(), seqs.empty() ? 0 : seqs.front(),
              seqs.empty() ? 0 : seqs.back());
  EXPECT_GE(seqs.size(), 1000u);
  EXPECT_TRUE(mostly_complete(seqs, 99));
}

struct BesideCase {
  const char* label;
  const char* keyedness;
  const char* reliability;
};

class BesideReliableDdsperf : public RecorderBridgeWritersTest,
                              public ::testing::WithParamInterface<BesideCase> {};

// A second writer of the topic that needs an endpoint of its own, beside a reliable keyed ddsperf.
// ddsperf's -u also renames the topic, so that writer is ours, told apart by its key value.
TEST_P(BesideReliableDdsperf, NeitherStreamIsDuplicatedAndTheReliableOneIsComplete) {
  constexpr std::uint32_t our_key = 7;
  start_running_publishers(1, "1000Hz", "100");
  start_bridge();
  ASSERT_TRUE(bridge_->wait_for_output(recording_line, generous));
  run_fastdds_publisher("DDSPerfRDataKS", "KeyedSeq", 2000, 100, GetParam().keyedness,
                        GetParam().reliability, our_key);
  stop_bridge();
  auto streams = finished_streams(100);
  EXPECT_EQ(streams.size(), 2u);
  const auto& ddsperf = streams[0];
  const auto& ours = streams[our_key];
  std::printf("recorded %zu from ddsperf and %zu of ours\n", ddsperf.size(), ours.size());
  EXPECT_GE(ddsperf.size(), 1000u);
  EXPECT_TRUE(consecutive(ddsperf));
  EXPECT_TRUE(mostly_complete(ours, 99));
  // Our reliable writer exits 0 only once every sample is acknowledged.
  if (std::string(GetParam().reliability) == "reliable") {
    EXPECT_EQ(ours.size(), 2000u);
  }
}

INSTANTIATE_TEST_SUITE_P(Writers, BesideReliableDdsperf,
                         ::testing::Values(BesideCase{"BestEffort", "keyed", "best-effort"},
                                           BesideCase{"KeylessReliable", "keyless", "reliable"}),
                         [](const auto& test) { return std::string(test.param.label); });

struct KeylessCase {
  const char* label;
  std::size_t size;
  std::size_t count;
};

class KeylessFastDds : public RecorderBridgeWritersTest,
                       public ::testing::WithParamInterface<KeylessCase> {};

// The reader exists before the writer is known, so it is first announced keyed and then follows
// the keyless writer; 200 KB samples come in fragments.
TEST_P(KeylessFastDds, RecordsEverySample) {
  start_bridge({}, "KeylessSeq:KeylessSeq");
  ASSERT_TRUE(bridge_->wait_for_output("domain=", generous));
  run_fastdds_publisher("KeylessSeq", "KeylessSeq", GetParam().count, GetParam().size, "keyless",
                        "reliable", 0);
  stop_bridge();
  const auto seqs = finished_recording(GetParam().size);
  ASSERT_EQ(seqs.size(), GetParam().count);
  EXPECT_EQ(seqs.front(), 1u);
  EXPECT_TRUE(consecutive(seqs));
}

INSTANTIATE_TEST_SUITE_P(Sizes, KeylessFastDds,
                         ::testing::Values(KeylessCase{"Small", 100, 2000},
                                           KeylessCase{"Fragmented", 200 * 1024, 50}),
                         [](const auto& test) { return std::string(test.param.label); });

}  // namespace
}  // namespace nimbrel::testing
