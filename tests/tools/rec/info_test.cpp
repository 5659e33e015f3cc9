#include "tools/rec/info.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>

#include "tools/rec/rec_fixtures.hpp"

namespace nimbrel::rec::testing {
namespace {

Bytes numbered(std::uint32_t sn) {
  Bytes out(12);
  std::memcpy(out.data(), &sn, 4);
  return out;
}

class InfoTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::string path_ = dir_.file("in.nbrlrec");

  // One sample a millisecond, on topics A:TA (0) and B:TB (1).
  void record(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& samples) {
    std::vector<Sample> frames;
    std::uint64_t t = 0;
    for (const auto& [topic, sn] : samples)
      frames.push_back({topic, t += 1'000'000, numbered(sn)});
    write_recording(path_, recorder::fixtures::example_header(), frames);
  }
};

TEST_F(InfoTest, CountsGapsRepeatsAndReorderingsPerTopic) {
  record({{0, 1}, {0, 2}, {1, 7}, {0, 4}, {0, 4}, {0, 3}, {1, 10}});
  const auto s = summarize(*tools::open_input(path_), /*sequence_check=*/true);
  ASSERT_EQ(s.topics.size(), 2u);
  EXPECT_EQ(s.frames, 7u);
  EXPECT_EQ(s.payload_bytes, 7u * 12);
  EXPECT_TRUE(s.clean_end);
  const auto counts = [](const TopicSummary& t) {
    const auto& q = t.sequence;
    return std::vector<std::uint64_t>{t.frames,  q.first,    q.last,
                                      q.missing, q.repeated, q.backwards};
  };
  EXPECT_EQ(counts(s.topics[0]), (std::vector<std::uint64_t>{5, 1, 4, 0, 1, 1}));
  EXPECT_EQ(counts(s.topics[1]), (std::vector<std::uint64_t>{2, 7, 10, 2, 0, 0}));  // 8, 9 missing
}

struct SequenceCase {
  const char* label;
  std::vector<std::uint32_t> numbers;
  std::vector<std::uint64_t> first_last_missing_repeated_backwards;
};

class SequenceTest : public InfoTest, public ::testing::WithParamInterface<SequenceCase> {};

// Numbers kept as ranges: joins from either side, repeats inside a range, the ends of the range.
TEST_P(SequenceTest, CountsAsASetWould) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> samples;
  for (const std::uint32_t sn : GetParam().numbers)
    samples.emplace_back(0, sn);
  record(samples);
  const auto q = summarize(*tools::open_input(path_), /*sequence_check=*/true).topics[0].sequence;
  EXPECT_EQ((std::vector<std::uint64_t>{q.first, q.last, q.missing, q.repeated, q.backwards}),
            GetParam().first_last_missing_repeated_backwards);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SequenceTest,
    ::testing::Values(
        SequenceCase{"FillsAHoleBetweenTwoRanges", {1, 2, 5, 6, 4, 3, 4}, {1, 6, 0, 1, 2}},
        SequenceCase{"Descending", {9, 7, 8, 5, 9}, {5, 9, 1, 1, 2}},
        SequenceCase{"RepeatInsideARange", {10, 11, 12, 13, 11, 14}, {10, 14, 0, 1, 1}},
        SequenceCase{"TopOfTheRange",
                     {0xFFFFFFFE, 0xFFFFFFFF, 0, 0xFFFFFFFF},
                     {0, 0xFFFFFFFF, 0xFFFFFFFD, 1, 1}}),
    [](const auto& test) { return std::string(test.param.label); });

// The text is what nimbrel-recording-summary printed, so scripts reading it keep working.
TEST_F(InfoTest, PrintsTheSummaryTextAndJson) {
  record({{0, 1}, {0, 2}, {0, 3}});
  RecRun run = rec({"info", "--sequence", path_});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, path_ +
                         "\n"
                         "topics: 2\n"
                         "  A (TA): frames=3 bytes=36 span=0.002s rate=1000/s 0.02 MB/s\n"
                         "    sequence 1..3: missing=0 repeated=0 backwards=0\n"
                         "  B (TB): frames=0 bytes=0\n"
                         "frames: 3 payload_bytes: 36 file_bytes: 183\n"
                         "end: clean end at byte 183\n");
  run = rec({"info", path_, "--json"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "{\"version\":1,\"format\":\"nbrlrec\",\"start_ns\":72623859790382856,"
            "\"start_ns_str\":\"72623859790382856\",\"topics\":[{\"name\":\"A\",\"type\":\"TA\","
            "\"frames\":3,\"payload_bytes\":36,\"first_time_ns\":1000000,"
            "\"first_time_ns_str\":\"1000000\",\"last_time_ns\":3000000,"
            "\"last_time_ns_str\":\"3000000\",\"span_s\":0.002,\"rate_hz\":1000,\"sequence\":null},"
            "{\"name\":\"B\",\"type\":\"TB\",\"frames\":0,\"payload_bytes\":0,"
            "\"first_time_ns\":null,\"first_time_ns_str\":null,\"last_time_ns\":null,"
            "\"last_time_ns_str\":null,\"span_s\":null,\"rate_hz\":null,\"sequence\":null}],"
            "\"frames\":3,\"payload_bytes\":36,\"file_bytes\":183,"
            "\"end\":{\"clean\":true,\"offset\":183,\"text\":\"clean end at byte 183\"}}\n");
  // Whatever stops it, a reader of the JSON gets a document: the error.
  write_file(path_, payload_of(16, 1));
  run = rec({"info", path_, "--json"});
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(run.out.starts_with("{\"version\":1,\"error\":{\"status\":2,\"message\":\""))
      << run.out;
}

TEST_F(InfoTest, ACutTailIsReportedWithStatusOne) {
  record({{0, 1}, {0, 2}});
  std::filesystem::resize_file(path_, std::filesystem::file_size(path_) - 3);
  const RecRun run = rec({"info", path_});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("frames: 1 "), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("end: frame cut short at byte 115"), std::string::npos) << run.out;
}

// A wall clock stepped back leaves frames out of time order; the span must not wrap around.
TEST_F(InfoTest, FramesGoingBackInTimeGiveTheirTrueSpan) {
  write_recording(path_, recorder::fixtures::example_header(),
                  {{0, 5'000'000, numbered(1)}, {0, 1'000'000, numbered(2)}});
  const auto s = summarize(*tools::open_input(path_), false);
  EXPECT_EQ(s.topics[0].last_time_ns - s.topics[0].first_time_ns, 4'000'000u);
}

// A FIFO is refused at once, not waited on for a writer that may never come.
TEST(OpenInput, AFifoIsRefusedWithoutWaiting) {
  TempDir dir;
  const std::string path = dir.file("fifo");
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  const auto opened = tools::open_input(path);
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().status, 2);
  EXPECT_EQ(opened.error().message, path + ": not a regular file");
  EXPECT_FALSE(recorder::RecordingFile::open(path));
}

}  // namespace
}  // namespace nimbrel::rec::testing
