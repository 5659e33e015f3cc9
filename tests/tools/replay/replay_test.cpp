#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "recorder/mcap_writer.hpp"
#include "tools/replay/args.hpp"
#include "tools/replay/keyedness.hpp"
#include "tools/replay/player.hpp"
#include "tools/replay/playlist.hpp"
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
  const auto args =
      parse({"--in", "r.nbrlrec", "--domain", "7", "--topic", "A", "--topic", "B", "--rate", "0.5",
             "--loop", "--wait-for-readers", "2", "--max-gap", "250ms"});
  ASSERT_TRUE(args);
  EXPECT_EQ(args->in, "r.nbrlrec");
  EXPECT_EQ(args->domain, 7u);
  EXPECT_EQ(args->topics, (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(args->rate, 0.5);
  EXPECT_TRUE(args->loop);
  EXPECT_EQ(args->wait_for_readers, 2u);
  EXPECT_EQ(args->max_gap_ns, 250'000'000u);

  EXPECT_EQ(parse({"--in", "f"})->rate, 1.0);
  EXPECT_EQ(parse({"--in", "f"})->max_gap_ns, 1'000'000'000u);
  EXPECT_EQ(parse({"--in", "f", "--max-gap", "0"})->max_gap_ns, 0u);
  EXPECT_EQ(parse({"--in", "f", "--help"}).error().kind, ParseStop::Kind::Help);
  for (const auto& bad : std::vector<std::vector<std::string>>{{},
                                                               {"--in"},
                                                               {"--in", "f", "--rate", "-1"},
                                                               {"--in", "f", "--rate", "nan"},
                                                               {"--in", "f", "--rate", "2x"},
                                                               {"--in", "f", "--domain", "-3"},
                                                               {"--in", "f", "--max-gap", "1x"},
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

// Frames from a list, as a recording's walk gives them.
class ListSource final : public FrameSource {
 public:
  explicit ListSource(std::vector<PlayFrame> frames) : frames_(std::move(frames)) {}
  std::optional<PlayFrame> next() override {
    if (at_ == frames_.size()) return std::nullopt;
    return frames_[at_++];
  }
  void rewind() override { at_ = 0; }

 private:
  std::vector<PlayFrame> frames_;
  std::size_t at_ = 0;
};

// A timeline on a fake clock: sleeping moves it, writes are logged with the time they happened.
class PlayerTimeline : public ::testing::Test {
 protected:
  struct Written {
    std::size_t writer;
    std::int64_t at_ms;
    std::vector<std::byte> serialized;
  };

  PlayStats run(const std::vector<PlayFrame>& frames, double rate, bool loop = false,
                std::uint64_t max_gap_ns = 0) {
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
        .first_skip = [&](std::uint64_t jump_ns,
                          std::uint64_t sample) { skips_.emplace_back(jump_ns, sample); },
        .stop = &stop_,
    };
    ListSource source(frames);
    return play(source, {.rate = rate, .loop = loop, .max_gap_ns = max_gap_ns}, env);
  }
  std::int64_t ms_since_start() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(now_ - MonoInstant{}).count();
  }
  std::vector<std::int64_t> write_times() const {
    std::vector<std::int64_t> out;
    for (const auto& w : written_)
      out.push_back(w.at_ms);
    return out;
  }

  MonoInstant now_{};
  std::vector<Written> written_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> skips_;
  int full_answers_ = 0;
  std::size_t stop_after_ = 0;
  std::atomic<bool> stop_{false};
};

const std::byte cdr_le[] = {std::byte{0}, std::byte{1}, std::byte{0}, std::byte{0}};
const std::byte body[] = {std::byte{0xAA}, std::byte{0xBB}};
const std::vector<PlayFrame> frames{
    {.writer = 0, .time_ns = 1'000'000'000, .encapsulation = cdr_le, .data = body},
    {.writer = 1, .time_ns = 1'400'000'000, .encapsulation = cdr_le, .data = body},
    {.writer = 0, .time_ns = 2'000'000'000, .encapsulation = cdr_le, .data = body}};

TEST_F(PlayerTimeline, KeepsTheRecordedSpacingScaledByTheRate) {
  const auto stats = run(frames, 2.0);
  EXPECT_EQ(write_times(), (std::vector<std::int64_t>{0, 200, 500}));
  ASSERT_EQ(written_.size(), 3u);
  EXPECT_EQ(written_[1].writer, 1u);
  // The header the recording left off comes back in front of the body.
  EXPECT_EQ(written_[0].serialized,
            (std::vector<std::byte>{std::byte{0}, std::byte{1}, std::byte{0}, std::byte{0},
                                    std::byte{0xAA}, std::byte{0xBB}}));
  EXPECT_EQ(stats.samples, 3u);
  EXPECT_EQ(stats.bytes, 6u);
}

// Data that holds its own header (as MCAP keeps it) goes out exactly as given.
TEST_F(PlayerTimeline, DataWithItsOwnHeaderIsWrittenAsGiven) {
  const std::byte whole[] = {std::byte{0},    std::byte{7}, std::byte{0}, std::byte{2},
                             std::byte{0x11}, std::byte{0}, std::byte{0}};
  run({{.writer = 0, .time_ns = 5, .encapsulation = {}, .data = whole}}, 1.0);
  ASSERT_EQ(written_.size(), 1u);
  EXPECT_EQ(written_[0].serialized, (std::vector<std::byte>(std::begin(whole), std::end(whole))));
}

TEST_F(PlayerTimeline, RateZeroNeverWaitsButAFullHistoryIsAskedAgain) {
  full_answers_ = 3;
  const auto stats = run(frames, 0.0);
  // Three retries one millisecond apart, then no pause at all.
  EXPECT_EQ(write_times(), (std::vector<std::int64_t>{3, 3, 3}));
  EXPECT_EQ(stats.failed, 0u);
}

TEST_F(PlayerTimeline, LoopsUntilStoppedEachPassWithItsOwnTiming) {
  stop_after_ = 5;
  const auto stats = run(frames, 1.0, /*loop=*/true);
  // The second pass starts where the first ended.
  EXPECT_EQ(write_times(), (std::vector<std::int64_t>{0, 400, 1000, 1000, 1400}));
  EXPECT_TRUE(stats.stopped);
}

struct GapCase {
  const char* label;
  std::vector<std::uint64_t> times_ms;
  double rate;
  std::uint64_t max_gap_ms;
  std::vector<std::int64_t> written_ms;
  std::uint64_t skipped_ms;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> told;  // (jump ms, sample)
};

class PlayerGaps : public PlayerTimeline, public ::testing::WithParamInterface<GapCase> {};

TEST_P(PlayerGaps, AJumpOfTheFrameTimesIsCutToTheLongestWait) {
  const auto& c = GetParam();
  std::vector<PlayFrame> list;
  for (const auto t : c.times_ms)
    list.push_back({.writer = 0, .time_ns = t * 1'000'000, .encapsulation = {}, .data = body});
  const auto stats = run(list, c.rate, /*loop=*/false, c.max_gap_ms * 1'000'000);
  EXPECT_EQ(write_times(), c.written_ms);
  EXPECT_EQ(stats.skipped_ns, c.skipped_ms * 1'000'000);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> told;
  for (const auto& [jump, sample] : skips_)
    told.emplace_back(jump / 1'000'000, sample);
  EXPECT_EQ(told, c.told);
}

constexpr std::uint64_t hour_ms = 3'600'000;
INSTANTIATE_TEST_SUITE_P(
    Cases, PlayerGaps,
    ::testing::Values(
        // A clock step of an hour forward: one second of silence, said once for both.
        GapCase{"ForwardStep",
                {0, 100, hour_ms, hour_ms + 50, 2 * hour_ms},
                1.0,
                1'000,
                {0, 100, 1100, 1150, 2150},
                2 * hour_ms - 2'150,
                {{hour_ms - 100, 3}}},
        // The cap counts in wall time: at rate 2 it lets two recorded seconds through.
        GapCase{"CapIsWallTime", {0, 10'000}, 2.0, 1'000, {0, 1000}, 8'000, {{10'000, 2}}},
        // A step back by more than the cap: the next sample follows at once, then the spacing.
        GapCase{"BackwardStep",
                {hour_ms, hour_ms + 500, 10, 310},
                1.0,
                1'000,
                {0, 500, 500, 800},
                0,
                {}},
        // Small steps back (reception jitter) are due at once and keep the timeline.
        GapCase{"Jitter", {1'000, 1'200, 1'150, 1'400}, 1.0, 1'000, {0, 200, 200, 400}, 0, {}},
        GapCase{"NoCap", {0, 5'000}, 1.0, 0, {0, 5'000}, 0, {}}),
    [](const auto& test) { return std::string(test.param.label); });

// An MCAP file gives one writer per topic and type, whatever its number of channels; only "cdr"
// channels play, with their data as recorded and their log times.
struct McapCase {
  const char* label;
  std::vector<std::string> topics;
  bool finished;
  std::vector<std::string> writers;  // "name type keyed" with keyed true, false or ?
  std::vector<std::string> frames;   // "writer time data"
};

class McapPlaylist : public ::testing::TestWithParam<McapCase> {};

TEST_P(McapPlaylist, TopicsAndFramesAsRecorded) {
  const auto& c = GetParam();
  const auto path = std::filesystem::temp_directory_path() /
                    ("replay-" + std::to_string(::getpid()) + "-" + c.label + ".mcap");
  {
    auto sink = recorder::FileSink::create(path.string());
    ASSERT_TRUE(sink);
    // A chunk per message: without the summary, every message is on disk.
    recorder::McapWriter writer(**sink, {.chunk_size = 1});
    ASSERT_TRUE(writer.start("", "test"));
    ASSERT_TRUE(writer.add_schema(1, "SB", "omgidl", {}));
    const recorder::StringPairs a{{"dds.type_name", "TA"}, {"dds.keyed", "false"}};
    for (const recorder::McapChannel& channel :
         {recorder::McapChannel{.id = 1, .topic = "A", .message_encoding = "cdr", .metadata = a},
          {.id = 2, .topic = "A", .message_encoding = "cdr", .metadata = a},
          {.id = 3, .schema_id = 1, .topic = "B", .message_encoding = "cdr", .metadata = {}},
          {.id = 4, .topic = "nimbrel/events", .message_encoding = "json", .metadata = {}}})
      ASSERT_TRUE(writer.add_channel(channel));
    for (const auto& [channel, time, text] :
         {std::tuple{1, 30, "x"}, {3, 10, "yy"}, {4, 20, "{}"}, {2, 40, "zzz"}}) {
      ASSERT_TRUE(writer.write_message(static_cast<std::uint16_t>(channel), 0,
                                       static_cast<std::uint64_t>(time), 0,
                                       std::as_bytes(std::span(std::string_view(text)))));
    }
    if (c.finished) {
      ASSERT_TRUE(writer.finish());
    }
  }
  auto list = open_playlist(path.string(), c.topics);
  std::filesystem::remove(path);
  ASSERT_TRUE(list) << list.error().message;
  std::vector<std::string> writers;
  for (const auto& topic : list->topics) {
    writers.push_back(topic.name + " " + topic.type_name + " " +
                      (topic.keyed ? (*topic.keyed ? "true" : "false") : "?"));
  }
  EXPECT_EQ(writers, c.writers);
  std::vector<std::string> played;
  list->frames->rewind();
  while (auto frame = list->frames->next()) {
    EXPECT_TRUE(frame->encapsulation.empty());
    played.push_back(
        std::to_string(frame->writer) + " " + std::to_string(frame->time_ns) + " " +
        std::string(reinterpret_cast<const char*>(frame->data.data()), frame->data.size()));
  }
  EXPECT_EQ(played, c.frames);
  EXPECT_EQ(list->count, c.frames.size());
  EXPECT_EQ(list->damage.empty(), c.finished) << list->damage;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, McapPlaylist,
    ::testing::Values(
        McapCase{"All", {}, true, {"A TA false", "B SB ?"}, {"0 30 x", "1 10 yy", "0 40 zzz"}},
        McapCase{"OneTopic", {"B"}, true, {"B SB ?"}, {"0 10 yy"}},
        // A killed recorder leaves no summary: played all the same, and said.
        McapCase{"NoSummary", {"A"}, false, {"A TA false"}, {"0 30 x", "0 40 zzz"}}),
    [](const auto& test) { return std::string(test.param.label); });

TEST(ReplayRun, ATopicAnMcapFileLacksIsRefused) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("replay-" + std::to_string(::getpid()) + "-lacks.mcap");
  {
    auto sink = recorder::FileSink::create(path.string());
    recorder::McapWriter writer(**sink);
    (void)writer.start("", "test");
    (void)writer.add_channel({.id = 1, .topic = "A", .message_encoding = "cdr", .metadata = {}});
    (void)writer.finish();
  }
  const std::vector<std::string> names{"Z"};
  const auto list = open_playlist(path.string(), names);
  std::filesystem::remove(path);
  ASSERT_FALSE(list);
  EXPECT_EQ(list.error().status, 2);
  EXPECT_EQ(list.error().message, path.string() + ": no topic \"Z\" in the recording");
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
