// The MCAP writer's files read back by @mcap/core's indexed reader, for each compression and each
// chunk bound, with the caller's sequence numbers and a schema.
#include "recorder/mcap_writer.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "recorder/mcap_read_back.hpp"
#include "recorder/recording_fixtures.hpp"

namespace nimbrel::recorder::testing {
namespace {

constexpr std::uint64_t t0 = 1'700'000'000'000'000'000;
constexpr std::uint64_t ms = 1'000'000;
const fixtures::Bytes schema = fixtures::text("struct KeyedSeq { long seq; };");

std::string hex(std::span<const std::byte> data) {
  std::string out;
  char two[3];
  for (const std::byte b : data)
    out.append(two, static_cast<std::size_t>(std::snprintf(two, 3, "%02x", unsigned(b))));
  return out;
}

class McapWriterTest : public ::testing::Test {
 protected:
  ~McapWriterTest() override { ::unlink(path_.c_str()); }
  const std::string path_ = "/tmp/nimbrel_mcap_writer_test_" + std::to_string(::getpid());
  std::unique_ptr<FileSink> sink_ = FileSink::create(path_).value();
};

struct Case {
  const char* name;
  McapOptions options;
  std::uint64_t chunks;
  const char* compression;
};
class McapWriterRoundTrip : public McapWriterTest, public ::testing::WithParamInterface<Case> {};

// Thirty messages 10 ms apart on two channels, with sequence numbers unlike a count of their own
// and payloads that compress.
TEST_P(McapWriterRoundTrip, EveryMessageReadsBackWithItsSequenceAndChannelSchema) {
  McapWriter writer(*sink_, GetParam().options);
  ASSERT_TRUE(writer.start("", "nimbrel-test"));
  ASSERT_TRUE(writer.add_schema(7, "KeyedSeq", "omgidl", schema));
  ASSERT_TRUE(writer.add_channel({.id = 1,
                                  .schema_id = 7,
                                  .topic = "/a",
                                  .message_encoding = "cdr",
                                  .metadata = {{"k", "v"}}}));
  ASSERT_TRUE(
      writer.add_channel({.id = 2, .topic = "/b", .message_encoding = "cdr", .metadata = {}}));
  std::vector<std::string> messages;
  for (std::uint32_t i = 0; i < 30; ++i) {
    const auto channel = static_cast<std::uint16_t>(1 + i % 2);
    const std::uint32_t sequence = i % 2 == 0 ? 4'000'000'000U + i : i * 3;
    const std::uint64_t time = t0 + i * 10 * ms;
    fixtures::Bytes data(i * 97 % 600);
    for (std::size_t b = 0; b < data.size(); ++b)
      data[b] = static_cast<std::byte>((b / 8 + i) & 0xFF);
    ASSERT_TRUE(writer.write_message(channel, sequence, time, time - 5, data));
    messages.push_back("message " + std::to_string(channel) + " " + std::to_string(sequence) + " " +
                       std::to_string(time) + " " + std::to_string(time - 5) + " " + hex(data));
  }
  ASSERT_TRUE(writer.finish());

  const auto chunks = std::to_string(GetParam().chunks);
  std::vector<std::string> expected{
      "schema 7 KeyedSeq omgidl " + hex(schema),
      "channel 1 /a cdr schema=7 k=v",
      "channel 2 /b cdr schema=0 ",
      "statistics messages=30 schemas=1 channels=2 metadata=0 start=" + std::to_string(t0) +
          " end=" + std::to_string(t0 + 290 * ms),
      "count 1 15",
      "count 2 15",
      "chunks statistics=" + chunks + " indexes=" + chunks +
          " compression=" + GetParam().compression};
  std::ranges::sort(messages);
  expected.insert(expected.end(), messages.begin(), messages.end());
  expected.insert(expected.end(), {"streamed 30 done=true", "data_crc ok"});
  EXPECT_EQ(mcap_read_back(path_), expected);
}

// A 100 ms bound starts chunks at 0, 100 and 200 ms; 45 ms at 0, 50, ..., 250 ms.
constexpr std::size_t big = std::size_t{1} << 20;
constexpr auto lz4 = McapCompression::Lz4;
constexpr auto zstd = McapCompression::Zstd;
INSTANTIATE_TEST_SUITE_P(
    CompressionsAndBounds, McapWriterRoundTrip,
    ::testing::Values(
        Case{"Uncompressed", {.chunk_size = big}, 1, "none"},
        Case{"Lz4", {.chunk_size = big, .compression = lz4}, 1, "lz4"},
        Case{"Zstd", {.chunk_size = big, .compression = zstd}, 1, "zstd"},
        Case{"EveryMessageFillsAChunk", {.chunk_size = 1, .compression = zstd}, 30, "zstd"},
        Case{"TimeBound", {.chunk_size = big, .max_chunk_duration_ns = 100 * ms}, 3, "none"},
        Case{"TimeBoundLz4",
             {.chunk_size = big, .max_chunk_duration_ns = 45 * ms, .compression = lz4},
             6,
             "lz4"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(McapWriterTest, AnIdleChunkIsOnDiskOnceRequestedPastItsTimeBound) {
  McapWriter writer(*sink_, {.max_chunk_duration_ns = 100 * ms});
  ASSERT_TRUE(writer.start("", "nimbrel-test"));
  ASSERT_TRUE(writer.add_channel({.id = 1, .topic = "/a", .message_encoding = "", .metadata = {}}));
  ASSERT_TRUE(writer.write_message(1, 0, t0, t0, schema));
  const auto open = std::filesystem::file_size(path_);
  ASSERT_TRUE(writer.close_chunk_if_older(t0 + 99 * ms));
  EXPECT_EQ(std::filesystem::file_size(path_), open);
  ASSERT_TRUE(writer.close_chunk_if_older(t0 + 100 * ms));
  EXPECT_GT(std::filesystem::file_size(path_), open);
  ASSERT_TRUE(writer.write_message(1, 1, t0 + 150 * ms, t0, schema));
  ASSERT_TRUE(writer.finish());
  const auto lines = mcap_read_back(path_);
  EXPECT_EQ(std::ranges::count(lines, "chunks statistics=2 indexes=2 compression=none"), 1);
}

// A full disk drops the chunk being written, its channel record goes out with the next one, and the
// file reads back whole with every other message, whether the cut happens at once or is put off.
TEST_F(McapWriterTest, AFailedChunkIsCutAwayAndWritingGoesOnWhenThereIsRoom) {
  for (const bool truncate_fails_once : {false, true}) {
    auto state = std::make_shared<fixtures::SinkState>();
    auto sink = fixtures::memory_sink(state);
    McapWriter writer(*sink, {.chunk_size = 1, .compression = zstd});
    ASSERT_TRUE(writer.start("", "nimbrel-test"));
    ASSERT_TRUE(
        writer.add_channel({.id = 1, .topic = "/a", .message_encoding = "cdr", .metadata = {}}));
    ASSERT_TRUE(writer.write_message(1, 0, t0, t0, schema));
    ASSERT_TRUE(
        writer.add_channel({.id = 2, .topic = "/b", .message_encoding = "cdr", .metadata = {}}));
    state->room = 10;
    if (truncate_fails_once) state->truncate_error = std::make_error_code(std::errc::io_error);
    EXPECT_FALSE(writer.write_message(2, 1, t0 + ms, t0, schema));
    EXPECT_EQ(writer.take_dropped(), (std::vector<DroppedMessages>{{.channel = 2, .count = 1}}));
    state->room.reset();
    state->truncate_error.reset();
    ASSERT_TRUE(writer.write_message(2, 2, t0 + 2 * ms, t0, schema));
    ASSERT_TRUE(writer.finish());
    EXPECT_TRUE(writer.take_dropped().empty());
    EXPECT_EQ(writer.bytes_written(), state->bytes.size());

    {
      std::unique_ptr<FileSink> file = FileSink::create(path_).value();
      ASSERT_TRUE(file->write_all(state->bytes));
    }
    const auto lines = mcap_read_back(path_);
    EXPECT_EQ(
        std::ranges::count_if(lines, [](const std::string& l) { return l.starts_with("message"); }),
        2);
    EXPECT_EQ(std::ranges::count(lines, "channel 2 /b cdr schema=0 "), 1);
    EXPECT_EQ(std::ranges::count(lines, "data_crc ok"), 1);
  }
}

}  // namespace
}  // namespace nimbrel::recorder::testing
