#include "rtps/parameter_list.hpp"

#include <gtest/gtest.h>

#include <set>

#include "rtps/wire_test_util.hpp"

namespace nimbrel::rtps {
namespace {

using testing::bytes;
using testing::concat;
using testing::filled;

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

TEST_P(ParameterListGolden, EncodesToTheGoldenBytes) {
  EXPECT_EQ(golden_list(le()).to_bytes(le()), golden());
}

TEST_P(ParameterListGolden, DecodesTheGoldenBytes) {
  auto list = ParameterList::from_bytes(golden(), le());
  ASSERT_TRUE(list);
  EXPECT_EQ(*list, golden_list(le()));
  EXPECT_EQ(list->find(pid::builtin_endpoint_set)->read_u32(le()), 0x0C3Fu);
}

TEST_P(ParameterListGolden, EveryTruncationGivesItsError) {
  // (cut from, error): parameter headers at 0, 12, 20, sentinel at 24.
  const std::vector<std::pair<std::size_t, WireError>> cuts = {
      {0, WireError::eof(4, 0)},   {4, WireError::eof(8, 4)},   {12, WireError::eof(4, 12)},
      {16, WireError::eof(4, 16)}, {20, WireError::eof(4, 20)}, {24, WireError::eof(4, 24)}};
  for (std::size_t length = 0; length < golden().size(); ++length) {
    std::size_t i = 0;
    while (i + 1 < cuts.size() && cuts[i + 1].first <= length)
      ++i;
    auto list = ParameterList::from_bytes(std::span(golden()).first(length), le());
    ASSERT_FALSE(list) << "length " << length;
    EXPECT_EQ(list.error(), cuts[i].second) << "length " << length;
  }
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
  EXPECT_EQ(list.to_bytes(true), expected);
  auto decoded = ParameterList::from_bytes(expected, true);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->parameters[0].value, bytes({1, 2, 3, 4, 5, 0, 0, 0}));
}

TEST(ParameterList, EmptyListIsTheSentinelAlone) {
  EXPECT_EQ(ParameterList{}.to_bytes(true), bytes({0x01, 0x00, 0x00, 0x00}));
  EXPECT_EQ(ParameterList{}.to_bytes(false), bytes({0x00, 0x01, 0x00, 0x00}));
  auto decoded = ParameterList::from_bytes(bytes({0x01, 0x00, 0x00, 0x00}), true);
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(decoded->empty());
  EXPECT_EQ(ParameterList::from_bytes({}, true).error(), WireError::eof(4, 0));
}

TEST(ParameterList, BytesAfterTheSentinelAreIgnoredAndCounted) {
  const auto input = bytes({0x01, 0x00, 0x00, 0x00, 0xDE, 0xAD});
  auto decoded = ParameterList::from_bytes_with_end(input, true);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->end, 4u);
  // The sentinel's own length field is not consulted.
  EXPECT_TRUE(ParameterList::from_bytes(bytes({0x01, 0x00, 0x07, 0x00}), true));
}

TEST(ParameterList, RejectsUnalignedLength) {
  const auto input = bytes({0x05, 0x00, 0x06, 0x00, 1, 2, 3, 4, 5, 6, 0, 0, 0x01, 0, 0, 0});
  EXPECT_EQ(ParameterList::from_bytes(input, true).error(),
            WireError::malformed("ParameterList length not 4-byte aligned"));
}

TEST(ParameterList, SkipsIgnoredParameters) {
  const auto input = bytes({0x03, 0x3F, 0x04, 0x00, 9, 9,  9, 9,  // PID 0x3F03
                            0x16, 0x00, 0x04, 0x00, 1, 15, 0, 0,  // PID_VENDORID
                            0x01, 0x00, 0x00, 0x00});
  auto decoded = ParameterList::from_bytes(input, true);
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
  auto at_cap = ParameterList::from_bytes(list_of(4096, 0), true);
  ASSERT_TRUE(at_cap);
  EXPECT_EQ(at_cap->size(), 4096u);
  EXPECT_EQ(ParameterList::from_bytes(list_of(4097, 0), true).error(),
            WireError::malformed("ParameterList exceeds MAX_PARAMETERS cap"));
  auto ignored_do_not_count = ParameterList::from_bytes(list_of(4096, 100), true);
  ASSERT_TRUE(ignored_do_not_count);
  EXPECT_EQ(ignored_do_not_count->size(), 4096u);
}

TEST(ParameterList, ValuesBeyondTheLengthFieldDoNotEncode) {
  ParameterList list;
  list.push(pid::user_data, filled(65532, 1));
  auto fits = list.to_bytes(true);
  ASSERT_TRUE(fits);
  EXPECT_EQ((*fits)[2], std::byte{0xFC});
  EXPECT_EQ((*fits)[3], std::byte{0xFF});
  list.parameters[0].value.push_back(std::byte{1});
  EXPECT_EQ(list.to_bytes(true).error(),
            WireError::malformed("ParameterList value exceeds u16::MAX"));
}

struct MustUnderstandCase {
  std::uint16_t id;
  bool passes;
};

class MustUnderstand : public ::testing::TestWithParam<MustUnderstandCase> {};

