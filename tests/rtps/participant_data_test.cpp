#include "rtps/participant_data.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "rtps/records_test_util.hpp"

namespace nimbrel::rtps {
namespace {

using namespace testing;

// clang-format off
const std::vector<std::byte> golden_le = bytes({
    0x00, 0x03, 0x00, 0x00,                          // PL_CDR_LE, options
    0x15, 0x00, 0x04, 0x00, 0x02, 0x05, 0x00, 0x00,  // PROTOCOL_VERSION 2.5
    0x16, 0x00, 0x04, 0x00, 0x01, 0xF0, 0x00, 0x00,  // VENDORID 01 F0
    0x50, 0x00, 0x10, 0x00,                          // PARTICIPANT_GUID
    1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,           //   prefix
    0x00, 0x00, 0x01, 0xC1,                          //   participant entity id
    0x31, 0x00, 0x18, 0x00,                          // DEFAULT_UNICAST_LOCATOR
    0x01, 0x00, 0x00, 0x00, 0xF3, 0x1C, 0x00, 0x00,  //   UDPv4, port 7411
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 127, 0, 0, 1,
    0x48, 0x00, 0x18, 0x00,                          // DEFAULT_MULTICAST_LOCATOR
    0x01, 0x00, 0x00, 0x00, 0xE9, 0x1C, 0x00, 0x00,  //   UDPv4, port 7401
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 239, 255, 0, 1,
    0x32, 0x00, 0x18, 0x00,                          // METATRAFFIC_UNICAST_LOCATOR
    0x01, 0x00, 0x00, 0x00, 0xF2, 0x1C, 0x00, 0x00,  //   UDPv4, port 7410
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 127, 0, 0, 1,
    0x33, 0x00, 0x18, 0x00,                          // METATRAFFIC_MULTICAST_LOCATOR
    0x01, 0x00, 0x00, 0x00, 0xE8, 0x1C, 0x00, 0x00,  //   UDPv4, port 7400
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 239, 255, 0, 1,
    0x0F, 0x00, 0x04, 0x00, 0x07, 0x00, 0x00, 0x00,  // DOMAIN_ID 7
    0x58, 0x00, 0x04, 0x00, 0x3F, 0x0C, 0x00, 0x00,  // BUILTIN_ENDPOINT_SET 0x0C3F
    0x02, 0x00, 0x08, 0x00, 0x14, 0x00, 0x00, 0x00,  // PARTICIPANT_LEASE_DURATION 20 s
    0x00, 0x00, 0x00, 0x00,                          //   fraction 0
    0x2C, 0x00, 0x08, 0x00, 0x03, 0x00, 0x00, 0x00,  // USER_DATA, length 3
    'a', 'b', 'c', 0x00,                             //   bytes, padding
    0x01, 0x10, 0x08, 0x00,                          // IDENTITY_TOKEN, raw
    0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8,
    0x02, 0x10, 0x04, 0x00, 0xB1, 0xB2, 0xB3, 0xB4,  // PERMISSIONS_TOKEN, raw
    0x10, 0x10, 0x10, 0x00,                          // DIGITAL_SIGNATURE_ALGO 1 2 3 4
    1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0,
    0x11, 0x10, 0x08, 0x00,                          // KEY_ESTABLISHMENT_ALGO 5 6
    5, 0, 0, 0, 6, 0, 0, 0,
    0x12, 0x10, 0x10, 0x00,                          // SYMMETRIC_CIPHER_ALGO 7 8 9 10
    7, 0, 0, 0, 8, 0, 0, 0, 9, 0, 0, 0, 10, 0, 0, 0,
    0x59, 0x00, 0x18, 0x00,                          // PROPERTY_LIST
    0x01, 0x00, 0x00, 0x00,                          //   count 1
    0x02, 0x00, 0x00, 0x00, 'a', 0x00, 0x00, 0x00,   //   name "a", padding
    0x02, 0x00, 0x00, 0x00, 'b', 0x00, 0x00, 0x00,   //   value "b", padding
    0x00, 0x00, 0x00, 0x00,                          //   binary count 0
    0x01, 0x00, 0x00, 0x00});                        // sentinel
const std::size_t golden_le_values[] = {4, 4, 16, 24, 24, 24, 24, 4, 4, 8, 8, 8, 4, 16, 8, 16, 24};

// Big-endian numbers; locators are not taken from PL_CDR_BE.
const std::vector<std::byte> golden_be = bytes({
    0x00, 0x02, 0x00, 0x00,                          // PL_CDR_BE, options
    0x00, 0x50, 0x00, 0x10,                          // PARTICIPANT_GUID
    1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,           //   prefix
    0x00, 0x00, 0x01, 0xC1,                          //   participant entity id
    0x00, 0x31, 0x00, 0x18,                          // DEFAULT_UNICAST_LOCATOR (dropped)
    0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x1C, 0xF3,  //   UDPv4, port 7411
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 127, 0, 0, 1,
    0x00, 0x0F, 0x00, 0x04, 0x00, 0x00, 0x00, 0x07,  // DOMAIN_ID 7
    0x00, 0x58, 0x00, 0x04, 0x00, 0x00, 0x0C, 0x3F,  // BUILTIN_ENDPOINT_SET 0x0C3F
    0x00, 0x02, 0x00, 0x08, 0x00, 0x00, 0x00, 0x14,  // PARTICIPANT_LEASE_DURATION 20 s
    0x80, 0x00, 0x00, 0x00,                          //   fraction 2^31
    0x00, 0x2C, 0x00, 0x08, 0x00, 0x00, 0x00, 0x03,  // USER_DATA, length 3
    'a', 'b', 'c', 0x00,                             //   bytes, padding
    0x10, 0x11, 0x00, 0x08,                          // KEY_ESTABLISHMENT_ALGO 5 6
    0, 0, 0, 5, 0, 0, 0, 6,
    0x00, 0x59, 0x00, 0x18,                          // PROPERTY_LIST
    0x00, 0x00, 0x00, 0x01,                          //   count 1
    0x00, 0x00, 0x00, 0x02, 'a', 0x00, 0x00, 0x00,   //   name "a", padding
    0x00, 0x00, 0x00, 0x02, 'b', 0x00, 0x00, 0x00,   //   value "b", padding
    0x00, 0x00, 0x00, 0x00,                          //   binary count 0
    0x00, 0x01, 0x00, 0x00});                        // sentinel

// The encoding of a record holding only its GUID: what is always written.
const std::vector<std::byte> minimal_le = bytes({
    0x00, 0x03, 0x00, 0x00,                          // PL_CDR_LE, options
    0x15, 0x00, 0x04, 0x00, 0x02, 0x05, 0x00, 0x00,  // PROTOCOL_VERSION 2.5
    0x16, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00,  // VENDORID 00 00
    0x50, 0x00, 0x10, 0x00,                          // PARTICIPANT_GUID
    1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,           //   prefix
    0x00, 0x00, 0x01, 0xC1,                          //   participant entity id
    0x58, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00,  // BUILTIN_ENDPOINT_SET 0
    0x02, 0x00, 0x08, 0x00, 0x64, 0x00, 0x00, 0x00,  // PARTICIPANT_LEASE_DURATION 100 s
    0x00, 0x00, 0x00, 0x00,                          //   fraction 0
    0x01, 0x00, 0x00, 0x00});                        // sentinel
// clang-format on

const Guid golden_guid{testing::golden_prefix, entity_ids::participant};

ParticipantBuiltinTopicData guid_only() {
  ParticipantBuiltinTopicData d;
  d.participant_guid = golden_guid;
  return d;
}

ParticipantBuiltinTopicData golden_record() {
  ParticipantBuiltinTopicData d = guid_only();
  d.vendor_id = nimbrel_vendor_id;
  d.default_unicast_locator = Locator::udp_v4({127, 0, 0, 1}, 7411);
  d.default_multicast_locator = Locator::udp_v4({239, 255, 0, 1}, 7401);
  d.metatraffic_unicast_locator = Locator::udp_v4({127, 0, 0, 1}, 7410);
  d.metatraffic_multicast_locator = Locator::udp_v4({239, 255, 0, 1}, 7400);
  d.domain_id = 7;
  d.builtin_endpoint_set = 0x0C3F;
  d.lease_duration = {20, 0};
  d.user_data = testing::text("abc");
  d.identity_token = bytes({0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8});
  d.permissions_token = bytes({0xB1, 0xB2, 0xB3, 0xB4});
  d.digital_signature_algorithm_info = {{1, 2, 3, 4}};
  d.key_establishment_algorithm_info = {{5, 6}};
  d.symmetric_cipher_algorithm_info = {{7, 8, 9, 10}};
  d.properties = {{{"a", "b"}}};
  return d;
}

TEST(ParticipantGolden, EncodesAndDecodesLittleEndian) {
  EXPECT_EQ(encode_bytes(golden_record(), true), golden_le);
  EXPECT_EQ(decode_bytes<ParticipantBuiltinTopicData>(golden_le, true), golden_record());
  EXPECT_EQ(encode_bytes(guid_only(), true), minimal_le);
  EXPECT_EQ(decode_bytes<ParticipantBuiltinTopicData>(minimal_le, true), guid_only());
}

TEST(ParticipantGolden, BigEndianNumbersAndNoLocators) {
  ParticipantBuiltinTopicData expected = guid_only();
  expected.domain_id = 7;
  expected.builtin_endpoint_set = 0x0C3F;
  expected.lease_duration = {20, 0x80000000};
  expected.user_data = testing::text("abc");
  expected.key_establishment_algorithm_info = {{5, 6}};
  expected.properties = {{{"a", "b"}}};
  EXPECT_EQ(decode_bytes<ParticipantBuiltinTopicData>(golden_be, true), expected);
}

TEST(ParticipantGolden, EveryTruncationFailsWithTheListError) {
  testing::expect_every_cut_fails(
      golden_le, [](auto cut) { return decode_bytes<ParticipantBuiltinTopicData>(cut, true); },
      [](std::size_t length) { return testing::cut_error(golden_le_values, length); });
}

const auto guid_param = p(0x0050, bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0, 0, 1, 0xC1}));
const auto locator_value = concat({w(1), w(7411), testing::filled(12, 0), bytes({127, 0, 0, 1})});
const auto kind3 = concat({w(3), w(7411), testing::filled(16, 0)});

