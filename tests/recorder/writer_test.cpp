#include "recorder/writer.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include "recorder/recording_fixtures.hpp"

namespace nimbrel::recorder {
namespace {

using fixtures::Bytes;
using fixtures::bytes;

std::string text_of(const std::expected<void, WriteError>& result) {
  return result ? "ok" : to_string(result.error());
}

Frame frame_on(std::uint32_t topic_idx, std::span<const std::byte> payload) {
  return {.payload = payload, .time = 9, .participant_idx = 0, .topic_idx = topic_idx, .kind = 0};
}

Bytes encoded(const Frame& frame) {
  return rtps::encode_bytes(frame, /*little_endian=*/true);
}

class WriterTest : public ::testing::Test {
 protected:
  std::shared_ptr<fixtures::SinkState> sink = std::make_shared<fixtures::SinkState>();
  RecordingWriter writer{fixtures::memory_sink(sink)};
  const Bytes payload = bytes({0x10, 0x20, 0x30, 0x40, 0x50});
};

TEST_F(WriterTest, HeaderAndFramesGoBackToBack) {
  ASSERT_EQ(text_of(writer.write_header(fixtures::example_header())), "ok");
  ASSERT_EQ(text_of(writer.write_frame(frame_on(1, payload))), "ok");
  ASSERT_EQ(text_of(writer.write_frame(frame_on(0, {}))), "ok");

  EXPECT_EQ(sink->bytes,
            fixtures::concat({fixtures::example_header_bytes(), encoded(frame_on(1, payload)),
                              encoded(frame_on(0, {}))}));
  EXPECT_EQ(writer.bytes_written(), sink->bytes.size());
  EXPECT_EQ(writer.frames_written(), 2u);
}

TEST_F(WriterTest, RefusedRecordsLeaveSinkAndCountersAlone) {
  EXPECT_EQ(text_of(writer.write_frame(frame_on(0, payload))), "frame written before header");
  EXPECT_TRUE(sink->bytes.empty());

  ASSERT_EQ(text_of(writer.write_header(fixtures::example_header())), "ok");
  const Bytes after_header = sink->bytes;
  EXPECT_EQ(text_of(writer.write_header(fixtures::example_header())), "header already written");
  EXPECT_EQ(text_of(writer.write_frame(frame_on(2, payload))), "topic_idx 2 >= topic_count 2");
  Frame foreign = frame_on(0, payload);
  foreign.participant_idx = 1;
  EXPECT_EQ(text_of(writer.write_frame(foreign)), "participant_idx 1 >= participant_count 1");
  foreign.topic_idx = 7;  // the participant is checked first
  EXPECT_EQ(text_of(writer.write_frame(foreign)), "participant_idx 1 >= participant_count 1");

  EXPECT_EQ(sink->bytes, after_header);
  EXPECT_EQ(writer.bytes_written(), after_header.size());
  EXPECT_EQ(writer.frames_written(), 0u);
}

TEST_F(WriterTest, PayloadPastTheLengthFieldIsRefusedUnread) {
  // Address space only: any read of it faults, so passing proves the refusal comes first.
  const std::size_t size = std::size_t{0x1'0000'0000};
  void* region =
      ::mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (region == MAP_FAILED) GTEST_SKIP() << "cannot reserve 4 GiB of address space";
  ASSERT_EQ(text_of(writer.write_header(fixtures::example_header())), "ok");
  const std::span<const std::byte> huge(static_cast<const std::byte*>(region), size);
  EXPECT_EQ(text_of(writer.write_frame(frame_on(0, huge))),
            "payload length 4294967296 exceeds 4294967295");
  EXPECT_EQ(sink->bytes, fixtures::example_header_bytes());
  ::munmap(region, size);
}

// A frame cut off by a full device must not stay in front of the frames written after it; while
// it cannot be cut back, the sink takes no further records.
TEST_F(WriterTest, PartialFrameIsCutBackBeforeTheNextOne) {
  ASSERT_EQ(text_of(writer.write_header(fixtures::example_header())), "ok");
  ASSERT_EQ(text_of(writer.write_frame(frame_on(0, payload))), "ok");
  sink->room = 10;
  sink->truncate_error = std::make_error_code(std::errc::invalid_argument);
  EXPECT_EQ(text_of(writer.write_frame(frame_on(1, payload))), "io: No space left on device");
  sink->room.reset();
  const Bytes with_partial_frame = sink->bytes;
  EXPECT_EQ(text_of(writer.write_frame(frame_on(1, payload))), "io: Invalid argument");
  EXPECT_EQ(sink->bytes, with_partial_frame);

  sink->truncate_error.reset();
  ASSERT_EQ(text_of(writer.write_frame(frame_on(1, bytes({0xEE})))), "ok");
  EXPECT_EQ(
      fixtures::whole_frames(sink->bytes),
      (std::vector<fixtures::ParsedFrame>{{9, 0, 0, 0, payload}, {9, 0, 1, 0, bytes({0xEE})}}));
  EXPECT_EQ(writer.frames_written(), 2u);
  EXPECT_EQ(writer.bytes_written(), sink->bytes.size());
}

TEST_F(WriterTest, FailedHeaderIsCutBackAndCanBeWrittenAgain) {
  sink->room = 30;
  EXPECT_EQ(text_of(writer.write_header(fixtures::example_header())),
            "io: No space left on device");
  EXPECT_FALSE(writer.header_written());
  EXPECT_TRUE(sink->bytes.empty());
  EXPECT_EQ(text_of(writer.write_frame(frame_on(0, payload))), "frame written before header");

  sink->room.reset();
  ASSERT_EQ(text_of(writer.write_header(fixtures::example_header())), "ok");
  EXPECT_EQ(sink->bytes, fixtures::example_header_bytes());
  EXPECT_EQ(writer.bytes_written(), 81u);
}

// A batch goes up to its first refused frame; a device that fills up in the middle of a batch
// keeps the frames that are whole in it, and the counters count exactly those.
TEST_F(WriterTest, BatchStopsAtARefusedFrameOrAtTheLastWholeFrame) {
  ASSERT_EQ(text_of(writer.write_header(fixtures::example_header())), "ok");
  const Frame refused[] = {frame_on(0, payload), frame_on(2, payload), frame_on(1, payload)};
  auto written = writer.write_frames(refused);
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().written, 1u);
  EXPECT_EQ(to_string(written.error().error), "topic_idx 2 >= topic_count 2");

