#include "rtps/parameter_list.hpp"

#include <gtest/gtest.h>

#include <set>

#include "rtps/wire_test_util.hpp"

namespace nimbrel::rtps {
namespace {

using namespace testing;

// clang-format off
const std::vector<std::byte> golden_le = bytes({
    0x05, 0x00, 0x08, 0x00,                  // PID_TOPIC_NAME, length 8
    0x03, 0x00, 0x00, 0x00, 'a', 'b', 0x00,  // CDR string "ab"
    0x00,                                    // padding
    0x58, 0x00, 0x04, 0x00,                  // PID_BUILTIN_ENDPOINT_SET, length 4
    0x3F, 0x0C, 0x00, 0x00,                  // 0x0C3F
    0x01, 0x80, 0x00, 0x00,                  // vendor PID 0x8001, empty value
    0x01, 0x00, 0x00, 0x00});                // PID_SENTINEL
const std::vector<std::byte> golden_be = bytes({
    0x00, 0x05, 0x00, 0x08,                  // PID_TOPIC_NAME, length 8
    0x00, 0x00, 0x00, 0x03, 'a', 'b', 0x00,  // CDR string "ab"
    0x00,                                    // padding
    0x00, 0x58, 0x00, 0x04,                  // PID_BUILTIN_ENDPOINT_SET, length 4
    0x00, 0x00, 0x0C, 0x3F,                  // 0x0C3F
    0x80, 0x01, 0x00, 0x00,                  // vendor PID 0x8001, empty value
    0x00, 0x01, 0x00, 0x00});                // PID_SENTINEL
// clang-format on

ParameterList golden_list(bool little_endian) {
  ParameterList list;
  list.push(pid::topic_name, little_endian ? bytes({3, 0, 0, 0, 'a', 'b', 0, 0})
                                           : bytes({0, 0, 0, 3, 'a', 'b', 0, 0}));
  list.push_u32(pid::builtin_endpoint_set, 0x0C3F, little_endian);
  list.push(0x8001, std::vector<std::byte>{});
  return list;
}

class ParameterListGolden : public ::testing::TestWithParam<bool> {
 protected:
  bool le() const { return GetParam(); }
  const std::vector<std::byte>& golden() const { return le() ? golden_le : golden_be; }
};

TEST_P(ParameterListGolden, EncodesAndDecodes) {
  EXPECT_EQ(encode_bytes(golden_list(le()), le()), golden());
  EXPECT_EQ(decode_bytes<ParameterList>(golden(), le()), golden_list(le()));
}

TEST_P(ParameterListGolden, EveryTruncationGivesItsError) {
  // Parameter headers at 0, 12, 20, sentinel at 24.
  const testing::Cuts cuts = {{0, CodecError::eof(4, 0)},   {4, CodecError::eof(8, 4)},
                              {12, CodecError::eof(4, 12)}, {16, CodecError::eof(4, 16)},
                              {20, CodecError::eof(4, 20)}, {24, CodecError::eof(4, 24)}};
  testing::expect_every_cut_fails(
      golden(), [&](auto cut) { return decode_bytes<ParameterList>(cut, le()); },
      [&](std::size_t length) { return testing::cut_at(cuts, length); });
}

INSTANTIATE_TEST_SUITE_P(BothByteOrders, ParameterListGolden, ::testing::Bool());

TEST(ParameterList, PadsValuesWithZerosAndKeepsThePaddingOnDecode) {
  ParameterList list;
  list.push(pid::entity_name, bytes({1, 2, 3, 4, 5}));
  // clang-format off
  const auto expected = bytes({0x62, 0x00, 0x08, 0x00,      // PID_ENTITY_NAME, length 8
                               1, 2, 3, 4, 5, 0, 0, 0,      // value, three zero bytes
                               0x01, 0x00, 0x00, 0x00});    // PID_SENTINEL
  // clang-format on
  EXPECT_EQ(encode_bytes(list, true), expected);
  auto decoded = decode_bytes<ParameterList>(expected, true);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->parameters[0].value, bytes({1, 2, 3, 4, 5, 0, 0, 0}));
}

TEST(ParameterList, EmptyListIsTheSentinelAloneWhoseLengthAndTrailingBytesAreIgnored) {
  EXPECT_EQ(encode_bytes(ParameterList{}, true), bytes({0x01, 0x00, 0x00, 0x00}));
  EXPECT_EQ(encode_bytes(ParameterList{}, false), bytes({0x00, 0x01, 0x00, 0x00}));
  const auto sentinel_and_more = bytes({0x01, 0x00, 0x07, 0x00, 0xDE});
  WireReader r(sentinel_and_more, true);
  auto decoded = ParameterList::decode(r);
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(decoded->empty());
  EXPECT_EQ(r.position(), 4u);
  const auto unaligned = bytes({0x05, 0x00, 0x06, 0x00, 1, 2, 3, 4, 5, 6, 0, 0, 0x01, 0, 0, 0});
  EXPECT_EQ(decode_bytes<ParameterList>(unaligned, true).error(),
            CodecError::malformed("ParameterList length not 4-byte aligned"));
}

TEST(ParameterList, SkipsIgnoredParameters) {
  const auto input = bytes({0x03, 0x3F, 0x04, 0x00, 9, 9,  9, 9,  // PID 0x3F03
                            0x16, 0x00, 0x04, 0x00, 1, 15, 0, 0,  // PID_VENDORID
                            0x01, 0x00, 0x00, 0x00});
  auto decoded = decode_bytes<ParameterList>(input, true);
  ASSERT_TRUE(decoded);
  ASSERT_EQ(decoded->size(), 1u);
  EXPECT_EQ(decoded->parameters[0].id, pid::vendor_id);
}

std::vector<std::byte> list_of(std::size_t ordinary, std::size_t ignored) {
  std::vector<std::byte> out;
  WireWriter w(out, /*little_endian=*/true);
  for (std::size_t i = 0; i < ignored; ++i) {
    w.write_u16(pid::ignore);
    w.write_u16(0);
  }
  for (std::size_t i = 0; i < ordinary; ++i) {
    w.write_u16(pid::user_data);
    w.write_u16(4);
    w.write_u32(static_cast<std::uint32_t>(i));
  }
  w.write_u16(pid::sentinel);
  w.write_u16(0);
  return out;
}

TEST(ParameterList, CapsStoredParametersAt4096) {
  auto at_cap = decode_bytes<ParameterList>(list_of(4096, 0), true);
  ASSERT_TRUE(at_cap);
  EXPECT_EQ(at_cap->size(), 4096u);
  EXPECT_EQ(decode_bytes<ParameterList>(list_of(4097, 0), true).error(),
            CodecError::resource_limit("ParameterList exceeds MAX_PARAMETERS cap"));
  auto ignored_do_not_count = decode_bytes<ParameterList>(list_of(4096, 100), true);
  ASSERT_TRUE(ignored_do_not_count);
  EXPECT_EQ(ignored_do_not_count->size(), 4096u);
}

TEST(ParameterList, ValuesBeyondTheLengthFieldDoNotEncode) {
  ParameterList list;
  list.push(pid::user_data, filled(65532, 1));
  auto fits = encode_bytes(list, true);
  ASSERT_TRUE(fits);
  EXPECT_EQ((*fits)[2], std::byte{0xFC});
  EXPECT_EQ((*fits)[3], std::byte{0xFF});
  list.parameters[0].value.push_back(std::byte{1});
  EXPECT_EQ(encode_bytes(list, true).error(),
            CodecError::resource_limit("ParameterList value exceeds u16::MAX"));
}

TEST(ParameterList, OnlyKnownIdsMayCarryTheMustUnderstandBit) {
  const std::pair<std::uint16_t, bool> cases[] = {
      {0x4005, true}, {0x4004, false}, {0xC004, true},  {0x0004, true},  {0x4001, true},
      {0x7F03, true}, {0x5013, true},  {0x5014, false}, {0x4075, true},  {0x4076, false},
      {0x4083, true}, {0x5001, true},  {0x5003, false}, {0x7FFF, false}, {0x4000, false}};
  for (const auto& [id, passes] : cases) {
    ParameterList list;
    list.push(pid::topic_name, bytes({}));
    list.push(id, bytes({}));
    const auto expected = passes ? CodecResult<void>{}
                                 : std::unexpected(CodecError::malformed(
                                       "ParameterList contains unknown must-understand PID"));
    EXPECT_EQ(list.validate_must_understand_in_data_pipeline(), expected) << std::hex << id;
  }
}

TEST(PidTable, IdsAreUnique) {
  std::set<std::uint16_t> ids;
  for (const auto& info : pid_table)
    EXPECT_TRUE(ids.insert(info.id).second) << info.name;
  EXPECT_EQ(ids.size(), 54u);
}

}  // namespace
}  // namespace nimbrel::rtps
