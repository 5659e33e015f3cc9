// The real nimbrel-replay plays recordings of Eclipse Cyclone DDS `ddsperf pub` back: into
// `ddsperf sub`, which checks every sequence number it receives, and into the real recorder,
// whose second recording must hold the first one's payloads frame for frame.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "common/run_tool.hpp"
#include "e2e/bridge_recording.hpp"

namespace nimbrel::testing {
namespace {

class ReplayTest : public RecorderBridgeDdsperfTest {
 protected:
  void TearDown() override {
    if (HasFailure()) {
      for (const auto* peer : {replay_.get(), sink_.get()}) {
        if (peer != nullptr) std::printf("peer output:\n%s\n", peer->output().c_str());
      }
    }
    RecorderBridgeDdsperfTest::TearDown();
  }

  // Five seconds of `ddsperf pub` at `rate`, recorded; the publisher is gone afterwards.
  std::vector<std::uint32_t> record_publisher(const std::string& rate, std::size_t size) {
    start_running_publishers(1, rate, std::to_string(size));
    start_bridge({"--duration", "5s"});
    auto seqs = finished_recording(size);
    publishers_.clear();
    return seqs;
  }

  void start_replay(const std::string& rate, const std::string& in = {}) {
    replay_ = PeerProcess::spawn({NIMBREL_REPLAY_BINARY, "--in", in.empty() ? file().string() : in,
                                  "--wait-for-readers", "1", "--rate", rate});
    ASSERT_TRUE(replay_);
  }
  // A damaged input is replayed up to its damage, and the status says so.
  void expect_replay_done(std::size_t samples, bool damaged = false) {
    EXPECT_EQ(replay_->wait_exit(std::chrono::minutes(3)), std::optional<int>(damaged ? 1 : 0));
    EXPECT_NE(replay_->output().find("replayed " + std::to_string(samples) + " samples"),
              std::string::npos);
  }

  // ddsperf sub checks the sequence numbers it receives and reports losses each second; its exit
  // status says whether it received at least `samples` by the end of its run.
  void expect_sub_received_all() {
    EXPECT_EQ(sink_->wait_exit(generous), std::optional<int>(0));
    static const std::regex line(R"(total ([0-9]+) lost ([0-9]+))");
    const std::string out = sink_->output();
    std::size_t reports = 0;
    for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it, ++reports) {
      EXPECT_EQ((*it)[2].str(), "0") << "ddsperf sub lost samples";
    }
    EXPECT_GT(reports, 0u);
  }

  // Records what the replay sends into a second file and compares it with the first.
  // With `cut`, the first file loses the end of its last frame: the replay plays the frames before
  // it and says so.
  void round_trip(std::size_t size, bool cut = false) {
    auto seqs = record_publisher("50Hz", size);
    ASSERT_GE(seqs.size(), 50u);
    if (cut) {
      std::filesystem::resize_file(file(), std::filesystem::file_size(file()) - 3);
      seqs.pop_back();
    }
    const auto second = dir_ / "again.nbrlrec";
    sink_ = PeerProcess::spawn(
        {NIMBREL_BRIDGE_BINARY, "--out", second.string(), "--topic", "DDSPerfRDataKS:KeyedSeq"});
    ASSERT_TRUE(sink_);
    start_replay("0");
    expect_replay_done(seqs.size(), cut);
    EXPECT_EQ(replay_->output().find("whole frames before it") != std::string::npos, cut);
    sink_->signal(SIGINT);
    ASSERT_EQ(sink_->wait_exit(generous), std::optional<int>(0));

    const auto first = recorder::RecordingFile::open(file().string());
    const auto again = recorder::RecordingFile::open(second.string());
    ASSERT_TRUE(first && again);
    const auto& a = first->recording().frames;
    const auto& b = again->recording().frames;
    ASSERT_EQ(b.size(), a.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
      ASSERT_TRUE(std::ranges::equal(a[i].payload, b[i].payload)) << "frame " << i;
    }
  }

  std::unique_ptr<PeerProcess> replay_;
  std::unique_ptr<PeerProcess> sink_;
};

struct DdsperfCase {
  const char* name;
  const char* rate;
  // ddsperf sub's default reader does not keep every sample: under load it can still acknowledge
  // one that its listener never sees, however small the replay's bursts. Without pauses the test
  // asks for a reader that keeps all.
  std::vector<std::string> history;
};

class ReplayIntoDdsperf : public ReplayTest, public ::testing::WithParamInterface<DdsperfCase> {};

// At the recorded rate and as fast as the reader allows: every recorded sample arrives, none is
// reported lost.
TEST_P(ReplayIntoDdsperf, DeliversEveryRecordedSample) {
  const auto seqs = record_publisher("1000Hz", 100);
  ASSERT_GE(seqs.size(), 1000u);
  // Long enough for discovery and a replay at the recorded rate.
  std::vector<std::string> sub{"ddsperf", "-D", "30", "-Qsamples:" + std::to_string(seqs.size())};
  sub.insert(sub.end(), GetParam().history.begin(), GetParam().history.end());
  sub.push_back("sub");
  sink_ = PeerProcess::spawn(sub);
  ASSERT_TRUE(sink_);
  start_replay(GetParam().rate);
  expect_replay_done(seqs.size());
  expect_sub_received_all();
}

INSTANTIATE_TEST_SUITE_P(Rates, ReplayIntoDdsperf,
                         ::testing::Values(DdsperfCase{"RecordedTiming", "1", {}},
                                           DdsperfCase{"NoPauses", "0", {"-k", "all"}}),
                         [](const auto& test) { return std::string(test.param.name); });

// An MCAP file of another recorder (written by @mcap/core: a "cdr" channel without this recorder's
// metadata, the type named by its schema) plays into ddsperf sub at its recorded timing, each
// sample with the encapsulation header it holds.
TEST_F(ReplayTest, ForeignMcapPlaysIntoDdsperf) {
  const std::string mcap = (dir_ / "foreign.mcap").string();
  const std::string check = NIMBREL_MCAP_CHECK;
  ASSERT_TRUE(std::filesystem::exists(check + "/node_modules/@mcap/core"))
      << "@mcap/core is missing in " << check << "; run scripts/install-deps";
  const auto written =
      nimbrel::testing::run_tool("node " + check + "/write_keyedseq.mjs " +
                                 nimbrel::testing::shell_quoted(mcap) + " 1000 100 1000000 2>&1");
  ASSERT_TRUE(written.ok) << written.output;
  sink_ = PeerProcess::spawn({"ddsperf", "-D", "30", "-Qsamples:1000", "sub"});
  ASSERT_TRUE(sink_);
  start_replay("1", mcap);
  expect_replay_done(1000);
  EXPECT_NE(replay_->output().find("for DDSPerfRDataKS (KeyedSeq, keyed)"), std::string::npos);
  expect_sub_received_all();
}

TEST_F(ReplayTest, RoundTripKeepsEveryPayloadInOrder) {
  round_trip(100);
}

TEST_F(ReplayTest, RoundTripOfACutRecordingPlaysItsWholeFrames) {
  round_trip(100, /*cut=*/true);
}

// 100 KiB samples go out as DATA_FRAGs and are reassembled by the recorder.
TEST_F(ReplayTest, RoundTripKeepsFragmentedPayloads) {
  round_trip(102400);
}

}  // namespace
}  // namespace nimbrel::testing
