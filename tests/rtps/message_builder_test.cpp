#include "rtps/message_builder.hpp"

#include <gtest/gtest.h>

#include "rtps/datagram.hpp"
#include "rtps/wire_test_util.hpp"

namespace nimbrel::rtps {
namespace {

using testing::bytes;
using testing::concat;
using testing::filled;
using testing::golden_header;

class MessageBuilderTest : public ::testing::Test {
 protected:
  MessageBuilder open(std::size_t mtu) {
    return MessageBuilder(testing::golden_prefix, nimbrel_vendor_id, destinations_, mtu);
  }

  std::shared_ptr<const std::vector<Locator>> destinations_ =
      std::make_shared<const std::vector<Locator>>(
          std::vector{Locator::udp_v4({127, 0, 0, 1}, 7411)});
  std::vector<OutboundDatagram> closed_;
};

TEST_F(MessageBuilderTest, ForcesTheEndiannessFlagAndWritesTheBodyLength) {
  auto builder = open(1500);
  ASSERT_TRUE(builder.append(submessage_id::heartbeat, 0x02, bytes({1, 2, 3, 4}), closed_));
  ASSERT_TRUE(builder.append(0x42, 0x00, {}, closed_));
  auto datagram = builder.finish();
  ASSERT_TRUE(datagram);
  // clang-format off
  EXPECT_EQ(datagram->bytes, concat({golden_header(),
                                     bytes({0x07, 0x03, 0x04, 0x00,     // HEARTBEAT, E|F, 4 bytes
                                            1, 2, 3, 4,                 // body
                                            0x42, 0x01, 0x00, 0x00})}));  // empty body, length 0
  // clang-format on
  EXPECT_EQ(datagram->destinations, destinations_);
  EXPECT_TRUE(closed_.empty());
}

TEST_F(MessageBuilderTest, ClosesTheDatagramWhenTheNextSubmessageWouldOverflow) {
  auto builder = open(128);
  ASSERT_TRUE(builder.append(0x42, 0x01, filled(24, 0xAA), closed_));
  ASSERT_EQ(builder.size(), 48u);
  ASSERT_TRUE(builder.append(0x43, 0x01, filled(100, 0xBB), closed_));  // 48 + 4 + 100 > 128
  ASSERT_EQ(closed_.size(), 1u);
  EXPECT_EQ(closed_[0].bytes,
            concat({golden_header(), testing::submessage(0x42, 0x01, filled(24, 0xAA))}));
  EXPECT_EQ(closed_[0].destinations, destinations_);
  EXPECT_EQ(builder.size(), 124u);
  EXPECT_EQ(builder.submessage_count(), 1u);

  EXPECT_EQ(builder.append(0x44, 0x01, filled(105, 0xCC), closed_).error(),
            WireError::malformed("submessage does not fit into fresh datagram"));
  ASSERT_EQ(closed_.size(), 2u);  // what was closed on the way stays closed
  EXPECT_EQ(closed_[1].bytes,
            concat({golden_header(), testing::submessage(0x43, 0x01, filled(100, 0xBB))}));
  EXPECT_FALSE(builder.finish());
}

TEST_F(MessageBuilderTest, AnExactFitStaysInTheSameDatagram) {
  auto builder = open(64);
  ASSERT_TRUE(builder.append(0x42, 0x01, filled(8, 0), closed_));
  ASSERT_TRUE(builder.append(0x42, 0x01, filled(28, 0), closed_));  // 32 + 4 + 28 == 64
  EXPECT_TRUE(closed_.empty());
  EXPECT_EQ(builder.size(), 64u);
  ASSERT_TRUE(builder.append(0x42, 0x01, {}, closed_));
  EXPECT_EQ(closed_.size(), 1u);
}

TEST_F(MessageBuilderTest, SmallestMtuHoldsOnlyEmptyBodiesFromTwentyFour) {
  auto header_only = open(20);
  EXPECT_EQ(header_only.append(0x42, 0x01, {}, closed_).error(),
            WireError::malformed("submessage does not fit into fresh datagram"));
  auto one_header = open(24);
  EXPECT_TRUE(one_header.append(0x42, 0x01, {}, closed_));
  EXPECT_TRUE(closed_.empty());
}

TEST_F(MessageBuilderTest, FinishWithoutSubmessagesGivesNothingAndFinishStartsAfresh) {
  auto builder = open(1500);
  EXPECT_FALSE(builder.finish());
  ASSERT_TRUE(builder.append(0x42, 0x01, {}, closed_));
  EXPECT_TRUE(builder.finish());
  EXPECT_FALSE(builder.finish());
  EXPECT_EQ(builder.size(), 20u);
}

struct LabelCase {
  BodyLabel label;
  const char* message;
};

class OversizedBody : public MessageBuilderTest, public ::testing::WithParamInterface<LabelCase> {};

TEST_P(OversizedBody, NamesTheSubmessage) {
  auto builder = open(200000);
  EXPECT_TRUE(builder.append(0x42, 0x01, filled(65535, 0), closed_, GetParam().label));
  EXPECT_EQ(builder.append(0x42, 0x01, filled(65536, 0), closed_, GetParam().label).error(),
            WireError::malformed(GetParam().message));
  EXPECT_EQ(builder.submessage_count(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Labels, OversizedBody,
    ::testing::Values(LabelCase{BodyLabel::Gap, "GAP body exceeds u16::MAX"},
                      LabelCase{BodyLabel::Heartbeat, "HEARTBEAT body exceeds u16::MAX"},
                      LabelCase{BodyLabel::Data, "DATA body exceeds u16::MAX"},
                      LabelCase{BodyLabel::Other, "submessage body exceeds u16::MAX"}));

TEST_F(MessageBuilderTest, BuiltDatagramsDecode) {
  auto builder = open(100);
  HeartbeatSubmessage hb{.writer_id = entity_ids::spdp_writer, .first_sn = 1, .last_sn = 9};
  for (int i = 0; i < 5; ++i) {
    hb.count = static_cast<std::uint32_t>(i);
    auto body = hb.write_body(true);
    ASSERT_TRUE(builder.append(submessage_id::heartbeat, body.flags, body.bytes, closed_,
                               BodyLabel::Heartbeat));
  }
  closed_.push_back(*builder.finish());
  ASSERT_EQ(closed_.size(), 3u);  // two heartbeats of 32 bytes fit behind each 20-byte header
  std::uint32_t next_count = 0;
  for (const auto& datagram : closed_) {
    EXPECT_LE(datagram.bytes.size(), 100u);
    auto parsed = decode_datagram(SharedBytes::copy_of(datagram.bytes));
    ASSERT_TRUE(parsed);
    for (const auto& s : parsed->submessages) {
      EXPECT_EQ(std::get<HeartbeatSubmessage>(s).count, next_count++);
    }
  }
  EXPECT_EQ(next_count, 5u);
}

TEST(MessageBuilderDeathTest, MtuBelowTheHeaderIsFatal) {
  EXPECT_DEATH(MessageBuilder({}, nimbrel_vendor_id, nullptr, 19),
               "MTU must accommodate at least the 20-byte RTPS header");
}

}  // namespace
}  // namespace nimbrel::rtps
