#include "rtps/publication_data.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "rtps/records_test_util.hpp"

namespace nimbrel::rtps {
namespace {

using namespace testing;
using Cases = std::vector<std::pair<std::vector<std::byte>, CodecError>>;
const auto zero_length = CodecError::malformed("CDR string length 0 (missing null terminator)");

using Strings = std::vector<std::string>;

// clang-format off
const auto string_ab = bytes({0x03, 0x00, 0x00, 0x00, 'a', 'b', 0x00, 0x00});  // length 3, "ab", NUL, pad
const auto partition_golden = bytes({
    0x03, 0x00, 0x00, 0x00,                          // count 3
    0x03, 0x00, 0x00, 0x00, 'a', 'b', 0x00, 0x00,    // "ab", padding
    0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // "", padding
    0x04, 0x00, 0x00, 0x00, 'x', 'y', 'z', 0x00});   // "xyz"
const auto filter_golden = bytes({
    0x03, 0x00, 0x00, 0x00, 'c', 'f', 0x00, 0x00,    // content-filtered topic "cf"
    0x02, 0x00, 0x00, 0x00, 'T', 0x00, 0x00, 0x00,   // related topic "T"
    0x07, 0x00, 0x00, 0x00, 'D', 'D', 'S', 'S',      // filter class "DDSSQL"
    'Q', 'L', 0x00, 0x00,
    0x07, 0x00, 0x00, 0x00, 'x', ' ', '>', ' ',      // expression "x > %0"
    '%', '0', 0x00, 0x00,
    0x01, 0x00, 0x00, 0x00,                          // 1 parameter
    0x02, 0x00, 0x00, 0x00, '1', 0x00, 0x00, 0x00}); // "1", padding
// clang-format on
const ContentFilterProperty golden_filter{"cf", "T", "DDSSQL", "x > %0", {"1"}};

// A parameter value as `write` writes it little-endian.
template <typename Write>
std::vector<std::byte> written(Write write) {
  std::vector<std::byte> out;
  WireWriter w(out, /*little_endian=*/true);
  EXPECT_TRUE(write(w));
  return out;
}

std::vector<std::byte> padded_string(const std::string& text) {
  return written([&](WireWriter& w) { return write_padded_string(w, text); });
}
std::vector<std::byte> string_seq(const Strings& names) {
  return written([&](WireWriter& w) { return write_string_seq(w, names); });
}
CodecResult<std::string> text_at(std::span<const std::byte> value, std::size_t at = 0) {
  WireReader r(value, /*little_endian=*/true);
  r.seek(at);
  return r.read_cdr_string();
}
CodecResult<Strings> strings(std::span<const std::byte> value) {
  WireReader r(value, /*little_endian=*/true);
  return read_string_seq(r);
}

// Strings in records end just past their NUL (padding is the caller's) and, unlike property
// strings, have no cap beyond the value's size.
TEST(ValueCodecs, StringsAndTheirErrors) {
  EXPECT_EQ(padded_string("ab"), string_ab);
  WireReader ab(string_ab, /*little_endian=*/true);
  EXPECT_EQ(ab.read_cdr_string(), "ab");
  EXPECT_EQ(ab.position(), 7u);
  const std::string big(70000, 'x');
  EXPECT_EQ(text_at(padded_string(big)), big);
  // clang-format off
  const Cases cases = {
      {{}, CodecError::eof(4, 0)},
      {bytes({0x02, 0x00, 0x00}), CodecError::eof(4, 0)},
      {bytes({0x00, 0x00, 0x00, 0x00, 0x00}), zero_length},
      {bytes({0x05, 0x00, 0x00, 0x00, 'a', 'b', 0x00}), CodecError::eof(5, 4)},
      {bytes({0xFF, 0xFF, 0xFF, 0xFF, 'a', 'b', 0x00}), CodecError::eof(0xFFFFFFFF, 4)},
      {bytes({0x02, 0x00, 0x00, 0x00, 'a', 'b'}),
       CodecError::malformed("CDR string missing null terminator")},
      {bytes({0x03, 0x00, 0x00, 0x00, 0xC3, 0x28, 0x00}),
       CodecError::malformed("CDR string is not valid UTF-8")}};
  // clang-format on
  for (const auto& [value, error] : cases)
    EXPECT_EQ(text_at(value).error(), error) << ::testing::PrintToString(value);
  EXPECT_EQ(text_at(string_ab, 9).error(), CodecError::eof(4, 9));
}

TEST(ValueCodecs, StringListsAlignEachString) {
  const Strings names{"ab", "", "xyz"};
  EXPECT_EQ(string_seq(names), partition_golden);
  EXPECT_EQ(strings(partition_golden), names);
  EXPECT_EQ(strings(w(0)), Strings{});
  EXPECT_EQ(string_seq(Strings{}), w(0));
}

TEST(ValueCodecs, StringListErrors) {
  // Count 2 with one string; a second string claiming more than remains; a forged count failing
  // on the first missing string.
  // clang-format off
  const Cases cases = {
      {bytes({0x01, 0x00, 0x00}), CodecError::eof(4, 0)},
      {concat({w(2), string_ab}), CodecError::eof(4, 12)},
      {concat({w(2), string_ab, w(9), bytes({'a', 0})}), CodecError::eof(9, 16)},
      {w(0xFFFFFFFF), CodecError::eof(4, 4)},
      {concat({w(1), bytes({0, 0, 0, 0})}), zero_length}};
  // clang-format on
  for (const auto& [value, error] : cases)
    EXPECT_EQ(strings(value).error(), error) << ::testing::PrintToString(value);
}

TEST(ValueCodecs, ContentFilterProperty) {
  EXPECT_EQ(encode_bytes(golden_filter, true), filter_golden);
  EXPECT_EQ(decode_bytes<ContentFilterProperty>(filter_golden, true), golden_filter);
  // Any missing piece fails the whole property; only the last string's padding may be cut.
  for (std::size_t length = 0; length < filter_golden.size(); ++length) {
    auto filter = decode_bytes<ContentFilterProperty>(std::span(filter_golden).first(length), true);
    EXPECT_EQ(filter.has_value(), length >= 50) << "length " << length;
  }
}

// clang-format off
const auto golden_be = bytes({
    0x00, 0x02, 0x00, 0x00,                          // PL_CDR_BE, options
    0x00, 0x5A, 0x00, 0x10,                          // ENDPOINT_GUID
    1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,           //   prefix
    0x00, 0x00, 0x0B, 0x02,                          //   keyed user writer
    0x00, 0x05, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x06,  // TOPIC_NAME, length 6
    'T', 'o', 'p', 'i', 'c', 0x00, 0x00, 0x00,       //   "Topic", NUL, padding
    0x00, 0x07, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x05,  // TYPE_NAME, length 5
    'T', 'y', 'p', 'e', 0x00, 0x00, 0x00, 0x00,      //   "Type", NUL, padding
    0x00, 0x1D, 0x00, 0x04, 0x00, 0x00, 0x00, 0x01,  // DURABILITY transient local
    0x00, 0x1A, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x02,  // RELIABILITY reliable
    0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,  //   max blocking time 1 s
    0x00, 0x1F, 0x00, 0x04, 0x00, 0x00, 0x00, 0x01,  // OWNERSHIP exclusive
    0x00, 0x06, 0x00, 0x04, 0xFF, 0xFF, 0xFF, 0xFE,  // OWNERSHIP_STRENGTH -2
    0x00, 0x1B, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x01,  // LIVELINESS manual by participant
    0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00,  //   lease 5 s
    0x00, 0x23, 0x00, 0x08, 0x00, 0x00, 0x00, 0x02,  // DEADLINE 2 s
    0x80, 0x00, 0x00, 0x00,                          //   fraction 2^31
    0x00, 0x2B, 0x00, 0x08, 0x00, 0x00, 0x00, 0x03,  // LIFESPAN 3 s
    0x00, 0x00, 0x00, 0x00,                          //   fraction 0
    0x00, 0x29, 0x00, 0x14, 0x00, 0x00, 0x00, 0x02,  // PARTITION, count 2
    0x00, 0x00, 0x00, 0x02, 'a', 0x00, 0x00, 0x00,   //   "a", padding
    0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,  //   "", padding
    0x00, 0x2E, 0x00, 0x08, 0x00, 0x00, 0x00, 0x01,  // TOPIC_DATA, length 1
    0x7E, 0x00, 0x00, 0x00,                          //   byte, padding
    0x00, 0x73, 0x00, 0x08, 0x00, 0x00, 0x00, 0x02,  // DATA_REPRESENTATION, count 2
    0x00, 0x02, 0x00, 0x00,                          //   XCDR2, XCDR1
    0x80, 0x02, 0x00, 0x08, 0x71, 0x00, 0x00, 0x00,  // TYPE_IDENTIFIER string8 large, padding
    0xE8, 0x03, 0x00, 0x00,                          //   bound 1000, little-endian regardless
    0x10, 0x04, 0x00, 0x08, 0x00, 0x00, 0x00, 0x01,  // ENDPOINT_SECURITY_INFO 1
    0x00, 0x00, 0x00, 0x02,                          //   plugin attributes 2
    0x00, 0x01, 0x00, 0x00});                        // sentinel
// clang-format on

const Guid writer_guid{testing::golden_prefix,
                       make_entity_id(0, 0, 0x0B, EntityKind::UserWriterWithKey)};

TEST(PublicationGolden, BigEndian) {
  PublicationBuiltinTopicData expected;
  expected.participant_guid = {testing::golden_prefix, entity_ids::participant};
  expected.endpoint_guid = writer_guid;
  expected.topic_name = "Topic";
  expected.type_name = "Type";
  expected.durability = DurabilityKind::TransientLocal;
  expected.reliability = {ReliabilityKind::Reliable, {1, 0}};
  expected.ownership = OwnershipKind::Exclusive;
  expected.ownership_strength = -2;
  expected.liveliness = {LivelinessKind::ManualByParticipant, {5, 0}};
  expected.deadline = {2, 0x80000000};
  expected.lifespan = {3, 0};
  expected.partition = {"a", ""};
  expected.topic_data = bytes({0x7E});
  expected.data_representation = {2, 0};
  expected.type_identifier = types::TypeIdentifier::String8Large{1000};
  expected.endpoint_security_info = EndpointSecurityInfo{1, 2};
  EXPECT_EQ(decode_bytes<PublicationBuiltinTopicData>(golden_be, true), expected);
}

// What a user writer announces, in its order: the shared QoS part, then the strength and the
// lifespan, then the representations.
// clang-format off
const auto announced_le = bytes({
    0x00, 0x03, 0x00, 0x00,                          // PL_CDR_LE
    0x50, 0x00, 0x10, 0x00,                          // PARTICIPANT_GUID
    1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,           //   prefix
    0x00, 0x00, 0x01, 0xC1,                          //   participant
    0x5A, 0x00, 0x10, 0x00,                          // ENDPOINT_GUID
    1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,           //   prefix
    0x00, 0x00, 0x01, 0x03,                          //   keyless user writer
    0x05, 0x00, 0x08, 0x00, 0x02, 0x00, 0x00, 0x00,  // TOPIC_NAME, length 2
    'T', 0x00, 0x00, 0x00,                           //   "T", NUL, padding
    0x07, 0x00, 0x08, 0x00, 0x02, 0x00, 0x00, 0x00,  // TYPE_NAME, length 2
    'Y', 0x00, 0x00, 0x00,                           //   "Y", NUL, padding
    0x1D, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00,  // DURABILITY volatile
    0x1A, 0x00, 0x0C, 0x00, 0x02, 0x00, 0x00, 0x00,  // RELIABILITY reliable
    0x00, 0x00, 0x00, 0x00, 0x99, 0x99, 0x99, 0x19,  //   max blocking time 100 ms
    0x1F, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00,  // OWNERSHIP shared
    0x1B, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00,  // LIVELINESS automatic
    0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF,  //   lease infinite
    0x23, 0x00, 0x08, 0x00, 0xFF, 0xFF, 0xFF, 0x7F,  // DEADLINE infinite
    0xFF, 0xFF, 0xFF, 0xFF,
    0x06, 0x00, 0x04, 0x00, 0x07, 0x00, 0x00, 0x00,  // OWNERSHIP_STRENGTH 7
    0x2B, 0x00, 0x08, 0x00, 0x02, 0x00, 0x00, 0x00,  // LIFESPAN 2 s
    0x00, 0x00, 0x00, 0x00,                          //   fraction 0
    0x73, 0x00, 0x08, 0x00, 0x02, 0x00, 0x00, 0x00,  // DATA_REPRESENTATION, count 2
    0x00, 0x00, 0x02, 0x00,                          //   XCDR1, XCDR2
    0x01, 0x00, 0x00, 0x00});                        // sentinel
// clang-format on

TEST(PublicationGolden, EncodesWhatAUserWriterAnnouncesAndReadsItBack) {
  PublicationBuiltinTopicData announced;
  announced.participant_guid = {testing::golden_prefix, entity_ids::participant};
  announced.endpoint_guid = {testing::golden_prefix,
                             make_entity_id(0, 0, 1, EntityKind::UserWriterNoKey)};
  announced.topic_name = "T";
  announced.type_name = "Y";
  announced.reliability.kind = ReliabilityKind::Reliable;
  announced.ownership_strength = 7;
  announced.lifespan = {2, 0};
  announced.data_representation = {0, 2};
  EXPECT_EQ(encode_bytes(announced, true), announced_le);
  EXPECT_EQ(decode_bytes<PublicationBuiltinTopicData>(announced_le, true), announced);

  // The big-endian golden carries every field this encoder writes: a round trip keeps them all.
  const auto full = decode_bytes<PublicationBuiltinTopicData>(golden_be, true).value();
  EXPECT_EQ(decode_bytes<PublicationBuiltinTopicData>(encode_bytes(full, true).value(), true),
            full);
}

const auto endpoint =
    p(0x005A, concat({bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}), bytes({0, 0, 0x0B, 0x02})}));
