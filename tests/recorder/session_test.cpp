#include "recorder/session.hpp"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "recorder/recording_fixtures.hpp"

namespace nimbrel::recorder {
namespace {

using fixtures::Bytes;
using fixtures::cat;
using fixtures::raw;
using Guid = std::array<std::uint8_t, 16>;

constexpr Guid zero_guid{};
const TopicKey topic_a{.name = "A", .type_name = "TA"};
const TopicKey topic_b{.name = "B", .type_name = "TB"};

std::string text_of(const std::expected<void, SessionError>& result) {
  return result ? "ok" : to_string(result.error());
}

class SessionTest : public ::testing::Test {
 protected:
  std::shared_ptr<fixtures::SinkState> sink = std::make_shared<fixtures::SinkState>();
  RecordingSession session{RecordingWriter(fixtures::memory_sink(sink)),
                           fixtures::example_header()};
  const std::uint64_t start = fixtures::example_start_ns;
};

TEST_F(SessionTest, FirstSampleWritesTheHeaderThenItsFrame) {
  EXPECT_TRUE(sink->bytes.empty());  // nothing before the first sample

  ASSERT_EQ(text_of(session.record(topic_b, zero_guid, raw({0xCA, 0xFE, 0x01}), start + 0x1122)),
            "ok");

  // clang-format off
  const Bytes expected = cat({
      fixtures::example_header_bytes(),               // 81-byte header
      raw({0x46}),                                    // frame tag
      raw({0x22, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}),  // time since start_ns
      raw({0x00, 0x00, 0x00, 0x00}),                  // participant_idx 0
      raw({0x01, 0x00, 0x00, 0x00}),                  // topic_idx 1 (B:TB)
      raw({0x00}),                                    // kind
      raw({0x03, 0x00, 0x00, 0x00}),                  // payload length
      raw({0xCA, 0xFE, 0x01}),                        // payload
  });
  // clang-format on
  EXPECT_EQ(sink->bytes, expected);
  EXPECT_EQ(session.recorded(), 1u);
  EXPECT_EQ(session.dropped(), 0u);
  EXPECT_EQ(session.bytes(), expected.size());
}

TEST_F(SessionTest, UnknownTopicIsDroppedAndWritesNothing) {
  ASSERT_EQ(text_of(session.record(topic_a, zero_guid, raw({1}), start)), "ok");
  const Bytes before = sink->bytes;

  // Both halves of the key must match.
  EXPECT_EQ(text_of(session.record({.name = "A", .type_name = "TB"}, zero_guid, raw({2}), start)),
            "ok");
  EXPECT_EQ(text_of(session.record({.name = "C", .type_name = "TC"}, zero_guid, raw({3}), start)),
            "ok");

  EXPECT_EQ(sink->bytes, before);
  EXPECT_EQ(session.dropped(), 2u);
  EXPECT_EQ(session.recorded(), 1u);
  EXPECT_EQ(session.bytes(), before.size());
}

TEST(SessionMapping, IndicesAndTimesFollowTheHeader) {
  Guid peer{};
  peer.fill(0xAA);
  Guid stranger{};
  stranger.fill(0x55);
  Header header{.participants = {{.name = "recorder-bridge", .guid = zero_guid},
                                 {.name = "peer", .guid = peer}},
                .topics = {topic_a, topic_b, topic_a},
                .start_ns = 1'000};
  struct Case {
    TopicKey topic;
    Guid guid;
    std::uint64_t timestamp;
    std::uint32_t participant_idx;
    std::uint32_t topic_idx;
    std::uint64_t time;
  };
  // clang-format off
  const std::vector<Case> cases = {
      {topic_a, zero_guid, 1'005, 0, 0, 5},  // duplicate topic: the first entry wins
      {topic_b, peer,      1'000, 1, 1, 0},
      {topic_b, stranger,  2'000, 0, 1, 1'000},  // unknown participant falls back to 0
      {topic_a, peer,        999, 1, 0, 0},  // clock stepped back below the start
      {topic_a, peer,          0, 1, 0, 0},
  };
  // clang-format on
  auto sink = std::make_shared<fixtures::SinkState>();
  RecordingSession session(RecordingWriter(fixtures::memory_sink(sink)), header);
  for (const Case& c : cases)
    ASSERT_EQ(text_of(session.record(c.topic, c.guid, {}, c.timestamp)), "ok");

  const auto parsed = fixtures::parse_recording(sink->bytes);
  ASSERT_TRUE(parsed);
  ASSERT_EQ(parsed->frames.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(parsed->frames[i].participant_idx, cases[i].participant_idx);
    EXPECT_EQ(parsed->frames[i].topic_idx, cases[i].topic_idx);
    EXPECT_EQ(parsed->frames[i].time, cases[i].time);
    EXPECT_EQ(parsed->frames[i].kind, 0);
  }
}

TEST_F(SessionTest, WriteFailureMidFrameLosesOnlyThatSample) {
  ASSERT_EQ(text_of(session.record(topic_a, zero_guid, raw({1, 1, 1}), start)), "ok");
  sink->room = 7;  // the next frame stops inside its fixed fields
  EXPECT_EQ(text_of(session.record(topic_b, zero_guid, raw({2, 2, 2}), start)),
            "writer: io: No space left on device");
  EXPECT_EQ(session.recorded(), 1u);
  EXPECT_EQ(session.dropped(), 0u);

  sink->room.reset();
  ASSERT_EQ(text_of(session.record(topic_b, zero_guid, raw({3, 3, 3}), start)), "ok");

  const auto parsed = fixtures::parse_recording(sink->bytes);
  ASSERT_TRUE(parsed) << "file holds a partial frame";
  ASSERT_EQ(parsed->frames.size(), 2u);
  EXPECT_EQ(parsed->frames[0].payload, raw({1, 1, 1}));
  EXPECT_EQ(parsed->frames[1].payload, raw({3, 3, 3}));
  EXPECT_EQ(session.recorded(), 2u);
  EXPECT_EQ(session.bytes(), sink->bytes.size());
}

TEST_F(SessionTest, HeaderIsRetriedAfterAFailedFirstWrite) {
  sink->room = 40;
  EXPECT_EQ(text_of(session.record(topic_a, zero_guid, raw({1}), start)),
            "writer: io: No space left on device");
  EXPECT_EQ(session.recorded(), 0u);
  EXPECT_EQ(session.bytes(), 0u);

  sink->room.reset();
  ASSERT_EQ(text_of(session.record(topic_a, zero_guid, raw({2}), start)), "ok");
  const auto parsed = fixtures::parse_recording(sink->bytes);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(Bytes(sink->bytes.begin(), sink->bytes.begin() + 81), fixtures::example_header_bytes());
  ASSERT_EQ(parsed->frames.size(), 1u);
  EXPECT_EQ(parsed->frames[0].payload, raw({2}));
}

TEST_F(SessionTest, PoisonedMutexRefusesLaterSamples) {
  sink->throw_on_write = true;
  EXPECT_THROW((void)session.record(topic_a, zero_guid, raw({1}), start), std::runtime_error);
  sink->throw_on_write = false;

  EXPECT_EQ(text_of(session.record(topic_a, zero_guid, raw({1}), start)), "session mutex poisoned");
  EXPECT_TRUE(sink->bytes.empty());
  EXPECT_EQ(session.recorded(), 0u);
  EXPECT_EQ(session.dropped(), 0u);
}

TEST(SessionFile, FullDeviceErrorText) {
  auto sink = FileSink::create("/dev/full");
  if (!sink) GTEST_SKIP() << "/dev/full unavailable";
  RecordingSession session(RecordingWriter(std::move(*sink)), fixtures::example_header());
  EXPECT_EQ(text_of(session.record(topic_a, zero_guid, raw({1}), 0)),
            "writer: io: No space left on device");
}

// Each payload names its thread and sequence and is padded with the thread's byte to a varying
// length, so an interleaved or torn frame shows up as a payload that does not add up.
TEST_F(SessionTest, ConcurrentRecordsNeverInterleave) {
  constexpr int threads = 4;
  constexpr int per_thread = 250;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      for (int seq = 0; seq < per_thread; ++seq) {
        Bytes payload = raw({static_cast<unsigned>(t), static_cast<unsigned>(seq & 0xFF),
                             static_cast<unsigned>(seq >> 8)});
        payload.resize(payload.size() + static_cast<std::size_t>(seq % 61),
                       static_cast<std::byte>(t));
        (void)session.record(t % 2 == 0 ? topic_a : topic_b, zero_guid, payload, start);
      }
    });
  }
  for (auto& worker : workers)
    worker.join();

  const auto parsed = fixtures::parse_recording(sink->bytes);
  ASSERT_TRUE(parsed);
  ASSERT_EQ(parsed->frames.size(), static_cast<std::size_t>(threads * per_thread));
  std::array<int, threads> next_seq{};
  for (const auto& frame : parsed->frames) {
    ASSERT_GE(frame.payload.size(), 3u);
    const int t = std::to_integer<int>(frame.payload[0]);
    ASSERT_LT(t, threads);
    const int seq = std::to_integer<int>(frame.payload[1]) | std::to_integer<int>(frame.payload[2])
                                                                 << 8;
    EXPECT_EQ(seq, next_seq[static_cast<std::size_t>(t)]++);
    EXPECT_EQ(frame.topic_idx, static_cast<std::uint32_t>(t % 2));
    EXPECT_EQ(frame.payload.size(), 3u + static_cast<std::size_t>(seq % 61));
    for (std::size_t i = 3; i < frame.payload.size(); ++i)
      ASSERT_EQ(frame.payload[i], static_cast<std::byte>(t));
  }
  EXPECT_EQ(session.recorded(), static_cast<std::uint64_t>(threads * per_thread));
  EXPECT_EQ(session.bytes(), sink->bytes.size());
}

}  // namespace
}  // namespace nimbrel::recorder
