#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/replay/args.hpp"
#include "tools/replay/keyedness.hpp"
#include "tools/replay/player.hpp"
#include "tools/replay/replay.hpp"

namespace nimbrel::replay {
namespace {

std::expected<Args, ParseStop> parse(const std::vector<std::string>& words) {
  std::vector<std::string> argv{std::string("nimbrel-replay")};
  for (const auto& word : words)
    argv.push_back(word);
  return parse_args(argv);
}

TEST(ReplayArgs, ReadsEveryOptionAndRefusesWhatIsNotOne) {
  const auto args = parse({"--in", "r.nbrlrec", "--domain", "7", "--topic", "A", "--topic", "B",
                           "--rate", "0.5", "--loop", "--wait-for-readers", "2"});
  ASSERT_TRUE(args);
  EXPECT_EQ(args->in, "r.nbrlrec");
  EXPECT_EQ(args->domain, 7u);
  EXPECT_EQ(args->topics, (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(args->rate, 0.5);
  EXPECT_TRUE(args->loop);
  EXPECT_EQ(args->wait_for_readers, 2u);

  EXPECT_EQ(parse({"--in", "f"})->rate, 1.0);
  EXPECT_EQ(parse({"--in", "f", "--help"}).error().kind, ParseStop::Kind::Help);
  for (const auto& bad : std::vector<std::vector<std::string>>{{},
                                                               {"--in"},
                                                               {"--in", "f", "--rate", "-1"},
                                                               {"--in", "f", "--rate", "nan"},
                                                               {"--in", "f", "--rate", "2x"},
                                                               {"--in", "f", "--domain", "-3"},
                                                               {"--in", "f", "--speed", "2"}}) {
    EXPECT_EQ(parse(bad).error().kind, ParseStop::Kind::Error) << ::testing::PrintToString(bad);
  }
}

const std::string type_y = "Y";

rtps::SubscriptionBuiltinTopicData reader(std::uint8_t key, rtps::EntityKind kind,
                                          const std::string& topic = "T") {
  rtps::SubscriptionBuiltinTopicData r;
  r.endpoint_guid = {{key}, rtps::make_entity_id(0, 0, 1, kind)};
  r.topic_name = topic;
  r.type_name = type_y;
  return r;
}

TEST(ReplayKeyedness, FollowsTheMajorityOfTheTopicsReadersAndIsKeyedWithoutAny) {
  std::map<rtps::Guid, rtps::SubscriptionBuiltinTopicData> readers;
  EXPECT_TRUE(choose_keyed(readers, "T", "Y"));
  for (const auto& r : {reader(1, rtps::EntityKind::UserReaderNoKey),
                        reader(2, rtps::EntityKind::UserReaderWithKey, "Other"),
                        reader(3, rtps::EntityKind::UserReaderWithKey, "Other")}) {
    readers.emplace(r.endpoint_guid, r);
  }
  EXPECT_FALSE(choose_keyed(readers, "T", "Y"));
  EXPECT_TRUE(choose_keyed(readers, "Other", "Y"));
  EXPECT_TRUE(choose_keyed(readers, "T", "OtherType"));
  EXPECT_EQ(readers_of(readers, "Other", "Y"), 2u);
}

// A timeline on a fake clock: sleeping moves it, writes are logged with the time they happened.
class PlayerTimeline : public ::testing::Test {
 protected:
  struct Written {
    std::size_t writer;
    std::int64_t at_ms;
    std::vector<std::byte> serialized;
  };

  PlayStats run(std::span<const PlayFrame> frames, double rate, bool loop = false) {
    const PlayerEnv env{
        .now = [&] { return now_; },
        .sleep_until = [&](MonoInstant when) { now_ = std::max(now_, when); },
        .write =
            [&](std::size_t writer, std::span<const std::byte> serialized) {
              if (full_answers_ > 0) {
                --full_answers_;
                return WriteOutcome::Full;
              }
              written_.push_back(
                  {writer, ms_since_start(), {serialized.begin(), serialized.end()}});
              if (written_.size() == stop_after_) stop_ = true;
              return WriteOutcome::Written;
            },
        .stop = &stop_,
    };
    return play(frames, rate, loop, env);
  }
  std::int64_t ms_since_start() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(now_ - MonoInstant{}).count();
  }

  MonoInstant now_{};
  std::vector<Written> written_;
  int full_answers_ = 0;
  std::size_t stop_after_ = 0;
  std::atomic<bool> stop_{false};
};

const std::byte body[] = {std::byte{0xAA}, std::byte{0xBB}};
const std::vector<PlayFrame> frames{{.writer = 0, .time_ns = 1'000'000'000, .body = body},
                                    {.writer = 1, .time_ns = 1'400'000'000, .body = body},
                                    {.writer = 0, .time_ns = 2'000'000'000, .body = body}};

TEST_F(PlayerTimeline, KeepsTheRecordedSpacingScaledByTheRate) {
  const auto stats = run(frames, 2.0);
  ASSERT_EQ(written_.size(), 3u);
  EXPECT_EQ(written_[0].at_ms, 0);
  EXPECT_EQ(written_[1].at_ms, 200);
  EXPECT_EQ(written_[2].at_ms, 500);
  EXPECT_EQ(written_[1].writer, 1u);
  // The CDR little-endian header the recording left off comes back in front of the body.
  EXPECT_EQ(written_[0].serialized,
            (std::vector<std::byte>{std::byte{0}, std::byte{1}, std::byte{0}, std::byte{0},
                                    std::byte{0xAA}, std::byte{0xBB}}));
  EXPECT_EQ(stats.samples, 3u);
  EXPECT_EQ(stats.bytes, 6u);
}

TEST_F(PlayerTimeline, RateZeroNeverWaitsButAFullHistoryIsAskedAgain) {
  full_answers_ = 3;
  const auto stats = run(frames, 0.0);
  ASSERT_EQ(written_.size(), 3u);
  // Three retries one millisecond apart, then no pause at all.
  EXPECT_EQ(written_[0].at_ms, 3);
  EXPECT_EQ(written_[2].at_ms, 3);
  EXPECT_EQ(stats.failed, 0u);
}

TEST_F(PlayerTimeline, LoopsUntilStoppedEachPassWithItsOwnTiming) {
  stop_after_ = 5;
  const auto stats = run(frames, 1.0, /*loop=*/true);
  ASSERT_EQ(written_.size(), 5u);
  EXPECT_EQ(written_[3].at_ms, 1000);  // the second pass starts where the first ended
  EXPECT_EQ(written_[4].at_ms, 1400);
  EXPECT_TRUE(stats.stopped);
}

// Inputs that cannot be played are refused before the domain is joined.
TEST(ReplayRun, SaysWhyAMissingOrEmptyFileIsNotPlayed) {
  const auto dir = std::filesystem::temp_directory_path();
  const auto empty = dir / ("replay-empty-" + std::to_string(::getpid()) + ".nbrlrec");
  std::ofstream{empty};
  const std::atomic<bool> stop{false};
  for (const auto& [path, says] :
       {std::pair{(dir / "replay-no-such-file.nbrlrec").string(), std::string("No such file")},
        std::pair{empty.string(), std::string("empty recording, nothing to replay")}}) {
    std::ostringstream out;
    std::ostringstream err;
    Args args;
    args.in = path;
    EXPECT_EQ(run(args, stop, out, err), 2);
    EXPECT_NE(err.str().find(says), std::string::npos) << err.str();
  }
  std::filesystem::remove(empty);
}

}  // namespace
}  // namespace nimbrel::replay
