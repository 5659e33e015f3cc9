#include "tools/recording_summary/summary.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include <unistd.h>

#include "recorder/session.hpp"
#include "recorder/writer.hpp"

namespace nimbrel::summary {
namespace {

std::vector<std::byte> sample(std::uint32_t sn) {
  std::vector<std::byte> out(12);
  std::memcpy(out.data(), &sn, 4);
  return out;
}

class SummaryTest : public ::testing::Test {
 protected:
  std::string path_ = (std::filesystem::temp_directory_path() /
                       ("summary_test_" + std::to_string(::getpid()) + ".nbrlrec"))
                          .string();
  void TearDown() override { std::filesystem::remove(path_); }

  void record(const std::vector<std::pair<int, std::uint32_t>>& samples) {
    recorder::Header header{
        .participants = {{.name = "p"}},
        .topics = {{.name = "A", .type_name = "TA"}, {.name = "B", .type_name = "TB"}},
        .start_ns = 1000};
    recorder::RecordingSession session(
        recorder::RecordingWriter(std::move(*recorder::FileSink::create(path_))), header);
    std::uint64_t t = 1000;
    for (const auto& [topic, sn] : samples) {
      t += 1'000'000;
      ASSERT_TRUE(
          session.record(header.topics[static_cast<std::size_t>(topic)], {}, sample(sn), t));
    }
  }
};

TEST_F(SummaryTest, CountsGapsRepeatsAndReorderingsPerTopic) {
  record({{0, 1}, {0, 2}, {1, 7}, {0, 4}, {0, 4}, {0, 3}, {1, 10}});
  auto file = recorder::RecordingFile::open(path_);
  ASSERT_TRUE(file);
  const auto s = summarize(*file, /*sequence_check=*/true);
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

TEST_F(SummaryTest, ACutTailIsReported) {
  record({{0, 1}, {0, 2}});
  std::filesystem::resize_file(path_, std::filesystem::file_size(path_) - 3);
  auto file = recorder::RecordingFile::open(path_);
  ASSERT_TRUE(file);
  const auto s = summarize(*file, /*sequence_check=*/false);
  EXPECT_EQ(s.frames, 1u);
  EXPECT_FALSE(s.clean_end);
  EXPECT_NE(to_text(s, false).find("end: "), std::string::npos);
}

}  // namespace
}  // namespace nimbrel::summary