struct LenientCase {
  const char* name;
  std::vector<std::byte> params;  // framed, after the GUID
  std::function<void(ParticipantBuiltinTopicData&)> expect;
};

class ParticipantLenient : public ::testing::TestWithParam<LenientCase> {};

TEST_P(ParticipantLenient, DecodesToDefaultsOrTheFirstUsableValue) {
  const auto& c = GetParam();
  auto payload = concat(
      {bytes({0x00, 0x03, 0x00, 0x00}), guid_param, c.params, bytes({0x01, 0x00, 0x00, 0x00})});
  ParticipantBuiltinTopicData expected = guid_only();
  c.expect(expected);
  EXPECT_EQ(decode_bytes<ParticipantBuiltinTopicData>(payload, true), expected);
}

const auto nothing = [](ParticipantBuiltinTopicData&) {};

// clang-format off
INSTANTIATE_TEST_SUITE_P(Fields, ParticipantLenient, ::testing::Values(
    LenientCase{"empty_version_and_vendor", concat({p(0x0015, {}), p(0x0016, {})}), nothing},
    LenientCase{"version_and_vendor_from_first_two_bytes",
                concat({p(0x0015, bytes({2, 1, 9, 9})), p(0x0016, bytes({1, 16, 9, 9}))}),
                [](auto& d) { d.protocol_version = {2, 1}; d.vendor_id = {1, 16}; }},
    LenientCase{"first_of_two_locators", concat({p(0x0031, locator_value), p(0x0031, kind3)}),
                [](auto& d) { d.default_unicast_locator = Locator::udp_v4({127, 0, 0, 1}, 7411); }},
    LenientCase{"unusable_first_locator_hides_the_second",
                concat({p(0x0031, kind3), p(0x0031, locator_value)}), nothing},
    LenientCase{"locator_of_20_bytes",
                p(0x0031, std::vector(locator_value.begin(), locator_value.end() - 4)), nothing},
    LenientCase{"locator_of_28_bytes", p(0x0031, concat({locator_value, w(0)})), nothing},
    LenientCase{"locator_kind_minus_1_is_accepted",
                p(0x0048, concat({w(0xFFFFFFFF), testing::filled(20, 0)})),
                [](auto& d) { d.default_multicast_locator = Locator{}; }},
    LenientCase{"domain_id_and_endpoint_set_need_exactly_4_bytes",
                concat({p(0x000F, concat({w(7), w(0)})), p(0x0058, concat({w(7), w(0)}))}),
                nothing},
    LenientCase{"domain_id_0", p(0x000F, w(0)), [](auto& d) { d.domain_id = 0; }},
    LenientCase{"lease_needs_exactly_8_bytes",
                concat({p(0x0002, w(5)), p(0x0002, testing::filled(12, 0))}), nothing},
    LenientCase{"user_data_claims_100_holds_8",
                p(0x002C, concat({w(100), testing::filled(8, 0xEE)})), nothing},
    LenientCase{"user_data_shorter_than_its_length_field", p(0x002C, {}), nothing},
    LenientCase{"user_data_within_a_longer_value",
                p(0x002C, concat({w(2), bytes({7, 8, 9, 9, 9, 9})})),
                [](auto& d) { d.user_data = bytes({7, 8}); }},
    LenientCase{"malformed_property_list", p(0x0059, concat({w(1), w(0)})), nothing},
    LenientCase{"empty_tokens_are_present", concat({p(0x1001, {}), p(0x1002, {}), p(0x1006, {})}),
                [](auto& d) {
                  d.identity_token.emplace();
                  d.permissions_token.emplace();
                  d.identity_status_token.emplace();
                }},
    LenientCase{"short_algorithm_infos",
                concat({p(0x1010, testing::filled(12, 1)), p(0x1011, testing::filled(4, 1)),
                        p(0x1012, testing::filled(12, 1))}), nothing},
    LenientCase{"longer_algorithm_info_takes_its_first_words",
                p(0x1012, concat({w(1), w(2), w(3), w(4), w(5)})),
                [](auto& d) { d.symmetric_cipher_algorithm_info = {{1, 2, 3, 4}}; }},
    LenientCase{"second_guid_and_unknown_pids_are_ignored",
                concat({p(0x0050, testing::filled(16, 0xFF)), p(0x7777, testing::filled(4, 1)),
                        p(0x3F03, locator_value)}), nothing},
    LenientCase{"entity_name", p(0x0062, cdr_string(true, "name")),
                [](auto& d) { d.entity_name = "name"; }},
    LenientCase{"entity_name_without_nul", p(0x0062, concat({w(1), bytes({'x'})})), nothing}),
    [](const auto& test) { return std::string(test.param.name); });
