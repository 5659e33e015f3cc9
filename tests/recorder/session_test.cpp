#include "recorder/session.hpp"

#include <gtest/gtest.h>

#include <array>
#include <thread>

#include "recorder/recording_fixtures.hpp"

namespace nimbrel::recorder {
namespace {

using fixtures::Bytes;
using fixtures::bytes;
using fixtures::concat;
using fixtures::ParsedFrame;
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

  ASSERT_EQ(text_of(session.record(topic_b, zero_guid, bytes({0xCA, 0xFE, 0x01}), start + 0x1122)),
            "ok");

  // clang-format off
  const Bytes expected = concat({
      fixtures::example_header_bytes(),               // 81-byte header
      bytes({0x46}),                                    // frame tag
      bytes({0x22, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}),  // time since start_ns
      bytes({0x00, 0x00, 0x00, 0x00}),                  // participant_idx 0
      bytes({0x01, 0x00, 0x00, 0x00}),                  // topic_idx 1 (B:TB)
      bytes({0x00}),                                    // kind
      bytes({0x03, 0x00, 0x00, 0x00}),                  // payload length
      bytes({0xCA, 0xFE, 0x01}),                        // payload
  });
  // clang-format on
  EXPECT_EQ(sink->bytes, expected);
  EXPECT_EQ(session.recorded(), 1u);
  EXPECT_EQ(session.dropped(), 0u);
  EXPECT_EQ(session.bytes(), expected.size());
}

TEST_F(SessionTest, UnknownTopicIsDroppedAndWritesNothing) {
  ASSERT_EQ(text_of(session.record(topic_a, zero_guid, bytes({1}), start)), "ok");
  const Bytes before = sink->bytes;

  // Both halves of the key must match.
  EXPECT_EQ(text_of(session.record({.name = "A", .type_name = "TB"}, zero_guid, bytes({2}), start)),
            "ok");
  EXPECT_EQ(text_of(session.record({.name = "C", .type_name = "TC"}, zero_guid, bytes({3}), start)),
            "ok");

  EXPECT_EQ(sink->bytes, before);
  EXPECT_EQ(session.dropped(), 2u);
  EXPECT_EQ(session.failed(), 0u);  // not written by design, not lost to a failure
  EXPECT_EQ(session.recorded(), 1u);
  EXPECT_EQ(session.bytes(), before.size());
}

TEST(SessionMapping, IndicesAndTimesFollowTheHeader) {
  Guid peer{};
  peer.fill(0xAA);
  Guid stranger{};
  stranger.fill(0x55);
  const Header header{.participants = {{.name = "recorder-bridge", .guid = zero_guid},
                                       {.name = "peer", .guid = peer}},
                      .topics = {topic_a, topic_b, topic_a},
                      .start_ns = 1'000};
  auto sink = std::make_shared<fixtures::SinkState>();
  RecordingSession session(RecordingWriter(fixtures::memory_sink(sink)), header);
  // clang-format off
  const std::tuple<TopicKey, Guid, std::uint64_t> samples[] = {
      {topic_a, zero_guid, 1'005},  // duplicate topic: the first entry wins
      {topic_b, peer,      1'000},
      {topic_b, stranger,  2'000},  // unknown participant falls back to 0
      {topic_a, peer,        999},  // clock stepped back below the start
      {topic_a, peer,          0}};
  // clang-format on
  for (const auto& [topic, guid, timestamp] : samples)
    ASSERT_EQ(text_of(session.record(topic, guid, {}, timestamp)), "ok");
  EXPECT_EQ(fixtures::whole_frames(sink->bytes), (std::vector<ParsedFrame>{{5, 0, 0, 0, {}},
                                                                           {0, 1, 1, 0, {}},
                                                                           {1'000, 0, 1, 0, {}},
                                                                           {0, 1, 0, 0, {}},
                                                                           {0, 1, 0, 0, {}}}));
}

// A failed first write leaves no header behind and is retried with the next sample; a write that
// stops inside a frame loses only that sample.
TEST_F(SessionTest, FailedWritesLoseOnlyTheirSample) {
  sink->room = 40;
  EXPECT_EQ(text_of(session.record(topic_a, zero_guid, bytes({0}), start)),
            "writer: io: No space left on device");
  EXPECT_EQ(session.bytes(), 0u);
  sink->room.reset();
  ASSERT_EQ(text_of(session.record(topic_a, zero_guid, bytes({1, 1, 1}), start)), "ok");

  sink->room = 7;  // the next frame stops inside its fixed fields
  EXPECT_EQ(text_of(session.record(topic_b, zero_guid, bytes({2, 2, 2}), start)),
            "writer: io: No space left on device");
  EXPECT_EQ(session.recorded(), 1u);
  // Both lost samples count, the one that could not get its header written included.
  EXPECT_EQ(session.dropped(), 2u);
  EXPECT_EQ(session.failed(), 2u);
  sink->room.reset();
  ASSERT_EQ(text_of(session.record(topic_b, zero_guid, bytes({3, 3, 3}), start)), "ok");

  EXPECT_EQ(Bytes(sink->bytes.begin(), sink->bytes.begin() + 81), fixtures::example_header_bytes());
  EXPECT_EQ(
      fixtures::whole_frames(sink->bytes),
      (std::vector<ParsedFrame>{{0, 0, 0, 0, bytes({1, 1, 1})}, {0, 0, 1, 0, bytes({3, 3, 3})}}));
  EXPECT_EQ(session.recorded(), 2u);
  EXPECT_EQ(session.dropped(), 2u);
  EXPECT_EQ(session.bytes(), sink->bytes.size());
}

// A batch is one write: an unknown topic is dropped on its own, and a device that fills up inside
// the batch loses the sample it cut and every one after it, each reported by its position.
TEST_F(SessionTest, BatchReportsTheSamplesItLostByPosition) {
  const TopicKey topic_c{.name = "C", .type_name = "TC"};
  const Bytes one = bytes({1}), two = bytes({2, 2}), three = bytes({3});
  const PendingSample batch[] = {{&topic_a, one, start + 5},
                                 {&topic_c, one, start},
                                 {&topic_b, two, start + 6},
                                 {&topic_a, three, start + 7},
                                 {&topic_b, three, start + 8}};
  sink->room = 81 + (22 + 1) + (22 + 2) + 3;
  const BatchLosses losses = session.record_batch(zero_guid, batch);
  ASSERT_EQ(losses.size(), 2u);
  EXPECT_EQ(losses[0].first, 3u);
  EXPECT_EQ(losses[1].first, 4u);
  EXPECT_EQ(to_string(losses[1].second), "writer: io: No space left on device");
  EXPECT_EQ(fixtures::whole_frames(sink->bytes),
            (std::vector<ParsedFrame>{{5, 0, 0, 0, one}, {6, 0, 1, 0, two}}));
  EXPECT_EQ(session.recorded(), 2u);
  EXPECT_EQ(session.dropped(), 3u);
  EXPECT_EQ(session.failed(), 2u);
  EXPECT_EQ(session.bytes(), sink->bytes.size());
}

TEST_F(SessionTest, PoisonedMutexRefusesLaterSamples) {
  sink->throw_on_write = true;
  EXPECT_THROW((void)session.record(topic_a, zero_guid, bytes({1}), start), std::runtime_error);
  sink->throw_on_write = false;

  EXPECT_EQ(text_of(session.record(topic_a, zero_guid, bytes({1}), start)),
            "session mutex poisoned");
  EXPECT_TRUE(sink->bytes.empty());
  EXPECT_EQ(session.recorded(), 0u);
  EXPECT_EQ(session.dropped(), 1u);
  EXPECT_EQ(session.failed(), 1u);
}

TEST(SessionFile, FullDeviceErrorText) {
  auto sink = FileSink::create("/dev/full");
  if (!sink) GTEST_SKIP() << "/dev/full unavailable";
  RecordingSession session(RecordingWriter(std::move(*sink)), fixtures::example_header());
  EXPECT_EQ(text_of(session.record(topic_a, zero_guid, bytes({1}), 0)),
            "writer: io: No space left on device");
}

// Each payload names its thread and sequence and is padded with the thread's byte to a varying
// length, so an interleaved or torn frame shows up as a payload that does not add up.
TEST_F(SessionTest, ConcurrentRecordsNeverInterleave) {
  constexpr int threads = 4;
  constexpr int per_thread = 250;
  const auto payload = [](int t, int seq) {
    Bytes out = bytes({static_cast<unsigned>(t), static_cast<unsigned>(seq & 0xFF),
                       static_cast<unsigned>(seq >> 8)});
    out.resize(out.size() + static_cast<std::size_t>(seq % 61), static_cast<std::byte>(t));
    return out;
  };
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      for (int seq = 0; seq < per_thread; ++seq)
        (void)session.record(t % 2 == 0 ? topic_a : topic_b, zero_guid, payload(t, seq), start);
    });
  }
  for (auto& worker : workers)
    worker.join();

  const auto frames = fixtures::whole_frames(sink->bytes);
  ASSERT_TRUE(frames);
  ASSERT_EQ(frames->size(), static_cast<std::size_t>(threads * per_thread));
  std::array<int, threads> next_seq{};
  for (const auto& frame : *frames) {
    const int t = std::to_integer<int>(frame.payload.at(0));
    ASSERT_LT(t, threads);
    const auto seq = next_seq[static_cast<std::size_t>(t)]++;
    EXPECT_EQ(frame.payload, payload(t, seq));
    EXPECT_EQ(frame.topic_idx, static_cast<std::uint32_t>(t % 2));
  }
  EXPECT_EQ(session.recorded(), static_cast<std::uint64_t>(threads * per_thread));
  EXPECT_EQ(session.bytes(), sink->bytes.size());
}

}  // namespace
}  // namespace nimbrel::recorder
