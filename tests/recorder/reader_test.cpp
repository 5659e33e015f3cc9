#include "recorder/reader.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "recorder/recording_fixtures.hpp"

namespace nimbrel::recorder {
namespace {

using fixtures::Bytes;
using fixtures::cat;
using fixtures::raw;
using fixtures::text;

Bytes u32(std::uint32_t v) {
  return raw({v & 0xFFU, (v >> 8) & 0xFFU, (v >> 16) & 0xFFU, v >> 24});
}

// clang-format off
Bytes frame_bytes(unsigned tag, std::uint32_t participant_idx, std::uint32_t topic_idx,
                  std::uint32_t length, const Bytes& payload) {
  return cat({raw({tag}),                          // tag
              raw({1, 0, 0, 0, 0, 0, 0, 0}),       // time 1
              u32(participant_idx), u32(topic_idx),
              raw({0}),                            // kind
              u32(length), payload});
}
// clang-format on

using FrameTuple = std::tuple<std::uint64_t, std::uint32_t, std::uint32_t, std::uint8_t, Bytes>;

// Works for the reader's frames and the strict test parser's.
template <typename F>
std::vector<FrameTuple> tuples(const std::vector<F>& frames) {
  std::vector<FrameTuple> out;
  for (const F& f : frames)
    out.emplace_back(f.time, f.participant_idx, f.topic_idx, f.kind,
                     Bytes(f.payload.begin(), f.payload.end()));
  return out;
}

// The example header and three frames written by the real writer; `boundaries` are the offsets at
// which a whole record ends.
struct Written {
  Bytes bytes;
  std::vector<std::size_t> boundaries;
};

Written written_recording() {
  auto sink = std::make_shared<fixtures::SinkState>();
  RecordingWriter writer(fixtures::memory_sink(sink));
  Written out;
  EXPECT_TRUE(writer.write_header(fixtures::example_header()));
  out.boundaries.push_back(sink->bytes.size());
  const Bytes payloads[] = {raw({0xAA, 0xBB, 0xCC}), {}, text("hello")};
  std::uint32_t topic = 1;
  for (const Bytes& payload : payloads) {
    EXPECT_TRUE(writer.write_frame(
        {.payload = payload, .time = 1000u + topic, .participant_idx = 0, .topic_idx = topic}));
    out.boundaries.push_back(sink->bytes.size());
    topic ^= 1U;
  }
  out.bytes = sink->bytes;
  return out;
}

TEST(RecordingReader, RoundTripsTheHeaderTheWriterWrote) {
  const auto recording = read_recording(written_recording().bytes);
  ASSERT_TRUE(recording) << to_string(recording.error());
  EXPECT_EQ(recording->header.start_ns, fixtures::example_start_ns);
  EXPECT_EQ(recording->header.topics, fixtures::example_header().topics);
  ASSERT_EQ(recording->header.participants.size(), 1u);
  EXPECT_EQ(recording->header.participants[0].name, "recorder-bridge");
  EXPECT_EQ(recording->frames.size(), 3u);
  EXPECT_EQ(to_string(recording->end), "clean end at byte 155");
}

// The strict test parser of whole records is the oracle for the frames.
TEST(RecordingReader, EveryCutEndsAtTheLastWholeFrameOrFailsInTheHeader) {
  const Written w = written_recording();
  for (std::size_t cut = 0; cut <= w.bytes.size(); ++cut) {
    SCOPED_TRACE(cut);
    const std::span<const std::byte> prefix(w.bytes.data(), cut);
    const auto recording = read_recording(prefix);
    if (cut < w.boundaries.front()) {
      EXPECT_FALSE(recording);
      continue;
    }
    ASSERT_TRUE(recording) << to_string(recording.error());
    std::size_t whole = 0;
    for (std::size_t b : w.boundaries)
      if (b <= cut) whole = b;
    const auto oracle = fixtures::parse_recording(std::span(w.bytes.data(), whole));
    ASSERT_TRUE(oracle);
    EXPECT_EQ(tuples(recording->frames), tuples(oracle->frames));
    EXPECT_EQ(recording->end.offset, whole);
    EXPECT_EQ(recording->end.reason,
              whole == cut ? DataEnd::Reason::Clean : DataEnd::Reason::FrameCut);
  }
}

struct TailCase {
  const char* name;
  Bytes tail;
  std::string end;
};

class InconsistentTail : public ::testing::TestWithParam<TailCase> {};

TEST_P(InconsistentTail, EndsTheDataAfterTheWholeFrames) {
  const Bytes good = frame_bytes(0x46, 0, 1, 2, raw({7, 8}));
  const Bytes data = cat({fixtures::example_header_bytes(), good, GetParam().tail, good});
  const auto recording = read_recording(data);
  ASSERT_TRUE(recording);
  ASSERT_EQ(recording->frames.size(), 1u);
  EXPECT_EQ(recording->frames[0].payload.size(), 2u);
  EXPECT_EQ(to_string(recording->end), GetParam().end);
}

INSTANTIATE_TEST_SUITE_P(
    Tails, InconsistentTail,
    ::testing::Values(TailCase{"BadTag", frame_bytes(0x47, 0, 0, 0, {}),
                               "bad frame tag 0x47 at byte 105"},
                      TailCase{"TopicPastList", frame_bytes(0x46, 0, 2, 0, {}),
                               "topic_idx 2 >= topic_count 2 at byte 105"},
                      TailCase{"ParticipantPastList", frame_bytes(0x46, 1, 0, 0, {}),
                               "participant_idx 1 >= participant_count 1 at byte 105"},
                      // The frames after it are swallowed by the length, which runs past the end.
                      TailCase{"HugeLength", frame_bytes(0x46, 0, 0, 0xFFFFFFFF, {}),
                               "frame cut short at byte 105: needs 4294967317 bytes, 46 left"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

struct HeaderCase {
  const char* name;
  Bytes bytes;
  std::string error;
};

class HeaderCheck : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderCheck, AcceptsOrNamesTheFault) {
  const auto recording = read_recording(GetParam().bytes);
  EXPECT_EQ(recording ? "ok" : to_string(recording.error()), GetParam().error);
}

Bytes fixed(std::uint32_t version, std::uint32_t participants, std::uint32_t topics) {
  return cat({text("NBRL"), u32(version), Bytes(8, std::byte{0}), u32(participants), u32(topics)});
}

const Bytes empty_participant = Bytes(20, std::byte{0});  // GUID, empty name
const Bytes empty_topic = Bytes(8, std::byte{0});

INSTANTIATE_TEST_SUITE_P(
    Headers, HeaderCheck,
    ::testing::Values(
        HeaderCase{"CountsThatJustFit", cat({fixed(1, 1, 1), empty_participant, empty_topic}),
                   "ok"},
        HeaderCase{"TooShort", Bytes(23, std::byte{0}),
                   "too short for a header: 23 bytes, at least 24 needed"},
        HeaderCase{"Magic", cat({text("NBRM"), Bytes(20, std::byte{0})}),
                   "bad magic 4e 42 52 4d, expected \"NBRL\""},
        HeaderCase{"Version", fixed(2, 0, 0), "unsupported format version 2, expected 1"},
        HeaderCase{"HugeParticipantCount", fixed(1, 0xFFFFFFFF, 0),
                   "participant count 4294967295 does not fit in the 0 bytes left at byte 24"},
        HeaderCase{"ParticipantCountOnePastFit", cat({fixed(1, 2, 0), empty_participant}),
                   "participant count 2 does not fit in the 20 bytes left at byte 24"},
        HeaderCase{"HugeTopicCount", cat({fixed(1, 1, 0xFFFFFFFF), empty_participant}),
                   "topic count 4294967295 does not fit in the 0 bytes left at byte 44"},
        HeaderCase{"TopicCountOnePastFit", cat({fixed(1, 0, 2), empty_topic, raw({0})}),
                   "topic count 2 does not fit in the 9 bytes left at byte 24"},
        HeaderCase{"HugeNameLength",
                   cat({fixed(1, 1, 0), Bytes(16, std::byte{0}), u32(0xFFFFFFFF)}),
                   "header cut short at byte 44: participant name needs 4294967295 bytes, 0 left"},
        HeaderCase{"TopicNameCut", cat({fixed(1, 0, 1), u32(0), u32(3), text("ab")}),
                   "header cut short at byte 32: topic name needs 3 bytes, 2 left"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(RecordingFile, ReadsWhatTheFileSinkWrote) {
  char path[] = "/tmp/nimbrel_reader_test_XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  const Written w = written_recording();
  {
    auto sink = FileSink::create(path);
    ASSERT_TRUE(sink);
    ASSERT_TRUE((*sink)->write_all(w.bytes));
  }
  auto file = RecordingFile::open(path);
  ::unlink(path);
  ASSERT_TRUE(file) << to_string(file.error());
  RecordingFile moved = std::move(*file);
  EXPECT_EQ(tuples(moved.recording().frames), tuples(fixtures::parse_recording(w.bytes)->frames));

  const auto missing = RecordingFile::open(path);
  ASSERT_FALSE(missing);
  EXPECT_EQ(to_string(missing.error()), "io: No such file or directory");
}

}  // namespace
}  // namespace nimbrel::recorder
