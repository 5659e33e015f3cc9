#include "recorder/format.hpp"

#include <gtest/gtest.h>

#include "recorder/recording_fixtures.hpp"

namespace nimbrel::recorder {
namespace {

using fixtures::Bytes;
using fixtures::bytes;
using fixtures::concat;
using fixtures::text;
using fixtures::zeros;

TEST(HeaderWrite, TwoTopicExampleIsEightyOneBytes) {
  const Bytes out = rtps::encode_bytes(fixtures::example_header(), /*little_endian=*/true);
  EXPECT_EQ(out.size(), 81u);
  EXPECT_EQ(out, fixtures::example_header_bytes());
}

TEST(HeaderWrite, TopicRecordPutsTheTypeNameFirst) {
  const Header header{.participants = {}, .topics = {{.name = "A", .type_name = "TA"}}};
  const Bytes out = rtps::encode_bytes(header, /*little_endian=*/true);
  // clang-format off
  const Bytes topic_record = concat({
      bytes({0x02, 0x00, 0x00, 0x00}), text("TA"),  // type name
      bytes({0x01, 0x00, 0x00, 0x00}), text("A"),   // topic name
  });
  // clang-format on
  ASSERT_EQ(out.size(), 24u + topic_record.size());
  EXPECT_EQ(Bytes(out.begin() + 24, out.end()), topic_record);
}

TEST(HeaderWrite, ParticipantsKeepTheirOrderAndGuidBytes) {
  Header header;
  header.start_ns = 0;
  header.participants.push_back({.name = "p", .guid = {}});
  header.participants.push_back({.name = "", .guid = {}});
  for (std::uint8_t i = 0; i < 16; ++i)
    header.participants[0].guid[i] = static_cast<std::uint8_t>(0xA0 + i);
  Bytes out = text("xx");  // appends, never replaces
  rtps::WireWriter writer(out, /*little_endian=*/true);
  header.encode(writer);
  // clang-format off
  const Bytes expected = concat({
      text("xx"),                                      // what the buffer held before
      text("NBRL"),                                    // magic
      bytes({0x01, 0x00, 0x00, 0x00}),                   // format version
      zeros(8),                                        // start_ns
      bytes({0x02, 0x00, 0x00, 0x00}),                   // participant count
      bytes({0x00, 0x00, 0x00, 0x00}),                   // topic count
      bytes({0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
           0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF}),  // participant 0: GUID
      bytes({0x01, 0x00, 0x00, 0x00}), text("p"),        //   name
      zeros(16),                                       // participant 1: GUID
      bytes({0x00, 0x00, 0x00, 0x00}),                   //   empty name
  });
  // clang-format on
  EXPECT_EQ(out, expected);
}

TEST(FrameWrite, EveryFieldInItsPlace) {
  const Bytes payload = bytes({0xCA, 0xFE, 0x01});
  const Frame frame{.payload = payload,
                    .time = 0x1122'3344'5566'7788,
                    .participant_idx = 0x0102'0304,
                    .topic_idx = 0x0A0B'0C0D,
                    .kind = 0x07};
  const Bytes out = rtps::encode_bytes(frame, /*little_endian=*/true);
  // clang-format off
  const Bytes expected = concat({
      bytes({0x46}),                                            // frame tag "F"
      bytes({0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}),  // time
      bytes({0x04, 0x03, 0x02, 0x01}),                          // participant_idx
      bytes({0x0D, 0x0C, 0x0B, 0x0A}),                          // topic_idx
      bytes({0x07}),                                            // kind
      bytes({0x03, 0x00, 0x00, 0x00}),                          // payload length
      bytes({0xCA, 0xFE, 0x01}),                                // payload
  });
  // clang-format on
  EXPECT_EQ(out, expected);
}

TEST(FrameWrite, EmptyPayloadGivesTwentyTwoBytes) {
  const Bytes out = rtps::encode_bytes(
      Frame{.payload = {}, .time = 0, .participant_idx = 0, .topic_idx = 1, .kind = 0},
      /*little_endian=*/true);
  // clang-format off
  const Bytes expected = concat({
      bytes({0x46}),                    // frame tag
      zeros(8),                       // time
      bytes({0x00, 0x00, 0x00, 0x00}),  // participant_idx
      bytes({0x01, 0x00, 0x00, 0x00}),  // topic_idx
      bytes({0x00}),                    // kind
      bytes({0x00, 0x00, 0x00, 0x00}),  // payload length 0
  });
  // clang-format on
  EXPECT_EQ(out.size(), frame_overhead);
  EXPECT_EQ(out, expected);
}

}  // namespace
}  // namespace nimbrel::recorder
