// The real nimbrel-replay plays a recording of KeyedCounter samples into a keyed Fast DDS
// subscriber of our own: Fast DDS matches only a writer of its reader's keyedness, so the replay
// must have chosen keyed, and every sample must arrive once, each instance's in order.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "e2e/peer_process.hpp"
#include "recorder/format.hpp"

namespace nimbrel::testing {
namespace {

constexpr auto generous = std::chrono::seconds(60);
constexpr std::uint32_t samples = 2000;

// Frames of key (seq % 10) and seq, little-endian, 1 ms apart.
void write_recording(const std::filesystem::path& path) {
  recorder::Header header{.participants = {{.name = "test", .guid = {}}},
                          .topics = {{.name = "KeyedCounter", .type_name = "KeyedCounter"}},
                          .start_ns = 0};
  std::vector<std::byte> bytes;
  rtps::WireWriter writer(bytes, /*little_endian=*/true);
  header.encode(writer);
  for (std::uint32_t seq = 1; seq <= samples; ++seq) {
    std::vector<std::byte> payload;
    for (const std::uint32_t v : {seq % 10, seq}) {
      for (int i = 0; i < 4; ++i)
        payload.push_back(static_cast<std::byte>(v >> (8 * i)));
    }
    recorder::Frame{.payload = payload, .time = seq * 1'000'000ull}.encode(writer);
  }
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

TEST(ReplayFastDds, AKeyedSubscriberReceivesEverySampleInOrder) {
  std::string pattern = (std::filesystem::temp_directory_path() / "replay-fastdds-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const std::filesystem::path file = std::filesystem::path(pattern) / "counter.nbrlrec";
  write_recording(file);

  auto subscriber = PeerProcess::spawn({NIMBREL_FASTDDS_SUBSCRIBER, std::to_string(samples), "90"});
  ASSERT_TRUE(subscriber);
  ASSERT_TRUE(subscriber->wait_for_output("reader ready", generous)) << subscriber->output();
  auto replay = PeerProcess::spawn(
      {NIMBREL_REPLAY_BINARY, "--in", file.string(), "--wait-for-readers", "1", "--rate", "0"});
  ASSERT_TRUE(replay);
  EXPECT_EQ(subscriber->wait_exit(std::chrono::seconds(120)), std::optional<int>(0))
      << subscriber->output() << replay->output();
  EXPECT_EQ(replay->wait_exit(generous), std::optional<int>(0)) << replay->output();
  EXPECT_NE(replay->output().find("keyed)"), std::string::npos) << replay->output();
  std::error_code ignored;
  std::filesystem::remove_all(pattern, ignored);
}

}  // namespace
}  // namespace nimbrel::testing