  const auto last = bytes({0xEE});
  const Frame three[] = {frame_on(1, payload), frame_on(0, {}), frame_on(1, last)};
  sink->room = (22 + 5) + 22 + 10;  // the third frame of the batch is cut off
  written = writer.write_frames(three);
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().written, 2u);
  EXPECT_EQ(to_string(written.error().error), "io: No space left on device");
  EXPECT_EQ(fixtures::whole_frames(sink->bytes),
            (std::vector<fixtures::ParsedFrame>{
                {9, 0, 0, 0, payload}, {9, 0, 1, 0, payload}, {9, 0, 0, 0, {}}}));
  EXPECT_EQ(writer.frames_written(), 3u);
  EXPECT_EQ(writer.bytes_written(), sink->bytes.size());

  sink->room.reset();
  ASSERT_TRUE(writer.write_frames(three));
  EXPECT_EQ(writer.frames_written(), 6u);
  EXPECT_EQ(writer.bytes_written(), sink->bytes.size());
}

TEST(WriteErrorText, SinkThatAcceptsNothing) {
  EXPECT_EQ(to_string(WriteError::io_error(make_error_code(SinkErrc::WriteZero))),
            "io: failed to write whole buffer");
}

TEST(FileSink, EmptiesAnOldFileCutsBackAndReportsErrno) {
  const std::string path =
      ::testing::TempDir() + "recorder_file_sink_" + std::to_string(::getpid());
  const auto contents = [&] {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  std::ofstream(path) << "stale content";
  auto sink = FileSink::create(path);
  ASSERT_TRUE(sink) << sink.error().message();
  EXPECT_EQ(contents(), "");
  ASSERT_TRUE((*sink)->write_all(fixtures::text("abcdef")));
  ASSERT_TRUE((*sink)->truncate(3));
  ASSERT_TRUE((*sink)->truncate(3));
  ASSERT_TRUE((*sink)->write_all(fixtures::text("XY")));
  sink->reset();
  EXPECT_EQ(contents(), "abcXY");
  std::remove(path.c_str());
  EXPECT_EQ(FileSink::create(path + "/missing-directory/file").error(),
            std::error_code(ENOENT, std::generic_category()));
}

// More pieces than one system call takes, empty ones among them, arrive in order.
TEST(FileSink, GatheredWriteOfManyPieces) {
  const std::string path =
      ::testing::TempDir() + "recorder_gathered_sink_" + std::to_string(::getpid());
  std::vector<Bytes> owned;
  std::string expected;
  for (int i = 0; i < 3000; ++i) {
    const std::string piece = i % 3 == 0 ? "" : std::to_string(i) + ",";
    owned.push_back(fixtures::text(piece));
    expected += piece;
  }
  const std::vector<std::span<const std::byte>> pieces(owned.begin(), owned.end());
  {
    auto sink = FileSink::create(path);
    ASSERT_TRUE(sink);
    ASSERT_TRUE((*sink)->write_gathered(pieces));
  }
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), expected);
  std::remove(path.c_str());

  auto full = FileSink::create("/dev/full");
  if (!full) GTEST_SKIP() << "no /dev/full";
  const auto failed = (*full)->write_gathered(pieces);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().error, std::error_code(ENOSPC, std::generic_category()));
  EXPECT_EQ(failed.error().written, 0u);
}

}  // namespace
}  // namespace nimbrel::recorder