const auto topic = p(0x0005, cdr_string(true, "T"));
const auto type = p(0x0007, cdr_string(true, "Y"));

PublicationBuiltinTopicData defaults() {
  PublicationBuiltinTopicData d;
  d.participant_guid = {testing::golden_prefix, entity_ids::participant};
  d.endpoint_guid = writer_guid;
  d.topic_name = "T";
  d.type_name = "Y";
  return d;
}

struct LenientCase {
  const char* name;
  std::vector<std::byte> params;  // framed, little-endian, after the required ones
  std::function<void(PublicationBuiltinTopicData&)> expect;
};

class PublicationLenient : public ::testing::TestWithParam<LenientCase> {};

TEST_P(PublicationLenient, DecodesToDefaultsOrTheFirstUsableValue) {
  const auto& c = GetParam();
  PublicationBuiltinTopicData expected = defaults();
  c.expect(expected);
  EXPECT_EQ(decode_bytes<PublicationBuiltinTopicData>(
                pl_cdr(true, {endpoint, topic, type, c.params}), true),
            expected);
}

const auto nothing = [](PublicationBuiltinTopicData&) {};
const auto kind_and_1s = [](std::uint32_t kind) { return concat({w(kind), w(1), w(0)}); };

// clang-format off
INSTANTIATE_TEST_SUITE_P(Fields, PublicationLenient, ::testing::Values(
    LenientCase{"participant_guid_of_12_bytes", p(0x0050, testing::filled(12, 9)), nothing},
    LenientCase{"participant_guid_given", p(0x0050, testing::filled(16, 9)), [](auto& d) {
                  d.participant_guid = {{9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9},
                                        {{9, 9, 9}, EntityKind::Unknown}}; }},
    LenientCase{"durability_4_is_volatile", p(0x001D, w(4)), nothing},
    LenientCase{"durability_persistent", p(0x001D, w(3)),
                [](auto& d) { d.durability = DurabilityKind::Persistent; }},
    LenientCase{"reliability_reliable", p(0x001A, kind_and_1s(2)),
                [](auto& d) { d.reliability = {ReliabilityKind::Reliable, {1, 0}}; }},
    LenientCase{"reliability_7_is_best_effort", p(0x001A, kind_and_1s(7)),
                [](auto& d) { d.reliability.max_blocking_time = {1, 0}; }},
    LenientCase{"reliability_of_8_bytes", p(0x001A, testing::filled(8, 2)), nothing},
    LenientCase{"first_reliability_wins",
                concat({p(0x001A, kind_and_1s(1)), p(0x001A, kind_and_1s(2))}),
                [](auto& d) { d.reliability.max_blocking_time = {1, 0}; }},
    LenientCase{"ownership_2_is_shared", p(0x001F, w(2)), nothing},
    LenientCase{"liveliness_manual_by_topic", p(0x001B, kind_and_1s(2)),
                [](auto& d) { d.liveliness = {LivelinessKind::ManualByTopic, {1, 0}}; }},
    LenientCase{"liveliness_3_is_automatic", p(0x001B, kind_and_1s(3)),
                [](auto& d) { d.liveliness.lease_duration = {1, 0}; }},
    LenientCase{"short_deadline_and_lifespan", concat({p(0x0023, w(1)), p(0x002B, w(1))}), nothing},
    LenientCase{"empty_ownership_strength", p(0x0006, {}), nothing},
    LenientCase{"partition_with_a_string_past_the_end",
                p(0x0029,
                  concat({w(2), cdr_string(true, "a"), bytes({0, 0}), w(40), filled(4, 'b')})),
                nothing},
    LenientCase{"user_data_too_short_group_data_fine",
                concat({p(0x002C, w(9)), p(0x002D, concat({w(1), bytes({0x42})}))}),
                [](auto& d) { d.group_data = bytes({0x42}); }},
    LenientCase{"type_information_kept_with_its_padding", p(0x0075, bytes({1, 2, 3, 4, 5})),
                [](auto& d) { d.type_information = bytes({1, 2, 3, 4, 5, 0, 0, 0}); }},
    LenientCase{"short_endpoint_security_info", p(0x1004, w(1)), nothing},
    LenientCase{"service_instance_name",
                concat({p(0x0080, cdr_string(true, "svc")), p(0x0080, cdr_string(true, "other"))}),
                [](auto& d) { d.service_instance_name = "svc"; }},
    LenientCase{"undecodable_service_instance_name", p(0x0080, w(0)), nothing},
    LenientCase{"related_entity_guid_of_20_bytes", p(0x0081, testing::filled(20, 1)), nothing},
    LenientCase{"empty_topic_aliases_are_present", p(0x0082, w(0)),
                [](auto& d) { d.topic_aliases.emplace(); }},
    LenientCase{"unusable_topic_aliases", p(0x0082, w(1)), nothing},
    LenientCase{"truncated_type_identifier", p(0x8002, bytes({0xF1, 1, 2, 3, 4, 5, 6, 7})),
                nothing},
    LenientCase{"data_representation_count_3_room_for_2",  // the padding reads as 0
                p(0x0073, concat({w(3), bytes({0x02, 0x00})})),
                [](auto& d) { d.data_representation = {2, 0}; }},
    LenientCase{"content_filter_is_not_a_publication_field", p(0x0035, filter_golden), nothing}),
    [](const auto& test) { return std::string(test.param.name); });
