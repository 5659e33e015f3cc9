#include "rtps/participant_message_data.hpp"

#include <gtest/gtest.h>

#include "rtps/records_test_util.hpp"

namespace nimbrel::rtps {
namespace {

using namespace testing;

// clang-format off
const std::vector<std::byte> golden_le = bytes({
    0x00, 0x01, 0x00, 0x00,                          // CDR_LE, options
    1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,           // participant GUID prefix
    0x00, 0x00, 0x01, 0xC1,                          //   participant entity id
    0x02, 0x00, 0x00, 0x00,                          // kind 2
    0x03, 0x00, 0x00, 0x00,                          // data length 3
    0xAA, 0xBB, 0xCC});                              // data, unpadded
const std::vector<std::byte> golden_be = bytes({
    0x00, 0x00, 0x00, 0x00,                          // CDR_BE, options
    1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,           // participant GUID prefix
    0x00, 0x00, 0x01, 0xC1,                          //   participant entity id
    0x00, 0x00, 0x00, 0x02,                          // kind 2
    0x00, 0x00, 0x00, 0x03,                          // data length 3
    0xAA, 0xBB, 0xCC});                              // data, unpadded
// The standard form: a GUID prefix only.
const std::vector<std::byte> short_form = bytes({
    0x00, 0x07, 0x00, 0x00,                          // CDR2_LE, options
    1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,           // participant GUID prefix
    0x01, 0x00, 0x00, 0x00,                          // kind 1
    0x02, 0x00, 0x00, 0x00,                          // data length 2
    0xAA, 0xBB});                                    // data
// clang-format on

const Guid golden_guid{testing::golden_prefix, entity_ids::participant};
const ParticipantMessageData golden_message{golden_guid, 2, bytes({0xAA, 0xBB, 0xCC})};

class ParticipantMessageGolden : public ::testing::TestWithParam<bool> {
 protected:
  bool le() const { return GetParam(); }
  const std::vector<std::byte>& golden() const { return le() ? golden_le : golden_be; }
};

TEST_P(ParticipantMessageGolden, EncodesAndDecodes) {
  EXPECT_EQ(encode_bytes(golden_message, le()), golden());
  EXPECT_EQ(decode_bytes<ParticipantMessageData>(golden(), true), golden_message);
}

TEST_P(ParticipantMessageGolden, XcdrTwoIdentifiersReadTheSameBody) {
  auto payload = golden();
  payload[1] = std::byte{le() ? std::uint8_t{0x07} : std::uint8_t{0x06}};
  EXPECT_EQ(decode_bytes<ParticipantMessageData>(payload, true), golden_message);
}

TEST_P(ParticipantMessageGolden, EveryTruncation) {
  // A long form cut below 24 body bytes reads as the short form: its entity id becomes the kind
  // and its kind the data length (2), so cuts at 26 and 27 bytes decode.
  const auto data_length_2 = CodecError::eof(2, 24);
  for (std::size_t length = 0; length < golden().size(); ++length) {
    auto message = decode_bytes<ParticipantMessageData>(std::span(golden()).first(length), true);
    if (length == 26 || length == 27) {
      ASSERT_TRUE(message) << "length " << length;
      EXPECT_EQ(message->participant_guid, golden_guid);
      EXPECT_EQ(message->kind, le() ? 0xC1010000u : 0x000001C1u);
      EXPECT_EQ(message->data, (le() ? bytes({0x03, 0x00}) : bytes({0x00, 0x00})));
      continue;
    }
    ASSERT_FALSE(message) << "length " << length;
    const CodecError expected = length < 4    ? CodecError::eof(4, 0)
                                : length < 24 ? CodecError::eof(20, 4)
                                : length < 28 ? data_length_2
                                              : CodecError::eof(3, 28);
    EXPECT_EQ(message.error(), expected) << "length " << length;
  }
}

INSTANTIATE_TEST_SUITE_P(BothByteOrders, ParticipantMessageGolden, ::testing::Bool());

// Empty data makes a 24-byte body, read as the long form whatever its entity id says; the short
// form takes the participant entity id.
TEST(ParticipantMessageData, LongFormKeepsTheEntityIdAndShortFormTakesTheParticipants) {
  const ParticipantMessageData empty{golden_guid, 0, {}};
  EXPECT_EQ(encode_bytes(empty, true).value().size(), 28u);
  const ParticipantMessageData writer{
      {testing::golden_prefix, entity_ids::participant_message_writer}, 7, {}};
  for (const auto& message : {empty, writer})
    EXPECT_EQ(decode_bytes<ParticipantMessageData>(encode_bytes(message, false).value(), true),
              message);
  EXPECT_EQ(decode_bytes<ParticipantMessageData>(short_form, true),
            (ParticipantMessageData{golden_guid, 1, bytes({0xAA, 0xBB})}));
}

TEST(ParticipantMessageData, DataIsCappedAt4096Bytes) {
  const auto too_long =
      CodecError::resource_limit("ParticipantMessageData.data exceeds MAX_DATA_LEN");
  ParticipantMessageData message{golden_guid, 0, testing::filled(4096, 0x5A)};
  auto at_cap = encode_bytes(message, true);
  ASSERT_TRUE(at_cap);
  EXPECT_EQ(decode_bytes<ParticipantMessageData>(*at_cap, true), message);

  message.data.push_back(std::byte{0});
  EXPECT_EQ(encode_bytes(message, true).error(), too_long);
  // A forged length is refused before the data is looked for.
  auto forged = *at_cap;
  forged[24] = std::byte{0x01};  // length 4097
  forged.push_back(std::byte{0});
  EXPECT_EQ(decode_bytes<ParticipantMessageData>(forged, true).error(), too_long);
}

TEST(ParticipantMessageData, RejectsOtherEncapsulations) {
  for (const auto& id :
       {bytes({0x00, 0x02}), bytes({0x00, 0x03}), bytes({0x01, 0x01}), bytes({0x00, 0x08})}) {
    auto payload = concat({id, std::vector(golden_le.begin() + 2, golden_le.end())});
    CodecError expected{.kind = CodecError::Kind::UnsupportedEncapsulation,
                        .encapsulation = {std::to_integer<std::uint8_t>(id[0]),
                                          std::to_integer<std::uint8_t>(id[1])}};
    EXPECT_EQ(decode_bytes<ParticipantMessageData>(payload, true).error(), expected);
  }
}

}  // namespace
}  // namespace nimbrel::rtps
