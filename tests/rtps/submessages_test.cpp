#include "rtps/submessages.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>

#include "rtps/wire_test_util.hpp"

namespace nimbrel::rtps {
namespace {

using namespace testing;

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
  std::optional<CodecError> error;
};

class SetWidth : public ::testing::TestWithParam<WidthCase> {};

// The same words behind a sequence number set (after a leading field, little-endian) and behind
// a fragment number set (at 0, big-endian, so every offset is 8 less).
TEST_P(SetWidth, BothSetsCheckCapAndWordCount) {
  const auto& c = GetParam();
  std::vector<std::byte> sn_body, frag_body;
  WireWriter sn(sn_body, /*little_endian=*/true), frag(frag_body, /*little_endian=*/false);
  sn.write_u32(0xAAAAAAAAu);
  sn.write_sequence_number(-5);
  frag.write_u32(0xDEADBEEFu);
  for (WireWriter* w : {&sn, &frag}) {
    w->write_u32(c.num_bits);
    for (std::size_t i = 0; i < c.words; ++i)
      w->write_u32(0x80000000u);
  }
  WireReader sn_reader(sn_body, /*little_endian=*/true), frag_reader(frag_body, false);
  sn_reader.seek(4);
  auto sns = SequenceNumberSet::decode(sn_reader);
  auto frags = FragmentNumberSet::decode(frag_reader);
  if (!c.error) {
    ASSERT_TRUE(sns && frags);
    EXPECT_EQ(*sns, (SequenceNumberSet{-5, c.num_bits, std::vector(c.words, 0x80000000u)}));
    EXPECT_EQ(*frags,
              (FragmentNumberSet{0xDEADBEEFu, c.num_bits, std::vector(c.words, 0x80000000u)}));
    EXPECT_EQ(sn_reader.position(), sn_body.size());
    EXPECT_EQ(frag_reader.position(), frag_body.size());
  } else if (c.error->kind == CodecError::Kind::Malformed) {
    EXPECT_EQ(sns.error(), CodecError::malformed(
                               "SequenceNumberSet.numBits exceeds RTPS_BITMAP_MAX_BITS (256)"));
    EXPECT_EQ(frags.error(), CodecError::malformed(
                                 "FragmentNumberSet.numBits exceeds RTPS_BITMAP_MAX_BITS (256)"));
  } else {
    EXPECT_EQ(sns.error(), *c.error);
    EXPECT_EQ(frags.error(), CodecError::eof(c.error->needed, c.error->offset - 8));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Widths, SetWidth,
    ::testing::Values(WidthCase{0, 0, std::nullopt}, WidthCase{1, 1, std::nullopt},
                      WidthCase{32, 1, std::nullopt}, WidthCase{33, 2, std::nullopt},
                      WidthCase{33, 1, CodecError::eof(8, 16)}, WidthCase{256, 8, std::nullopt},
                      WidthCase{256, 7, CodecError::eof(32, 16)},
                      WidthCase{257, 9, CodecError::malformed("")},
                      WidthCase{0xFFFFFFFFu, 0, CodecError::malformed("")}));

TEST(SequenceNumberSet, ReportsMissingBaseAndWidthWhereTheyStart) {
  const auto body = bytes({0, 0, 0, 0, 0, 0, 0, 1, 0, 0});
  const auto read_at = [&]<typename Set>(std::size_t offset) {
    WireReader r(body, /*little_endian=*/true);
    r.seek(offset);
    return Set::decode(r);
  };
  EXPECT_EQ(read_at.operator()<SequenceNumberSet>(4).error(), CodecError::eof(8, 4));
  EXPECT_EQ(read_at.operator()<SequenceNumberSet>(0).error(), CodecError::eof(4, 8));
  EXPECT_EQ(read_at.operator()<SequenceNumberSet>(99).error(), CodecError::eof(8, 99));
  EXPECT_EQ(read_at.operator()<FragmentNumberSet>(8).error(), CodecError::eof(4, 8));
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

struct PayloadCase {
  int octets_to_inline_qos;
  std::vector<std::byte> rest;  // after the 20 fixed bytes
  std::uint8_t flags;
  std::size_t payload_at;
  bool inline_qos;
};

class DataPayload : public ::testing::TestWithParam<PayloadCase> {};

// The payload is the view of the body after the inline QoS, wherever octetsToInlineQos points.
TEST_P(DataPayload, IsAViewOfTheBodyAfterTheInlineQos) {
  const auto& c = GetParam();
  auto body = shared(concat({data_fixed_part(c.octets_to_inline_qos), c.rest}));
  auto data = decode_bytes<DataSubmessage>(body, is_little_endian(c.flags), c.flags);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->writer_sn, 5);
  EXPECT_EQ(data->inline_qos, c.inline_qos ? std::optional(ParameterList{}) : std::nullopt);
  const auto payload = body.span().subspan(c.payload_at);
  EXPECT_TRUE(payload.empty() || data->serialized_payload.data() == payload.data());
  EXPECT_EQ(data->serialized_payload.size(), payload.size());
}

const auto sentinel_then_ab = bytes({0x01, 0x00, 0x00, 0x00, 0xAB});
INSTANTIATE_TEST_SUITE_P(Cases, DataPayload,
                         ::testing::Values(PayloadCase{16, sentinel_then_ab, 0x07, 24, true},
                                           PayloadCase{200, sentinel_then_ab, 0x07, 24, true},
                                           PayloadCase{16, {}, 0x05, 20, false},
                                           PayloadCase{16, bytes({1, 2, 3, 4}), 0x05, 20, false}));

TEST(DataSubmessage, InlineQosMustBeUnderstood) {
  // clang-format off
  const auto qos = bytes({0x04, 0x40, 0x04, 0x00, 1, 2, 3, 4,    // PID 0x4004, unknown
                          0x01, 0x00, 0x00, 0x00});              // PID_SENTINEL
  // clang-format on
  auto data = decode_bytes<DataSubmessage>(shared(concat({data_fixed_part(), qos})), true,
                                           std::uint8_t{0x07});
  ASSERT_FALSE(data);
  EXPECT_EQ(data.error(),
            CodecError::malformed("ParameterList contains unknown must-understand PID"));
  // Without the Q flag the same bytes are payload.
  EXPECT_TRUE(decode_bytes<DataSubmessage>(shared(concat({data_fixed_part(), qos})), true,
                                           std::uint8_t{0x05}));
}

TEST(DataSubmessage, OversizedInlineQosValueFailsToEncode) {
  DataSubmessage data;
  data.inline_qos.emplace().push(pid::topic_data, testing::filled(65533, 0));
  EXPECT_EQ(encode_body(data, true).error(),
            CodecError::resource_limit("ParameterList value exceeds u16::MAX"));
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

TEST(DataFragSubmessage, FragmentIsAViewButInlineQosAndAWrongOffsetAreRejected) {
  auto body = shared(data_frag_body(28));
  auto frag = decode_bytes<DataFragSubmessage>(body, true, std::uint8_t{0x01});
  ASSERT_TRUE(frag);
  EXPECT_EQ(frag->fragments.data(), body.data() + 32);
  EXPECT_EQ(frag->fragments.size(), 2u);
  EXPECT_EQ(decode_bytes<DataFragSubmessage>(shared(data_frag_body(24)), true, std::uint8_t{0x01})
                .error(),
            CodecError::malformed("DATA_FRAG.octetsToInlineQos must equal 28 when Q=false"));
  for (int octets : {24, 28}) {
    EXPECT_EQ(
        decode_bytes<DataFragSubmessage>(shared(data_frag_body(octets)), true, std::uint8_t{0x03})
            .error(),
        CodecError::unsupported("DATA_FRAG with inline_qos"));
  }
}

// --- the remaining bodies ---

TEST(InfoReplySubmessage, RejectsAnUnacceptedLocatorKindAndAHugeCount) {
  // clang-format off
  const auto body = bytes({0x01, 0x00, 0x00, 0x00,             // count 1
                           0x03, 0x00, 0x00, 0x00,             // kind 3
                           0x00, 0x00, 0x00, 0x00,             // port
                           0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  // clang-format on
  EXPECT_EQ(decode_bytes<InfoReplySubmessage>(body, true, std::uint8_t{0x01}).error(),
            (CodecError{.kind = CodecError::Kind::InvalidLocatorKind, .value = 3}));
  EXPECT_EQ(
      decode_bytes<InfoReplySubmessage>(bytes({0xFF, 0xFF, 0xFF, 0xFF}), true, std::uint8_t{0x01})
          .error(),
      CodecError::malformed("InfoReply.locatorList length exceeds body"));
}

TEST(InfoTimestampSubmessage, InvalidateFlagMeansNoTimestamp) {
  auto ts =
      decode_bytes<InfoTimestampSubmessage>(std::span<const std::byte>{}, true, std::uint8_t{0x03});
  ASSERT_TRUE(ts);
  EXPECT_FALSE(ts->timestamp);
}

}  // namespace
}  // namespace nimbrel::rtps