// clang-format on

// 0x8002 is vendor-specific: Fast DDS sends a persistent writer's persistence GUID there, whose
// prefix 01 0F would read as a Boolean type identifier.
TEST(PublicationDecode, Pid8002IsATypeIdentifierOnlyFromThisSystem) {
  const auto persistence_guid =
      concat({bytes({0x01, 0x0F, 0x45, 0x23}), filled(8, 7), bytes({0x00, 0x00, 0x01, 0x03})});
  const auto payload = pl_cdr(true, {endpoint, topic, type, p(0x8002, persistence_guid)});
  const auto fast_dds =
      decode_bytes<PublicationBuiltinTopicData>(payload, true, VendorId{0x01, 0x0F});
  EXPECT_EQ(fast_dds->type_identifier, std::nullopt);
  EXPECT_EQ(fast_dds->foreign_pid_8002, persistence_guid);
  const auto own = decode_bytes<PublicationBuiltinTopicData>(payload, true, nimbrel_vendor_id);
  EXPECT_EQ(own->type_identifier, types::TypeIdentifier::Primitive{types::PrimitiveKind::Boolean});
  EXPECT_EQ(own->foreign_pid_8002, std::nullopt);
  const auto int32 = pl_cdr(true, {endpoint, topic, type, p(0x8002, bytes({0x04}))});
  EXPECT_EQ(decode_bytes<PublicationBuiltinTopicData>(int32, true)->type_identifier,
            types::TypeIdentifier::Primitive{types::PrimitiveKind::Int32});
}

