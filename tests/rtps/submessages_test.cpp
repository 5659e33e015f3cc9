#include "rtps/submessages.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>

#include "rtps/wire_test_util.hpp"

namespace nimbrel::rtps {
namespace {

using testing::bytes;
using testing::concat;
using testing::shared;

TEST(SequenceNumberSet, MostSignificantBitComesFirst) {
  const SequenceNumber members[] = {10, 12};
  auto set = SequenceNumberSet::from_members(10, members);
  EXPECT_EQ(set.num_bits, 3u);
  EXPECT_EQ(set.bitmap, std::vector<std::uint32_t>{0xA0000000u});
  EXPECT_TRUE(set.contains(12));
  EXPECT_FALSE(set.contains(11));
  EXPECT_FALSE(set.contains(13));
  EXPECT_EQ(set.members(), (std::vector<SequenceNumber>{10, 12}));
}

TEST(SequenceNumberSet, MembersBeyondTheCapAreLeftOut) {
  const SequenceNumber members[] = {1, 256, 257, 0};
  auto set = SequenceNumberSet::from_members(1, members);
  EXPECT_EQ(set.num_bits, 256u);
  EXPECT_EQ(set.bitmap.size(), 8u);
  EXPECT_EQ(set.members(), (std::vector<SequenceNumber>{1, 256}));
  EXPECT_FALSE(set.insert(257));
  EXPECT_FALSE(set.insert(0));
}

TEST(SequenceNumberSet, MembersNearTheTopDoNotWrap) {
  auto set = SequenceNumberSet::empty_range(std::numeric_limits<SequenceNumber>::max() - 1, 256);
  set.bitmap.assign(8, 0xFFFFFFFFu);
  EXPECT_EQ(set.members(),
            (std::vector<SequenceNumber>{std::numeric_limits<SequenceNumber>::max() - 1,
                                         std::numeric_limits<SequenceNumber>::max()}));
  EXPECT_TRUE(set.contains(std::numeric_limits<SequenceNumber>::max()));
  EXPECT_FALSE(set.contains(std::numeric_limits<SequenceNumber>::min()));
}

// numBits, words present, expected error (nullopt decodes).
struct WidthCase {
  std::uint32_t num_bits;
  std::size_t words;
  std::optional<WireError> error;
};

class SetWidth : public ::testing::TestWithParam<WidthCase> {};

TEST_P(SetWidth, SequenceSetChecksCapAndWordCount) {
  const auto& c = GetParam();
  std::vector<std::byte> body;
  WireWriter w(body, /*little_endian=*/true);
  w.write_u32(0xAAAAAAAAu);  // some leading field before the set
  w.write_sequence_number(-5);
  w.write_u32(c.num_bits);
  for (std::size_t i = 0; i < c.words; ++i)
    w.write_u32(0x80000000u);
  auto set = SequenceNumberSet::read_from(body, 4, /*little_endian=*/true);
  if (c.error) {
    ASSERT_FALSE(set);
    auto expected = *c.error;
    if (expected.kind == WireError::Kind::Malformed) {
      expected.message = "SequenceNumberSet.numBits exceeds RTPS_BITMAP_MAX_BITS (256)";
    }
    EXPECT_EQ(set.error(), expected);
    return;
  }
  ASSERT_TRUE(set) << to_string(set.error());
  EXPECT_EQ(set->value.base, -5);
  EXPECT_EQ(set->value.num_bits, c.num_bits);
  EXPECT_EQ(set->value.bitmap.size(), c.words);
  EXPECT_EQ(set->end, body.size());
}

TEST_P(SetWidth, FragmentSetChecksCapAndWordCount) {
  const auto& c = GetParam();
  std::vector<std::byte> frag_body;
  WireWriter f(frag_body, /*little_endian=*/false);
  f.write_u32(0xDEADBEEFu);
  f.write_u32(c.num_bits);
  for (std::size_t i = 0; i < c.words; ++i)
    f.write_u32(1);
  auto decoded = FragmentNumberSet::read_from(frag_body, 0, /*little_endian=*/false);
  if (c.error) {
    ASSERT_FALSE(decoded);
    auto expected = *c.error;
    if (expected.kind == WireError::Kind::Malformed) {
      expected.message = "FragmentNumberSet.numBits exceeds RTPS_BITMAP_MAX_BITS (256)";
    } else {
      expected.offset -= 8;  // a 4-byte base at offset 0 instead of an 8-byte one at 4
    }
    EXPECT_EQ(decoded.error(), expected);
    return;
  }
  ASSERT_TRUE(decoded) << to_string(decoded.error());
  EXPECT_EQ(decoded->value.base, 0xDEADBEEFu);
  EXPECT_EQ(decoded->value.bitmap.size(), c.words);
  EXPECT_EQ(decoded->end, frag_body.size());
}

INSTANTIATE_TEST_SUITE_P(
    Widths, SetWidth,
    ::testing::Values(WidthCase{0, 0, std::nullopt}, WidthCase{1, 1, std::nullopt},
                      WidthCase{32, 1, std::nullopt}, WidthCase{33, 2, std::nullopt},
                      WidthCase{33, 1, WireError::eof(8, 16)}, WidthCase{256, 8, std::nullopt},
                      WidthCase{256, 7, WireError::eof(32, 16)},
                      WidthCase{257, 9, WireError::malformed("")},
                      WidthCase{0xFFFFFFFFu, 0, WireError::malformed("")}));

TEST(SequenceNumberSet, ReportsMissingBaseAndWidthWhereTheyStart) {
  const auto body = bytes({0, 0, 0, 0, 0, 0, 0, 1, 0, 0});
  EXPECT_EQ(SequenceNumberSet::read_from(body, 4, true).error(), WireError::eof(8, 4));
  EXPECT_EQ(SequenceNumberSet::read_from(body, 0, true).error(), WireError::eof(4, 8));
  EXPECT_EQ(SequenceNumberSet::read_from(body, 99, true).error(), WireError::eof(8, 99));
  EXPECT_EQ(FragmentNumberSet::read_from(body, 8, true).error(), WireError::eof(4, 8));
}

// --- DATA and DATA_FRAG specifics ---

// clang-format off
std::vector<std::byte> data_fixed_part(int octets_to_inline_qos = 16) {
  return bytes({0x00, 0x00,                                    // extraFlags
                octets_to_inline_qos, 0x00,                    // octetsToInlineQos
                0x00, 0x00, 0x04, 0xC7,                        // readerId
                0x00, 0x00, 0x04, 0xC2,                        // writerId
                0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00});  // writerSN 5
}
// clang-format on

TEST(DataSubmessage, SentinelOnlyInlineQosPutsPayloadAt24) {
  auto body = shared(concat({data_fixed_part(), bytes({0x01, 0x00, 0x00, 0x00, 0xAB})}));
  auto data = DataSubmessage::read_body_with_flags(body, 0x07);
  ASSERT_TRUE(data);
  ASSERT_TRUE(data->inline_qos);
  EXPECT_TRUE(data->inline_qos->empty());
  EXPECT_EQ(data->serialized_payload, shared(bytes({0xAB})));
  EXPECT_EQ(data->serialized_payload.data(), body.data() + 24);
}

TEST(DataSubmessage, ExactlyTwentyBytesGiveAnEmptyPayload) {
  auto data = DataSubmessage::read_body_with_flags(shared(data_fixed_part()), 0x05);
  ASSERT_TRUE(data);
  EXPECT_TRUE(data->serialized_payload.empty());
  EXPECT_FALSE(data->inline_qos);
  EXPECT_EQ(data->writer_sn, 5);
}

TEST(DataSubmessage, OctetsToInlineQosIsNotTrusted) {
  auto body = shared(concat(
      {data_fixed_part(/*octets_to_inline_qos=*/200), bytes({0x01, 0x00, 0x00, 0x00, 0xAB})}));
  auto data = DataSubmessage::read_body_with_flags(body, 0x07);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->serialized_payload, shared(bytes({0xAB})));
}

TEST(DataSubmessage, PayloadIsAViewIntoTheBody) {
  auto body = shared(concat({data_fixed_part(), bytes({1, 2, 3, 4})}));
  auto data = DataSubmessage::read_body_with_flags(body, 0x05);
  ASSERT_TRUE(data);
  EXPECT_TRUE(data->serialized_payload.shares_storage_with(body));
  EXPECT_EQ(data->serialized_payload.data(), body.data() + 20);
}

TEST(DataSubmessage, InlineQosMustBeUnderstood) {
  // clang-format off
  const auto qos = bytes({0x04, 0x40, 0x04, 0x00, 1, 2, 3, 4,    // PID 0x4004, unknown
                          0x01, 0x00, 0x00, 0x00});              // PID_SENTINEL
  // clang-format on
  auto data = DataSubmessage::read_body_with_flags(shared(concat({data_fixed_part(), qos})), 0x07);
  ASSERT_FALSE(data);
  EXPECT_EQ(data.error(),
            WireError::malformed("ParameterList contains unknown must-understand PID"));
  // Without the Q flag the same bytes are payload.
  EXPECT_TRUE(DataSubmessage::read_body_with_flags(shared(concat({data_fixed_part(), qos})), 0x05));
}

TEST(DataSubmessage, DataFlagIsAlwaysWritten) {
  DataSubmessage data{.key_flag = true};
  EXPECT_EQ(data.write_body(true)->flags, 0x0D);
  EXPECT_EQ(data.write_body(false)->flags, 0x0C);
  data.key_flag = false;
  EXPECT_EQ(data.write_body(true)->flags, 0x05);
}

TEST(DataSubmessage, OversizedInlineQosValueFailsToEncode) {
  DataSubmessage data;
  data.inline_qos.emplace().push(pid::topic_data, testing::filled(65533, 0));
  EXPECT_EQ(data.write_body(true).error(),
            WireError::malformed("ParameterList value exceeds u16::MAX"));
}

std::vector<std::byte> data_frag_body(int octets_to_inline_qos) {
  // clang-format off
  return bytes({0x00, 0x00,                                    // extraFlags
                octets_to_inline_qos, 0x00,                    // octetsToInlineQos
                0x00, 0x00, 0x04, 0xC7,                        // readerId
                0x00, 0x00, 0x04, 0xC2,                        // writerId
                0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00,  // writerSN 5
                0x01, 0x00, 0x00, 0x00,                        // fragmentStartingNum
                0x01, 0x00, 0x02, 0x00,                        // one fragment of 2 bytes
                0x02, 0x00, 0x00, 0x00,                        // sampleSize
                0xAA, 0xBB});
  // clang-format on
}

TEST(DataFragSubmessage, RejectsInlineQosAndAWrongOffset) {
  EXPECT_EQ(DataFragSubmessage::read_body(shared(data_frag_body(24)), 0x01).error(),
            WireError::malformed("DATA_FRAG.octetsToInlineQos must equal 28 when Q=false"));
  EXPECT_EQ(DataFragSubmessage::read_body(shared(data_frag_body(24)), 0x03).error(),
            WireError::unsupported("DATA_FRAG with inline_qos"));
  EXPECT_EQ(DataFragSubmessage::read_body(shared(data_frag_body(28)), 0x03).error(),
            WireError::unsupported("DATA_FRAG with inline_qos"));
}

TEST(DataFragSubmessage, FragmentIsAViewIntoTheBody) {
  auto body = shared(data_frag_body(28));
  auto frag = DataFragSubmessage::read_body(body, 0x01);
  ASSERT_TRUE(frag);
  EXPECT_EQ(frag->fragments.data(), body.data() + 32);
  EXPECT_EQ(frag->fragments.size(), 2u);
}

// --- the remaining bodies ---

TEST(InfoReplySubmessage, RejectsAnUnacceptedLocatorKind) {
  // clang-format off
  const auto body = bytes({0x01, 0x00, 0x00, 0x00,             // count 1
                           0x03, 0x00, 0x00, 0x00,             // kind 3
                           0x00, 0x00, 0x00, 0x00,             // port
                           0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  // clang-format on
  auto reply = InfoReplySubmessage::read_body(body, 0x01);
  ASSERT_FALSE(reply);
  EXPECT_EQ(reply.error().kind, WireError::Kind::InvalidLocatorKind);
  EXPECT_EQ(reply.error().locator_kind, 3);
}

TEST(InfoReplySubmessage, HugeCountIsRejectedBeforeAllocating) {
  const auto body = bytes({0xFF, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(InfoReplySubmessage::read_body(body, 0x01).error(),
            WireError::malformed("InfoReply.locatorList length exceeds body"));
}

TEST(InfoTimestampSubmessage, InvalidateFlagMeansNoTimestamp) {
  auto ts = InfoTimestampSubmessage::read_body({}, 0x03);
  ASSERT_TRUE(ts);
  EXPECT_FALSE(ts->timestamp);
}

TEST(HeartbeatSubmessage, WriterSetCountBeyondTheBodyIsMalformed) {
  HeartbeatSubmessage hb;
  hb.group_info = HeartbeatGroupInfo{};
  auto body = hb.write_body(true).bytes;
  body[52] = std::byte{0xFF};  // writerSet length 255 with no entries
  EXPECT_EQ(HeartbeatSubmessage::read_body(body, 0x09).error(),
            WireError::malformed("HEARTBEAT.groupInfo.writerSet length exceeds body"));
}

}  // namespace
}  // namespace nimbrel::rtps
