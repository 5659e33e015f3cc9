#include "recorder/reader.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include "recorder/recording_fixtures.hpp"

namespace nimbrel::recorder {
namespace {

using fixtures::Bytes;
using fixtures::bytes;
using fixtures::concat;
using fixtures::ParsedFrame;
using fixtures::text;

Bytes u32(std::uint32_t v) {
  return bytes({v & 0xFFU, (v >> 8) & 0xFFU, (v >> 16) & 0xFFU, v >> 24});
}

// clang-format off
Bytes frame_bytes(unsigned tag, std::uint32_t participant_idx, std::uint32_t topic_idx,
                  std::uint32_t length, const Bytes& payload) {
  return concat({bytes({tag}),                          // tag
              bytes({1, 0, 0, 0, 0, 0, 0, 0}),       // time 1
              u32(participant_idx), u32(topic_idx),
              bytes({0}),                            // kind
              u32(length), payload});
}
// clang-format on

// The example header and three frames written by the real writer; `boundaries` are the offsets at
// which a whole record ends.
struct Written {
  Bytes bytes;
  std::vector<std::size_t> boundaries;
};

const std::vector<ParsedFrame> written_frames{{1001, 0, 1, 0, bytes({0xAA, 0xBB, 0xCC})},
                                              {1000, 0, 0, 0, {}},
                                              {1001, 0, 1, 0, text("hello")}};

Written written_recording() {
  auto sink = std::make_shared<fixtures::SinkState>();
  RecordingWriter writer(fixtures::memory_sink(sink));
  Written out;
  EXPECT_TRUE(writer.write_header(fixtures::example_header()));
  out.boundaries.push_back(sink->bytes.size());
  for (const ParsedFrame& f : written_frames) {
    EXPECT_TRUE(writer.write_frame({f.payload, f.time, f.participant_idx, f.topic_idx, f.kind}));
    out.boundaries.push_back(sink->bytes.size());
  }
  out.bytes = sink->bytes;
  return out;
}

TEST(RecordingReader, RoundTripsWhatTheWriterWrote) {
  const Written written = written_recording();  // the frames borrow from these bytes
  const auto recording = read_recording(written.bytes);
  ASSERT_TRUE(recording) << to_string(recording.error());
  EXPECT_EQ(recording->header.start_ns, fixtures::example_start_ns);
  EXPECT_EQ(recording->header.topics, fixtures::example_header().topics);
  ASSERT_EQ(recording->header.participants.size(), 1u);
  EXPECT_EQ(recording->header.participants[0].name, "recorder-bridge");
  EXPECT_EQ(fixtures::parsed(recording->frames), written_frames);
  EXPECT_EQ(to_string(recording->end), "clean end at byte 155");
}

TEST(RecordingReader, EveryCutEndsAtTheLastWholeFrameOrFailsInTheHeader) {
  const Written w = written_recording();
  for (std::size_t cut = 0; cut <= w.bytes.size(); ++cut) {
    SCOPED_TRACE(cut);
    const auto recording = read_recording(std::span(w.bytes.data(), cut));
    if (cut < w.boundaries.front()) {
      EXPECT_FALSE(recording);
      continue;
    }
    ASSERT_TRUE(recording) << to_string(recording.error());
    std::size_t whole = 0;  // frames that fit
    while (whole + 1 < w.boundaries.size() && w.boundaries[whole + 1] <= cut)
      ++whole;
    EXPECT_EQ(fixtures::parsed(recording->frames),
              std::vector(written_frames.begin(), written_frames.begin() + whole));
    EXPECT_EQ(recording->end.offset, w.boundaries[whole]);
    EXPECT_EQ(recording->end.reason,
              w.boundaries[whole] == cut ? DataEnd::Reason::Clean : DataEnd::Reason::FrameCut);
  }
}

// A frame that does not fit the header ends the data after the whole frames before it.
TEST(RecordingReader, InconsistentFrameEndsTheData) {
  const Bytes good = frame_bytes(0x46, 0, 1, 2, bytes({7, 8}));
  // clang-format off
  const std::pair<Bytes, std::string> tails[] = {
      {frame_bytes(0x47, 0, 0, 0, {}), "bad frame tag 0x47 at byte 105"},
      {frame_bytes(0x46, 0, 2, 0, {}), "topic_idx 2 >= topic_count 2 at byte 105"},
      {frame_bytes(0x46, 1, 0, 0, {}), "participant_idx 1 >= participant_count 1 at byte 105"},
      // The frames after it are swallowed by the length, which runs past the end.
      {frame_bytes(0x46, 0, 0, 0xFFFFFFFF, {}),
       "frame cut short at byte 105: needs 4294967317 bytes, 46 left"}};
  // clang-format on
  for (const auto& [tail, end] : tails) {
    const Bytes data = concat({fixtures::example_header_bytes(), good, tail, good});
    const auto recording = read_recording(data);
    ASSERT_TRUE(recording);
    EXPECT_EQ(fixtures::parsed(recording->frames),
              (std::vector<ParsedFrame>{{1, 0, 1, 0, bytes({7, 8})}}));
    EXPECT_EQ(to_string(recording->end), end);
  }
}

Bytes fixed(std::uint32_t version, std::uint32_t participants, std::uint32_t topics) {
  return concat({text("NBRL"), u32(version), fixtures::zeros(8), u32(participants), u32(topics)});
}

TEST(RecordingReader, HeaderIsAcceptedOrItsFaultNamed) {
  const Bytes participant = fixtures::zeros(20);  // GUID, empty name
  const Bytes topic = fixtures::zeros(8);
  // clang-format off
  const std::pair<Bytes, std::string> cases[] = {
      {concat({fixed(1, 1, 1), participant, topic}), "ok"},  // counts that just fit
      {fixtures::zeros(23), "too short for a header: 23 bytes, at least 24 needed"},
      {concat({text("NBRM"), fixtures::zeros(20)}), "bad magic 4e 42 52 4d, expected \"NBRL\""},
      {fixed(2, 0, 0), "unsupported format version 2, expected 1"},
      {fixed(1, 0xFFFFFFFF, 0),
       "participant count 4294967295 does not fit in the 0 bytes left at byte 24"},
      {concat({fixed(1, 2, 0), participant}),
       "participant count 2 does not fit in the 20 bytes left at byte 24"},
      {concat({fixed(1, 1, 0xFFFFFFFF), participant}),
       "topic count 4294967295 does not fit in the 0 bytes left at byte 44"},
      {concat({fixed(1, 0, 2), topic, bytes({0})}),
       "topic count 2 does not fit in the 9 bytes left at byte 24"},
      {concat({fixed(1, 1, 0), fixtures::zeros(16), u32(0xFFFFFFFF)}),
       "header cut short at byte 44: participant name needs 4294967295 bytes, 0 left"},
      {concat({fixed(1, 0, 1), u32(0), u32(3), text("ab")}),
       "header cut short at byte 32: topic name needs 3 bytes, 2 left"}};
  // clang-format on
  for (const auto& [bytes, error] : cases) {
    const auto recording = read_recording(bytes);
    EXPECT_EQ(recording ? "ok" : to_string(recording.error()), error);
  }
}

TEST(RecordingFile, ReadsWhatTheFileSinkWrote) {
  char path[] = "/tmp/nimbrel_reader_test_XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  ASSERT_TRUE(FileSink::create(path).value()->write_all(written_recording().bytes));
  auto file = RecordingFile::open(path);
  ::unlink(path);
  ASSERT_TRUE(file) << to_string(file.error());
  const RecordingFile moved = std::move(*file);
  EXPECT_EQ(fixtures::parsed(moved.recording().frames), written_frames);
  EXPECT_EQ(to_string(RecordingFile::open(path).error()), "io: No such file or directory");
}

}  // namespace
}  // namespace nimbrel::recorder