TEST(PublicationDecode, RejectsOnlyMissingIdentity) {
  const auto any_endpoint = p(0x005A, testing::filled(16, 1));
  const auto no_endpoint = CodecError::malformed("ENDPOINT_GUID missing or wrong length");
  // clang-format off
  const Cases cases = {
      {bytes({0x00, 0x03, 0x00}), CodecError::eof(4, 0)},
      {bytes({0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}),
       CodecError{.kind = CodecError::Kind::UnsupportedEncapsulation, .encapsulation = {0, 1}}},
      {bytes({0x00, 0x03, 0x00, 0x00, 0x05, 0x00, 0x08, 0x00}), CodecError::eof(8, 4)},
      {pl_cdr(true, {topic, type}), no_endpoint},
      {pl_cdr(true, {p(0x005A, testing::filled(12, 1)), topic, type}), no_endpoint},
      {pl_cdr(true, {}), no_endpoint},
      {pl_cdr(true, {any_endpoint, type}), CodecError::malformed("TOPIC_NAME missing")},
      {pl_cdr(true, {any_endpoint, topic}), CodecError::malformed("TYPE_NAME missing")},
      {pl_cdr(true, {any_endpoint, p(0x0005, w(0)), type}),
       CodecError::malformed("CDR string length 0 (missing null terminator)")},
      {pl_cdr(true, {any_endpoint, topic, p(0x0007, bytes({2, 0, 0, 0, 0xFF, 0}))}),
       CodecError::malformed("CDR string is not valid UTF-8")},
      {pl_cdr(true, {any_endpoint, p(0x0005, bytes({9, 0, 0, 0, 'T', 0})), type}),
       CodecError::eof(9, 4)}};
  // clang-format on
  for (const auto& [payload, error] : cases) {
    EXPECT_EQ(decode_bytes<PublicationBuiltinTopicData>(payload, true), std::unexpected(error))
        << ::testing::PrintToString(payload);
  }
}

}  // namespace
}  // namespace nimbrel::rtps