// clang-format on

TEST(ParticipantDecode, RejectsWhatCannotBeAParticipant) {
  const auto unsupported = [](std::uint8_t a, std::uint8_t b) {
    return CodecError{.kind = CodecError::Kind::UnsupportedEncapsulation, .encapsulation = {a, b}};
  };
  const auto no_guid = CodecError::malformed("PARTICIPANT_GUID missing or wrong length");
  // clang-format off
  const std::vector<std::pair<std::vector<std::byte>, CodecError>> cases = {
      {{}, CodecError::eof(4, 0)},
      {bytes({0x00, 0x03, 0x00}), CodecError::eof(4, 0)},
      {bytes({0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}), unsupported(0x00, 0x01)},
      {bytes({0x01, 0x03, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}), unsupported(0x01, 0x03)},
      {bytes({0x00, 0x03, 0x00, 0x00}), CodecError::eof(4, 0)},
      {bytes({0x00, 0x03, 0x00, 0x00, 0x50, 0x00, 0x06, 0x00}),
       CodecError::malformed("ParameterList length not 4-byte aligned")},
      {pl_cdr(true, {}), no_guid},
      {pl_cdr(true, {p(0x0050, testing::filled(12, 1))}), no_guid},
      {pl_cdr(true, {p(0x0050, testing::filled(20, 1))}), no_guid},
      // The first GUID counts even when a usable one follows.
      {pl_cdr(true, {p(0x0050, testing::filled(12, 1)), guid_param}), no_guid}};
  // clang-format on
  for (const auto& [payload, error] : cases) {
    EXPECT_EQ(decode_bytes<ParticipantBuiltinTopicData>(payload, true), std::unexpected(error))
        << ::testing::PrintToString(payload);
  }
}