TEST_P(MustUnderstand, OnlyKnownIdsMayCarryBit14) {
  ParameterList list;
  list.push(pid::topic_name, bytes({}));
  list.push(GetParam().id, bytes({}));
  auto checked = list.validate_must_understand_in_data_pipeline();
  if (GetParam().passes) {
    EXPECT_TRUE(checked);
  } else {
    ASSERT_FALSE(checked);
    EXPECT_EQ(checked.error(),
              WireError::malformed("ParameterList contains unknown must-understand PID"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ids, MustUnderstand,
    ::testing::Values(MustUnderstandCase{0x4005, true}, MustUnderstandCase{0x4004, false},
                      MustUnderstandCase{0xC004, true}, MustUnderstandCase{0x0004, true},
                      MustUnderstandCase{0x4001, true}, MustUnderstandCase{0x7F03, true},
                      MustUnderstandCase{0x5013, true}, MustUnderstandCase{0x5014, false},
                      MustUnderstandCase{0x4075, true}, MustUnderstandCase{0x4076, false},
                      MustUnderstandCase{0x4083, true}, MustUnderstandCase{0x5001, true},
                      MustUnderstandCase{0x5003, false}, MustUnderstandCase{0x7FFF, false},
                      MustUnderstandCase{0x4000, false}));

TEST(PidTable, IdsAreUnique) {
  std::set<std::uint16_t> ids;
  for (const auto& info : pid_table)
    EXPECT_TRUE(ids.insert(info.id).second) << info.name;
  EXPECT_EQ(ids.size(), 53u);
}

TEST(Parameter, TypedReadersCheckLengthAndByteOrder) {
  const Parameter u32{pid::domain_id, bytes({0x01, 0x02, 0x03, 0x04, 0xFF})};
  EXPECT_EQ(u32.read_u32(true), 0x04030201u);
  EXPECT_EQ(u32.read_u32(false), 0x01020304u);
  EXPECT_EQ((Parameter{pid::domain_id, bytes({1, 2, 3})}.read_u32(true)), std::nullopt);
  EXPECT_EQ((Parameter{pid::ownership_strength, bytes({0xFE, 0xFF, 0xFF, 0xFF})}.read_i32(true)),
            -2);

  const auto guid_bytes = bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0, 0, 1, 0xC1});
  auto guid = Parameter{pid::participant_guid, guid_bytes}.read_guid();
  ASSERT_TRUE(guid);
  EXPECT_EQ(guid->prefix, testing::golden_prefix);
  EXPECT_EQ(guid->entity_id, entity_ids::participant);
  EXPECT_FALSE((Parameter{pid::participant_guid, concat({guid_bytes, bytes({0})})}.read_guid()));

  // clang-format off
  const auto locator = bytes({0x01, 0x00, 0x00, 0x00,        // kind UDPv4
                              0xE9, 0x1C, 0x00, 0x00,        // port 7401
                              0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 10, 0, 0, 7});
  // clang-format on
  EXPECT_EQ((Parameter{pid::default_unicast_locator, locator}.read_locator(true)),
            Locator::udp_v4({10, 0, 0, 7}, 7401));
  auto kind3 = locator;
  kind3[0] = std::byte{3};
  EXPECT_FALSE((Parameter{pid::default_unicast_locator, kind3}.read_locator(true)));
  EXPECT_FALSE(
      (Parameter{pid::default_unicast_locator, std::vector(locator.begin(), locator.begin() + 20)}
           .read_locator(true)));

  // clang-format off
  const Parameter reliability{pid::reliability, bytes({2, 0, 0, 0,        // kind reliable
                                                       5, 0, 0, 0,        // seconds
                                                       0, 0, 0, 0x80})};  // fraction
  // clang-format on
  EXPECT_EQ(reliability.read_duration(true, 4), (RtpsDuration{5, 0x80000000u}));
  EXPECT_EQ(reliability.read_duration(true, 5), std::nullopt);
  EXPECT_EQ(reliability.read_duration(true, 99), std::nullopt);
  EXPECT_TRUE(reliability.has_min_length());
  EXPECT_FALSE((Parameter{pid::reliability, bytes({2, 0, 0, 0})}.has_min_length()));
  EXPECT_TRUE((Parameter{0x7777, {}}.has_min_length()));
}

TEST(ParameterList, BuildersRoundTripThroughTheReaders) {
  const Guid guid{testing::golden_prefix, entity_ids::sedp_publications_writer};
  ParameterList list;
  list.push_guid(pid::endpoint_guid, guid);
  list.push_locator(pid::metatraffic_unicast_locator, Locator::udp_v4({127, 0, 0, 1}, 7410),
                    /*little_endian=*/false);
  list.push_duration(pid::participant_lease_duration, {20, 7}, /*little_endian=*/false);
  list.push_u32(pid::endpoint_guid, 1, /*little_endian=*/false);  // a later duplicate
  auto decoded = ParameterList::from_bytes(*list.to_bytes(false), false);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->find(pid::endpoint_guid)->read_guid(), guid);
  EXPECT_EQ(decoded->find(pid::metatraffic_unicast_locator)->read_locator(false),
            Locator::udp_v4({127, 0, 0, 1}, 7410));
  EXPECT_EQ(decoded->find(pid::participant_lease_duration)->read_duration(false),
            (RtpsDuration{20, 7}));
  EXPECT_EQ(decoded->find(pid::topic_name), nullptr);
}

}  // namespace
}  // namespace nimbrel::rtps
