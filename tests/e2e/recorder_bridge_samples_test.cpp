// The real nimbrel-recorder-bridge records samples of several MiB completely, loses samples above
// --max-sample-size with the reason "too large" without slowing their writer, and records XCDR2
// samples of Cyclone DDS's appendable and mutable types.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "e2e/bridge_recording.hpp"
#include "recorder/reader.hpp"

namespace nimbrel::testing {
namespace {

const std::string loss_line = "recorder-bridge lost:";

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++n;
  return n;
}

// Sample size and rate: 800 MB in four seconds, so that a small disk still takes it.
class LargeSamples : public RecorderBridgeDdsperfTest,
                     public ::testing::WithParamInterface<std::pair<std::size_t, const char*>> {};

TEST_P(LargeSamples, AreRecordedCompletely) {
  const auto [size, rate] = GetParam();
  start_running_publishers(1, rate, std::to_string(size));
  start_bridge({"--duration", "4s"});
  const auto seqs = finished_recording(size);
  std::printf("recorded %zu samples of %zu bytes, %u to %u\n", seqs.size(), size,
              seqs.empty() ? 0 : seqs.front(), seqs.empty() ? 0 : seqs.back());
  // A writer that stalled on the recorder gave up after about 50 samples.
  EXPECT_GE(seqs.size(), 100u);
  EXPECT_TRUE(consecutive(seqs));
  EXPECT_EQ(bridge_->output().find(loss_line), std::string::npos);
  EXPECT_EQ(publishers_[0]->output().find("write error"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Sizes, LargeSamples,
                         ::testing::Values(std::pair<std::size_t, const char*>{1048576, "200Hz"},
                                           std::pair<std::size_t, const char*>{4194304, "50Hz"}),
                         [](const auto& test) { return std::to_string(test.param.first); });

// ddsperf's rates per second, as it prints them ("[pid] 2.000    50/s ...").
std::vector<unsigned> ddsperf_rates(const std::string& output) {
  static const std::regex rate_line(R"(\] [0-9]+\.[0-9]+ +([0-9]+)/s )");
  std::vector<unsigned> rates;
  for (std::sregex_iterator it(output.begin(), output.end(), rate_line), end; it != end; ++it)
    rates.push_back(static_cast<unsigned>(std::stoul((*it)[1].str())));
  return rates;
}

// Samples above the cap are acknowledged unrecorded, so the writer goes on at its rate; before,
// it stalled on a reader that never acknowledged them.
TEST_F(RecorderBridgeDdsperfTest, SamplesAboveTheCapAreLostAsTooLargeAndTheWriterGoesOn) {
  start_running_publishers(1, "50Hz", "4194304");
  const std::size_t before = ddsperf_rates(publishers_[0]->output()).size();
  start_bridge({"--duration", "4s", "--max-sample-size", "1M"});
  EXPECT_EQ(bridge_->wait_exit(generous), std::optional<int>(0));
  const std::string out = bridge_->output();
  EXPECT_NE(out.find("recorder-bridge done: samples=0 dropped=0 bytes=0 "), std::string::npos);
  EXPECT_EQ(occurrences(out,
                        "sends samples larger than --max-sample-size: they are lost as too "
                        "large\n"),
            1u);
  static const std::regex lost(
      R"(recorder-bridge lost: topic "DDSPerfRDataKS" writer [0-9a-f]+:[0-9a-f]+ received=0 )"
      R"(recorded=0 lost=([0-9]+) \(too_large=([0-9]+)\)\n)");
  std::smatch match;
  ASSERT_TRUE(std::regex_search(out, match, lost)) << out;
  EXPECT_EQ(match[1].str(), match[2].str());
  // Four seconds at 50/s, less the time to discover the writer.
  const auto too_large = std::stoul(match[2].str());
  std::printf("lost as too large: %lu\n", too_large);
  EXPECT_GE(too_large, 120u);
  EXPECT_LE(too_large, 210u);

  // The header is written with the first frame.
  EXPECT_EQ(std::filesystem::file_size(file()), 0u);

  const std::string ddsperf = publishers_[0]->output();
  EXPECT_EQ(ddsperf.find("write error"), std::string::npos);
  auto rates = ddsperf_rates(ddsperf);
  ASSERT_GE(rates.size(), before + 3) << "ddsperf printed too few rates while recorded";
  rates.erase(rates.begin(), rates.begin() + static_cast<std::ptrdiff_t>(before));
  for (const auto rate : rates)
    EXPECT_GE(rate, 45u) << "ddsperf slowed down while recorded";
}

struct XtypesCase {
  const char* kind;
  const char* topic;
  std::size_t seq_offset;  // of the member seq in the body: after the DHEADER, and member headers
};

class ExtensibleTypesRecorded : public RecorderBridgeDdsperfTest,
                                public ::testing::WithParamInterface<XtypesCase> {};

TEST_P(ExtensibleTypesRecorded, EverySampleIsRecorded) {
#ifndef NIMBREL_CYCLONE_XTYPES_PUBLISHER
  GTEST_SKIP() << "Cyclone DDS peer not built";
#else
  constexpr std::uint32_t count = 300;
  start_bridge({}, GetParam().topic);
  ASSERT_TRUE(bridge_->wait_for_output(recording_line, generous));
  publishers_.push_back(PeerProcess::spawn(
      {NIMBREL_CYCLONE_XTYPES_PUBLISHER, GetParam().kind, std::to_string(count), "30"}));
  ASSERT_TRUE(publishers_.back());
  EXPECT_EQ(publishers_.back()->wait_exit(generous), std::optional<int>(0));
  bridge_->signal(SIGINT);
  EXPECT_EQ(bridge_->wait_exit(generous), std::optional<int>(0));
  const std::string out = bridge_->output();
  EXPECT_NE(out.find("recorder-bridge done: samples=300 dropped=0 "), std::string::npos) << out;
  EXPECT_EQ(out.find(loss_line), std::string::npos) << out;

  const auto opened = recorder::RecordingFile::open(file().string());
  ASSERT_TRUE(opened);
  const auto& frames = opened->recording().frames;
  ASSERT_EQ(frames.size(), count);
  for (std::uint32_t i = 0; i < count; ++i) {
    ASSERT_GE(frames[i].payload.size(), GetParam().seq_offset + 4);
    ASSERT_EQ(u32_at(frames[i].payload, GetParam().seq_offset), i + 1) << "frame " << i;
  }
#endif
}

INSTANTIATE_TEST_SUITE_P(Cyclone, ExtensibleTypesRecorded,
                         ::testing::Values(XtypesCase{"appendable",
                                                      "AppendableSeq:xt::AppendableSeq", 8},
                                           XtypesCase{"mutable", "MutableSeq:xt::MutableSeq", 16}),
                         [](const auto& test) { return std::string(test.param.kind); });

}  // namespace
}  // namespace nimbrel::testing
