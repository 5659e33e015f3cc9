// The real nimbrel-recorder-bridge records what a keyed Fast DDS publisher (our own small peer on
// Debian's libfastrtps-dev) writes: every sample once, each instance's samples in order.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "e2e/peer_process.hpp"
#include "recorder/reader.hpp"

namespace nimbrel::testing {
namespace {

using namespace std::chrono_literals;

constexpr auto generous = 60s;
constexpr std::uint32_t samples = 2000;

std::uint32_t u32_at(std::span<const std::byte> bytes, std::size_t offset) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i)
    value |= std::to_integer<std::uint32_t>(bytes[offset + i]) << (8 * i);
  return value;
}

TEST(RecorderBridgeFastDds, RecordsEverySampleOfAKeyedPublisher) {
  std::string pattern = (std::filesystem::temp_directory_path() / "fastdds-e2e-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const std::filesystem::path file = std::filesystem::path(pattern) / "fastdds.nbrlrec";

  auto bridge = PeerProcess::spawn({NIMBREL_BRIDGE_BINARY, "--out", file.string(), "--topic",
                                    "KeyedCounter:KeyedCounter", "--duration", "20s"});
  ASSERT_TRUE(bridge);
  ASSERT_TRUE(bridge->wait_for_output("domain=", generous)) << bridge->output();
  auto publisher = PeerProcess::spawn({NIMBREL_FASTDDS_PUBLISHER, std::to_string(samples), "60"});
  ASSERT_TRUE(publisher);
  EXPECT_EQ(publisher->wait_exit(generous), std::optional<int>(0)) << publisher->output();
  EXPECT_EQ(bridge->wait_exit(generous), std::optional<int>(0)) << bridge->output();

  auto opened = recorder::RecordingFile::open(file.string());
  ASSERT_TRUE(opened) << recorder::to_string(opened.error());
  std::map<std::uint32_t, std::vector<std::uint32_t>> by_key;
  std::size_t total = 0;
  for (const auto& frame : opened->recording().frames) {
    ASSERT_EQ(frame.payload.size(), 8u);
    const std::uint32_t key = u32_at(frame.payload, 0), seq = u32_at(frame.payload, 4);
    EXPECT_EQ(key, seq % 10);
    by_key[key].push_back(seq);
    ++total;
  }
  EXPECT_EQ(total, samples) << bridge->output();
  for (const auto& [key, seqs] : by_key) {
    for (std::size_t i = 1; i < seqs.size(); ++i)
      ASSERT_EQ(seqs[i], seqs[i - 1] + 10) << "key " << key;
  }
  std::error_code ignored;
  std::filesystem::remove_all(pattern, ignored);
}

}  // namespace
}  // namespace nimbrel::testing
