#include "rtps/subscription_data.hpp"

#include <gtest/gtest.h>

#include "rtps/records_test_util.hpp"

namespace nimbrel::rtps {
namespace {

using namespace testing;

// clang-format off
const auto golden_le = bytes({
    0x00, 0x03, 0x00, 0x00,                          // PL_CDR_LE, options
    0x50, 0x00, 0x10, 0x00,                          // PARTICIPANT_GUID
    1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,           //   prefix
    0x00, 0x00, 0x01, 0xC1,                          //   participant entity id
    0x5A, 0x00, 0x10, 0x00,                          // ENDPOINT_GUID
    1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,           //   prefix
    0x00, 0x00, 0x01, 0x07,                          //   keyed user reader
    0x05, 0x00, 0x0C, 0x00, 0x06, 0x00, 0x00, 0x00,  // TOPIC_NAME, length 6
    'T', 'o', 'p', 'i', 'c', 0x00, 0x00, 0x00,       //   "Topic", NUL, padding
    0x07, 0x00, 0x0C, 0x00, 0x05, 0x00, 0x00, 0x00,  // TYPE_NAME, length 5
    'T', 'y', 'p', 'e', 0x00, 0x00, 0x00, 0x00,      //   "Type", NUL, padding
    0x1D, 0x00, 0x04, 0x00, 0x01, 0x00, 0x00, 0x00,  // DURABILITY transient local
    0x1A, 0x00, 0x0C, 0x00, 0x02, 0x00, 0x00, 0x00,  // RELIABILITY reliable
    0x00, 0x00, 0x00, 0x00, 0x99, 0x99, 0x99, 0x19,  //   max blocking time 100 ms
    0x1F, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00,  // OWNERSHIP shared
    0x1B, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00,  // LIVELINESS automatic
    0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF,  //   lease infinite
    0x23, 0x00, 0x08, 0x00, 0x0A, 0x00, 0x00, 0x00,  // DEADLINE 10 s
    0x00, 0x00, 0x00, 0x00,                          //   fraction 0
    0x29, 0x00, 0x0C, 0x00, 0x01, 0x00, 0x00, 0x00,  // PARTITION, count 1
    0x02, 0x00, 0x00, 0x00, 'p', 0x00, 0x00, 0x00,   //   "p", padding
    0x2C, 0x00, 0x08, 0x00, 0x01, 0x00, 0x00, 0x00,  // USER_DATA, length 1
    0x11, 0x00, 0x00, 0x00,                          //   byte, padding
    0x2E, 0x00, 0x08, 0x00, 0x02, 0x00, 0x00, 0x00,  // TOPIC_DATA, length 2
    0x22, 0x23, 0x00, 0x00,                          //   bytes, padding
    0x2D, 0x00, 0x08, 0x00, 0x03, 0x00, 0x00, 0x00,  // GROUP_DATA, length 3
    0x33, 0x34, 0x35, 0x00,                          //   bytes, padding
    0x75, 0x00, 0x04, 0x00, 0xC0, 0xC1, 0xC2, 0xC3,  // TYPE_INFORMATION, raw
    0x35, 0x00, 0x2C, 0x00,                          // CONTENT_FILTER_PROPERTY
    0x02, 0x00, 0x00, 0x00, 'f', 0x00, 0x00, 0x00,   //   content-filtered topic "f"
    0x02, 0x00, 0x00, 0x00, 'T', 0x00, 0x00, 0x00,   //   related topic "T"
    0x02, 0x00, 0x00, 0x00, 'S', 0x00, 0x00, 0x00,   //   filter class "S"
    0x02, 0x00, 0x00, 0x00, 'x', 0x00, 0x00, 0x00,   //   expression "x"
    0x01, 0x00, 0x00, 0x00,                          //   1 parameter
    0x02, 0x00, 0x00, 0x00, '1', 0x00, 0x00, 0x00,   //   "1"
    0x04, 0x10, 0x08, 0x00, 0x01, 0x00, 0x00, 0x00,  // ENDPOINT_SECURITY_INFO 1
    0x02, 0x00, 0x00, 0x00,                          //   plugin attributes 2
    0x80, 0x00, 0x08, 0x00, 0x04, 0x00, 0x00, 0x00,  // SERVICE_INSTANCE_NAME, length 4
    's', 'v', 'c', 0x00,                             //   "svc", NUL
    0x81, 0x00, 0x10, 0x00,                          // RELATED_ENTITY_GUID
    1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,           //   prefix
    0x00, 0x00, 0x0B, 0x02,                          //   keyed user writer
    0x82, 0x00, 0x0C, 0x00, 0x01, 0x00, 0x00, 0x00,  // TOPIC_ALIASES, count 1
    0x02, 0x00, 0x00, 0x00, 't', 0x00, 0x00, 0x00,   //   "t", padding
    0x02, 0x80, 0x10, 0x00, 0xF1,                    // TYPE_IDENTIFIER EK_MINIMAL
    0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6,        //   hash
    0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0x00,  //   hash, padding
    0x73, 0x00, 0x08, 0x00, 0x02, 0x00, 0x00, 0x00,  // DATA_REPRESENTATION, count 2
    0x00, 0x00, 0x02, 0x00,                          //   XCDR1, XCDR2
    0x01, 0x00, 0x00, 0x00});                        // sentinel
const std::size_t golden_values[] = {16, 16, 12, 12, 4, 12, 4, 12, 8, 12, 8, 8, 8, 4, 44, 8, 8,
                                     16, 12, 16, 8};

// Only what is always written: defaults of an otherwise empty record.
const auto minimal_le = bytes({
    0x00, 0x03, 0x00, 0x00,                          // PL_CDR_LE, options
    0x50, 0x00, 0x10, 0x00,                          // PARTICIPANT_GUID
    1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,           //   prefix
    0x00, 0x00, 0x01, 0xC1,                          //   participant entity id
    0x5A, 0x00, 0x10, 0x00,                          // ENDPOINT_GUID
    1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,           //   prefix
    0x00, 0x00, 0x01, 0x07,                          //   keyed user reader
    0x05, 0x00, 0x08, 0x00, 0x02, 0x00, 0x00, 0x00,  // TOPIC_NAME, length 2
    'T', 0x00, 0x00, 0x00,                           //   "T", NUL, padding
    0x07, 0x00, 0x08, 0x00, 0x01, 0x00, 0x00, 0x00,  // TYPE_NAME, length 1
    0x00, 0x00, 0x00, 0x00,                          //   "", NUL, padding
    0x1D, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00,  // DURABILITY volatile
    0x1A, 0x00, 0x0C, 0x00, 0x01, 0x00, 0x00, 0x00,  // RELIABILITY best effort
    0x00, 0x00, 0x00, 0x00, 0x99, 0x99, 0x99, 0x19,  //   max blocking time 100 ms
    0x1F, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00,  // OWNERSHIP shared
    0x1B, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00,  // LIVELINESS automatic
    0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF,  //   lease infinite
    0x23, 0x00, 0x08, 0x00, 0xFF, 0xFF, 0xFF, 0x7F,  // DEADLINE infinite
    0xFF, 0xFF, 0xFF, 0xFF,
    0x01, 0x00, 0x00, 0x00});                        // sentinel
// clang-format on

const Guid participant_guid{testing::golden_prefix, entity_ids::participant};
const Guid reader_guid{testing::golden_prefix,
                       make_entity_id(0, 0, 1, EntityKind::UserReaderWithKey)};
const Guid writer_guid{testing::golden_prefix,
                       make_entity_id(0, 0, 0x0B, EntityKind::UserWriterWithKey)};

SubscriptionBuiltinTopicData minimal_record() {
  SubscriptionBuiltinTopicData s;
  s.participant_guid = participant_guid;
  s.endpoint_guid = reader_guid;
  s.topic_name = std::string("T");  // g++ 12 misreads the char* assignment (-Wrestrict)
  return s;
}

SubscriptionBuiltinTopicData golden_record() {
  SubscriptionBuiltinTopicData s = minimal_record();
  s.topic_name = "Topic";
  s.type_name = "Type";
  s.durability = DurabilityKind::TransientLocal;
  s.reliability.kind = ReliabilityKind::Reliable;
  s.deadline = {10, 0};
  s.partition = {"p"};
  s.user_data = bytes({0x11});
  s.topic_data = bytes({0x22, 0x23});
  s.group_data = bytes({0x33, 0x34, 0x35});
  s.type_information = bytes({0xC0, 0xC1, 0xC2, 0xC3});
  s.content_filter = ContentFilterProperty{"f", "T", "S", "x", {"1"}};
  s.endpoint_security_info = EndpointSecurityInfo{1, 2};
  s.service_instance_name = "svc";
  s.related_entity_guid = writer_guid;
  s.topic_aliases = std::vector<std::string>{"t"};
  s.type_identifier = types::TypeIdentifier::EquivalenceHashMinimal{
      {{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD}}};
  s.data_representation = {0, 2};
  return s;
}

// The minimal record leaves out empty lists and absent options.
TEST(SubscriptionGolden, EncodesAndDecodes) {
  EXPECT_EQ(encode_bytes(golden_record(), true), golden_le);
  EXPECT_EQ(decode_bytes<SubscriptionBuiltinTopicData>(golden_le, true), golden_record());
  EXPECT_EQ(encode_bytes(minimal_record(), true), minimal_le);
  EXPECT_EQ(decode_bytes<SubscriptionBuiltinTopicData>(minimal_le, true), minimal_record());
}

TEST(SubscriptionGolden, ReadsAsAPublicationWithoutTheFilter) {
  PublicationBuiltinTopicData expected;
  static_cast<EndpointBuiltinTopicData&>(expected) = golden_record();
  EXPECT_EQ(decode_bytes<PublicationBuiltinTopicData>(golden_le, true), expected);
}

TEST(SubscriptionGolden, EveryTruncationFailsWithTheListError) {
  testing::expect_every_cut_fails(
      golden_le, [](auto cut) { return decode_bytes<SubscriptionBuiltinTopicData>(cut, true); },
      [](std::size_t length) { return testing::cut_error(golden_values, length); });
}

// A filter in either byte order; four strings without the parameter list make none.
TEST(SubscriptionDecode, ContentFilterInEitherByteOrderOrAbsentWhenUnusable) {
  const auto decode_filter = [](bool le, const std::vector<std::byte>& filter) {
    const auto payload = pl_cdr(
        le, {param(le, 0x005A, testing::filled(16, 1)), param(le, 0x0005, cdr_string(le, "T")),
             param(le, 0x0007, cdr_string(le, "Y")), param(le, 0x0035, filter)});
    auto s = decode_bytes<SubscriptionBuiltinTopicData>(payload, true);
    EXPECT_TRUE(s);
    return s ? s->content_filter : std::nullopt;
  };
  for (const bool le : {true, false}) {
    const auto filter =
        concat({cdr_string(le, "f"), bytes({0, 0}), cdr_string(le, ""), bytes({0, 0, 0}),
                cdr_string(le, "DDSSQL"), bytes({0}), cdr_string(le, "a = %0"), bytes({0}),
                u32(le, 2), cdr_string(le, "1"), bytes({0, 0}), cdr_string(le, "22")});
    EXPECT_EQ(decode_filter(le, filter),
              (ContentFilterProperty{"f", "", "DDSSQL", "a = %0", {"1", "22"}}))
        << le;
  }
  const auto four_strings =
      concat({cdr_string(true, "f"), bytes({0, 0}), cdr_string(true, "T"), bytes({0, 0}),
              cdr_string(true, "S"), bytes({0, 0}), cdr_string(true, "x"), bytes({0, 0})});
  EXPECT_EQ(decode_filter(true, four_strings), std::nullopt);
}

TEST(SubscriptionEncode, FailsForWhatCannotBeWritten) {
  SubscriptionBuiltinTopicData s = minimal_record();
  s.type_identifier = types::TypeIdentifier::StronglyConnectedComponent{{}, 0, 0};
  EXPECT_EQ(encode_bytes(s, true).error(),
            CodecError::malformed("type_identifier encoding failed"));

  s = minimal_record();
  s.type_information = testing::filled(ParameterList::max_value_length, 1);
  EXPECT_TRUE(encode_bytes(s, true));
  s.type_information->push_back(std::byte{1});
  EXPECT_EQ(encode_bytes(s, true).error(),
            CodecError::resource_limit("ParameterList value exceeds u16::MAX"));
}

}  // namespace
}  // namespace nimbrel::rtps