TEST(ParticipantEncode, LeavesOutWhatCannotBeFramed) {
  const auto encoded_ids = [](const ParticipantBuiltinTopicData& d) {
    const auto payload = encode_bytes(d, true);
    auto list = decode_bytes<ParameterList>(std::span(payload).subspan(4), true);
    std::vector<std::uint16_t> ids;
    for (const auto& p : *list)
      ids.push_back(p.id);
    return ids;
  };
  const std::vector<std::uint16_t> always = {0x0015, 0x0016, 0x0050, 0x0058, 0x0002};

  ParticipantBuiltinTopicData d = guid_only();
  d.properties = {{{std::string("bad\0name", 8), "v"}}};  // the encoder refuses inner NULs
  d.identity_token = testing::filled(ParameterList::max_value_length + 1, 1);
  d.user_data = testing::filled(ParameterList::max_value_length - 3, 1);
  EXPECT_EQ(encoded_ids(d), always);

  // At the limit everything is written.
  d.properties = {{{"name", "v"}}};
  d.identity_token = testing::filled(ParameterList::max_value_length, 1);
  d.user_data = testing::filled(ParameterList::max_value_length - 4, 1);
  d.entity_name = std::string("talker\0", 7);  // as some peers send it: read back as it came
  EXPECT_EQ(encoded_ids(d), (std::vector<std::uint16_t>{0x0015, 0x0016, 0x0050, 0x0058, 0x0002,
                                                        0x002C, 0x0062, 0x1001, 0x0059}));
  EXPECT_EQ(decode_bytes<ParticipantBuiltinTopicData>(encode_bytes(d, true), true), d);
}

}  // namespace
}  // namespace nimbrel::rtps
