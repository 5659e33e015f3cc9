#include "rtps/message_builder.hpp"

#include <gtest/gtest.h>

#include "rtps/wire_test_util.hpp"

namespace nimbrel::rtps {
namespace {

using namespace testing;

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
            CodecError::malformed("submessage does not fit into fresh datagram"));
  ASSERT_EQ(closed_.size(), 2u);  // what was closed on the way stays closed
  EXPECT_EQ(closed_[1].bytes,
            concat({golden_header(), testing::submessage(0x43, 0x01, filled(100, 0xBB))}));
  EXPECT_FALSE(builder.finish());
}

TEST_F(MessageBuilderTest, AnExactFitStaysInTheDatagramAndAnMtuOf24HoldsAnEmptyBody) {
  auto builder = open(64);
  ASSERT_TRUE(builder.append(0x42, 0x01, filled(8, 0), closed_));
  ASSERT_TRUE(builder.append(0x42, 0x01, filled(28, 0), closed_));  // 32 + 4 + 28 == 64
  EXPECT_TRUE(closed_.empty());
  ASSERT_TRUE(builder.append(0x42, 0x01, {}, closed_));
  EXPECT_EQ(closed_.size(), 1u);
  EXPECT_TRUE(open(24).append(0x42, 0x01, {}, closed_));
  EXPECT_EQ(open(20).append(0x42, 0x01, {}, closed_).error(),
            CodecError::malformed("submessage does not fit into fresh datagram"));
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
            CodecError::resource_limit(GetParam().message));
  EXPECT_EQ(builder.submessage_count(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Labels, OversizedBody,
    ::testing::Values(LabelCase{BodyLabel::Gap, "GAP body exceeds u16::MAX"},
                      LabelCase{BodyLabel::Heartbeat, "HEARTBEAT body exceeds u16::MAX"},
                      LabelCase{BodyLabel::Data, "DATA body exceeds u16::MAX"},
                      LabelCase{BodyLabel::Other, "submessage body exceeds u16::MAX"}));

TEST(MessageBuilderDeathTest, MtuBelowTheHeaderIsFatal) {
  EXPECT_DEATH(MessageBuilder({}, nimbrel_vendor_id, nullptr, 19),
               "MTU must accommodate at least the 20-byte RTPS header");
}

}  // namespace
}  // namespace nimbrel::rtps
