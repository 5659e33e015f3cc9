// The MCAP export read back by an independent reader: @mcap/core under node (see mcap-check/).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "recorder/mcap_read_back.hpp"
#include "tools/common/json.hpp"
#include "tools/rec/rec_fixtures.hpp"

namespace nimbrel::rec::testing {
namespace {

constexpr std::uint64_t start_ns = 1'700'000'000'000'000'000;

using recorder::testing::mcap_read_back;

class McapExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Large payloads now and then, so that the messages fill several chunks, and one past a
    // chunk's size, which goes out in a chunk of its own without being copied.
    for (std::uint32_t i = 0; i < 40; ++i) {
      const std::size_t size = i == 21 ? 1'500'000 : i % 4 == 0 ? 200'000 : i * 13 % 50;
      samples_.push_back(
          {i % 2, i / 3 * 1'000'000ULL, payload_of(size, static_cast<std::uint8_t>(i))});
    }
    write_recording(in_, header_, samples_);
  }

  // The lines check.mjs must print for an export of `topics` (header indices).
  std::vector<std::string> expected(const std::vector<std::uint32_t>& topics) const {
    std::vector<std::string> lines;
    std::vector<std::string> messages;
    std::vector<std::uint64_t> counts;
    std::uint64_t first = UINT64_MAX;
    std::uint64_t last = 0;
    for (std::size_t c = 0; c < topics.size(); ++c) {
      const auto& topic = header_.topics[topics[c]];
      lines.push_back("channel " + std::to_string(c + 1) + " " + topic.name + " cdr schema=0 " +
                      "type_name=" + topic.type_name + " encapsulation_header=not recorded");
      std::uint32_t sequence = 0;
      for (const auto& s : samples_) {
        if (s.topic != topics[c]) continue;
        const std::string time = std::to_string(start_ns + s.time);
        messages.push_back("message " + std::to_string(c + 1) + " " + std::to_string(sequence++) +
                           " " + time + " " + time + " " + tools::to_hex(s.payload));
        first = std::min(first, start_ns + s.time);
        last = std::max(last, start_ns + s.time);
      }
      counts.push_back(sequence);
    }
    std::uint64_t total = 0;
    for (auto n : counts)
      total += n;
    lines.push_back("statistics messages=" + std::to_string(total) +
                    " schemas=0 channels=" + std::to_string(topics.size()) +
                    " metadata=1 start=" + std::to_string(first) + " end=" + std::to_string(last));
    for (std::size_t c = 0; c < counts.size(); ++c)
      lines.push_back("count " + std::to_string(c + 1) + " " + std::to_string(counts[c]));
    lines.push_back(
        "metadata nbrlrec_header format_version=1 start_ns=" + std::to_string(start_ns) +
        " participant.0.name=recorder-bridge participant.0.guid=000102030405060708090a0b0c0d0e0f"
        " topic.0.name=A topic.0.type=TA topic.1.name=B topic.1.type=TB topic.2.name=C"
        " topic.2.type=TC");
    std::ranges::sort(messages);
    lines.insert(lines.end(), messages.begin(), messages.end());
    lines.push_back("streamed " + std::to_string(total) + " done=true");
    lines.push_back("data_crc ok");
    return lines;
  }

  // The chunk line says how many chunks there are; the rest must match `expected` exactly.
  static std::uint64_t take_chunk_count(std::vector<std::string>& lines) {
    auto it = std::ranges::find_if(lines, [](const auto& l) { return l.starts_with("chunks "); });
    if (it == lines.end()) return 0;
    std::uint64_t in_statistics = 0;
    std::uint64_t indexes = 0;
    std::sscanf(it->c_str(), "chunks statistics=%lu indexes=%lu", &in_statistics, &indexes);
    lines.erase(it);
    EXPECT_EQ(in_statistics, indexes);
    return indexes;
  }

  TempDir dir_;
  std::string in_ = dir_.file("in.nbrlrec");
  std::string out_ = dir_.file("out.mcap");
  recorder::Header header_{
      .participants = {{.name = "recorder-bridge",
                        .guid = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}}},
      .topics = {{.name = "A", .type_name = "TA"},
                 {.name = "B", .type_name = "TB"},
                 {.name = "C", .type_name = "TC"}},  // no frames
      .start_ns = start_ns};
  std::vector<Sample> samples_;
};

TEST_F(McapExportTest, EveryFrameIsAMessageWithItsChannelTimeAndBytes) {
  const RecRun run = rec({"export", in_, "--mcap", out_});
  ASSERT_EQ(run.status, 0) << run.err;
  auto lines = mcap_read_back(out_);
  EXPECT_GE(take_chunk_count(lines), 2u);
  EXPECT_EQ(lines, expected({0, 1, 2}));
}

TEST_F(McapExportTest, ATopicChoiceExportsOnlyItsChannel) {
  const RecRun run = rec({"export", in_, "--mcap", out_, "--topic", "B"});
  ASSERT_EQ(run.status, 0) << run.err;
  auto lines = mcap_read_back(out_);
  EXPECT_GE(take_chunk_count(lines), 1u);
  EXPECT_EQ(lines, expected({1}));
}

// A recording that holds nothing yet still exports to a file readers accept.
TEST_F(McapExportTest, AnEmptyRecordingExportsNoMessages) {
  write_file(in_, Bytes{});
  ASSERT_EQ(rec({"export", in_, "--mcap", out_}).status, 0);
  auto lines = mcap_read_back(out_);
  EXPECT_EQ(take_chunk_count(lines), 0u);
  EXPECT_EQ(lines,
            (std::vector<std::string>{"statistics messages=0 schemas=0 channels=0 metadata=1 "
                                      "start=0 end=0",
                                      "metadata nbrlrec_header format_version=1 start_ns=0",
                                      "streamed 0 done=true", "data_crc ok"}));
}

// MCAP strings are UTF-8: bad bytes become U+FFFD and the raw name is kept as hex.
TEST_F(McapExportTest, NamesThatAreNotUtf8AreReplacedAndKeptAsHex) {
  header_.topics[0].name = "A\xff";
  header_.topics[1].type_name = "T\xc3";
  write_recording(in_, header_, samples_);
  ASSERT_EQ(rec({"export", in_, "--mcap", out_}).status, 0);
  const auto lines = mcap_read_back(out_);
  const auto has = [&](const std::string& line) {
    return std::ranges::find(lines, line) != lines.end();
  };
  EXPECT_TRUE(
      has("channel 1 A\ufffd cdr schema=0 type_name=TA encapsulation_header=not recorded "
          "topic_hex=41ff"));
  EXPECT_TRUE(
      has("channel 2 B cdr schema=0 type_name=T\ufffd type_name_hex=54c3 "
          "encapsulation_header=not recorded"));
  EXPECT_NE(std::ranges::find_if(lines,
                                 [](const std::string& line) {
                                   return line.find(
                                              " topic.0.name=A\ufffd topic.0.name_hex=41ff "
                                              "topic.0.type=TA topic.1.name=B topic.1.type=T"
                                              "\ufffd topic.1.type_hex=54c3 ") != std::string::npos;
                                 }),
            lines.end());
}

}  // namespace
}  // namespace nimbrel::rec::testing
