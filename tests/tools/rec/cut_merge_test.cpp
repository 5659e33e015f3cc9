#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>

#include "recorder/reader.hpp"
#include "tools/rec/rec_fixtures.hpp"

namespace nimbrel::rec::testing {
namespace {

using recorder::fixtures::ParsedFrame;

// A frame as a reader sees it, with its topic by name and type and its wall-clock time, so that
// frames of files with different headers compare.
struct Seen {
  std::uint64_t unix_ns = 0;
  recorder::TopicKey topic;
  std::string participant;
  Bytes payload;
  friend bool operator==(const Seen&, const Seen&) = default;
};

std::vector<Seen> seen(const recorder::Header& header, const std::vector<ParsedFrame>& frames) {
  std::vector<Seen> out;
  for (const auto& f : frames)
    out.push_back({header.start_ns + f.time, header.topics[f.topic_idx],
                   header.participants[f.participant_idx].name, f.payload});
  return out;
}

// The frames of `path`, which must pass verify.
std::vector<Seen> verified_frames(const std::string& path) {
  const RecRun run = rec({"verify", path});
  EXPECT_EQ(run.status, 0) << run.err;
  const Bytes bytes = read_file(path);
  auto recording = recorder::read_recording(bytes);
  if (!recording) return {};
  return seen(recording->header, recorder::fixtures::parsed(recording->frames));
}

const recorder::Header three_topics{.participants = {{.name = "recorder-bridge", .guid = {}}},
                                    .topics = {{.name = "A", .type_name = "TA"},
                                               {.name = "B", .type_name = "TB"},
                                               {.name = "C", .type_name = "TC"}},
                                    .start_ns = 1'000'000'000};

std::vector<Sample> spread_samples() {
  std::vector<Sample> out;
  for (std::uint32_t i = 0; i < 30; ++i)
    out.push_back(
        {i % 3, i * 100'000'000ULL, payload_of(i * 5 % 17, static_cast<std::uint8_t>(i))});
  return out;
}

struct CutCase {
  const char* label;
  std::vector<std::string> options;
  std::uint64_t from_ns;
  std::uint64_t to_ns;
  std::vector<std::string> topics;
};

class CutTest : public ::testing::TestWithParam<CutCase> {
 protected:
  TempDir dir_;
};

TEST_P(CutTest, KeepsExactlyTheChosenFramesByteForByte) {
  const auto& c = GetParam();
  const std::string in = dir_.file("in.nbrlrec");
  const std::string out = dir_.file("out.nbrlrec");
  write_recording(in, three_topics, spread_samples());
  std::vector<std::string> args{"cut", in, "--out", out};
  args.insert(args.end(), c.options.begin(), c.options.end());
  const RecRun run = rec(args);
  ASSERT_EQ(run.status, 0) << run.err;

  std::vector<Seen> expected;
  for (const auto& frame : verified_frames(in)) {
    const std::uint64_t t = frame.unix_ns - three_topics.start_ns;
    const bool topic_chosen =
        c.topics.empty() || std::ranges::find(c.topics, frame.topic.name) != c.topics.end();
    if (topic_chosen && t >= c.from_ns && t < c.to_ns) expected.push_back(frame);
  }
  EXPECT_EQ(verified_frames(out), expected);
  EXPECT_FALSE(expected.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CutTest,
    ::testing::Values(
        CutCase{"Everything", {}, 0, UINT64_MAX, {}},
        CutCase{"TimeRange", {"--from", "0.5s", "--to", "1500ms"}, 500'000'000, 1'500'000'000, {}},
        CutCase{"FromOnly", {"--from=2.9"}, 2'900'000'000, UINT64_MAX, {}},
        CutCase{"Topics", {"--topic", "C", "--topic", "A"}, 0, UINT64_MAX, {"A", "C"}},
        CutCase{"TopicAndRange", {"--topic", "B", "--to", "1s"}, 0, 1'000'000'000, {"B"}}),
    [](const auto& test) { return std::string(test.param.label); });

class RewriteTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

// A recording whose tail is cut still gives all its whole frames; the status says the input was
// damaged.
TEST_F(RewriteTest, CutAndMergeOfADamagedInputKeepEveryWholeFrame) {
  const std::string in = dir_.file("in.nbrlrec");
  write_recording(in, three_topics, spread_samples());
  const auto all = verified_frames(in);
  std::filesystem::resize_file(in, std::filesystem::file_size(in) - 1);
  const std::vector<Seen> whole(all.begin(), all.end() - 1);

  const RecRun cut = rec({"cut", in, "--out", dir_.file("cut.nbrlrec")});
  EXPECT_EQ(cut.status, 1);
  EXPECT_NE(cut.err.find("frame cut short at byte"), std::string::npos) << cut.err;
  EXPECT_EQ(verified_frames(dir_.file("cut.nbrlrec")), whole);

  const RecRun merged = rec({"merge", in, "--out", dir_.file("merged.nbrlrec")});
  EXPECT_EQ(merged.status, 1);
  EXPECT_EQ(verified_frames(dir_.file("merged.nbrlrec")), whole);
}

TEST_F(RewriteTest, MergeInterleavesByWallClockAndJoinsTopicsByNameAndType) {
  const recorder::Header first{
      .participants = {{.name = "rec-1", .guid = {}}},
      .topics = {{.name = "A", .type_name = "TA"}, {.name = "B", .type_name = "TB"}},
      .start_ns = 1'000};
  const recorder::Header second{
      .participants = {{.name = "rec-2", .guid = {}}},
      .topics = {{.name = "C", .type_name = "TC"},
                 {.name = "A", .type_name = "TA"},
                 {.name = "A", .type_name = "TX"}},  // same name, other type: its own topic
      .start_ns = 500};
  const std::string a = dir_.file("a.nbrlrec");
  const std::string b = dir_.file("b.nbrlrec");
  const std::string empty = dir_.file("empty.nbrlrec");
  write_recording(
      a, first, {{0, 0, payload_of(4, 1)}, {1, 100, payload_of(0, 2)}, {0, 300, payload_of(9, 3)}});
  write_recording(b, second,
                  {{1, 0, payload_of(3, 4)},
                   {0, 500, payload_of(5, 5)},  // same wall-clock time as a's first frame
                   {2, 600, payload_of(1, 6)},
                   {1, 2'000, payload_of(2, 7)}});
  write_file(empty, Bytes{});  // a recorder that received nothing

  const std::string out = dir_.file("merged.nbrlrec");
  const RecRun run = rec({"merge", a, empty, b, "--out", out});
  ASSERT_EQ(run.status, 0) << run.err;

  std::vector<Seen> expected;
  for (const auto& frame : verified_frames(a))
    expected.push_back(frame);
  for (const auto& frame : verified_frames(b))
    expected.push_back(frame);
  std::ranges::stable_sort(expected, {}, &Seen::unix_ns);
  EXPECT_EQ(verified_frames(out), expected);

  const Bytes merged = read_file(out);
  const auto header = recorder::read_header(merged);
  ASSERT_TRUE(header);
  EXPECT_EQ(header->header.start_ns, 500u);
  EXPECT_EQ(header->header.topics.size(), 4u);
  EXPECT_EQ(header->header.participants.size(), 2u);
}

TEST_F(RewriteTest, RefusesToOverwriteAnInput) {
  const std::string in = dir_.file("in.nbrlrec");
  write_recording(in, three_topics, spread_samples());
  const Bytes before = read_file(in);
  EXPECT_EQ(rec({"cut", in, "--out", in}).status, 2);
  EXPECT_EQ(rec({"merge", dir_.file("in.nbrlrec"), "--out", in}).status, 2);
  EXPECT_EQ(rec({"export", in, "--mcap", in}).status, 2);
  EXPECT_EQ(read_file(in), before);
}

TEST_F(RewriteTest, RefusesTheSameInputTwice) {
  const std::string in = dir_.file("in.nbrlrec");
  const std::string link = dir_.file("link.nbrlrec");
  write_recording(in, three_topics, spread_samples());
  ASSERT_EQ(::symlink(in.c_str(), link.c_str()), 0);
  for (const auto& second : {in, link}) {
    const auto result = rec({"merge", in, second, "--out", dir_.file("out.nbrlrec")});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, second + ": given twice (or a link to an input given before)\n");
  }
}

// A write that fails is exit 3, and leaves neither a partial output nor its temporary file; a
// file already there under the output's name stays as it was.
TEST_F(RewriteTest, AFailedWriteLeavesNoPartialOutput) {
  const std::string in = dir_.file("in.nbrlrec");
  std::vector<Sample> samples;
  for (std::uint32_t i = 0; i < 40; ++i)
    samples.push_back({i % 3, i * 1'000ULL, payload_of(2'000, static_cast<std::uint8_t>(i))});
  write_recording(in, three_topics, samples);
  const std::string mcap = dir_.file("in.mcap");
  ASSERT_EQ(rec({"export", in, "--mcap", mcap}).status, 0);
  const std::string out = dir_.file("out");
  const std::vector<std::vector<std::string>> commands{
      {"cut", in, "--out", out},   {"merge", in, "--out", out},   {"export", in, "--mcap", out},
      {"cut", mcap, "--out", out}, {"merge", mcap, "--out", out}, {"recover", mcap, "--out", out}};
  for (const bool earlier : {false, true}) {
    if (earlier) write_file(out, payload_of(10, 1));
    for (const auto& command : commands) {
      // Writes past 512 bytes fail with EFBIG instead of a signal.
      rlimit saved{};
      ::getrlimit(RLIMIT_FSIZE, &saved);
      const auto handler = std::signal(SIGXFSZ, SIG_IGN);
      rlimit small = saved;
      small.rlim_cur = 512;
      ::setrlimit(RLIMIT_FSIZE, &small);
      const RecRun run = rec(command);
      ::setrlimit(RLIMIT_FSIZE, &saved);
      std::signal(SIGXFSZ, handler);
      EXPECT_EQ(run.status, 3) << command[0] << ": " << run.err;
      EXPECT_EQ(std::filesystem::exists(out), earlier) << command[0];
      if (earlier) {
        EXPECT_EQ(read_file(out), payload_of(10, 1)) << command[0];
      }
      std::size_t files = 0;
      for ([[maybe_unused]] const auto& entry :
           std::filesystem::directory_iterator(std::filesystem::path(in).parent_path()))
        ++files;
      EXPECT_EQ(files, earlier ? 3u : 2u) << command[0];
    }
  }
  const RecRun missing = rec({"cut", in, "--out", dir_.file("no-such-folder/out")});
  EXPECT_EQ(missing.status, 3);
  // A device is written as it is, never renamed over; a link to a file leads to the file, which
  // is replaced while the link stays (as /dev/stdout does when standard output goes to a file).
  EXPECT_EQ(rec({"cut", in, "--out", "/dev/null"}).status, 0);
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
  const std::string link = dir_.file("link");
  std::filesystem::create_symlink(out, link);
  EXPECT_EQ(rec({"cut", in, "--out", link}).status, 0);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(read_file(out), read_file(link));
  EXPECT_NE(read_file(out), payload_of(10, 1));
}

}  // namespace
}  // namespace nimbrel::rec::testing
