#include "discovery/type_lookup/rpc.hpp"

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "../foundation/bytes_test_util.hpp"
#include "type_lookup_captures.hpp"

namespace nimbrel::discovery::rpc {
namespace {

using testing::Bytes;
using testing::bytes;
using testing::concat;

std::uint8_t first_discriminator(const types::TypeIdentifier& id) {
  return id.discriminator();
}

struct RequestCase {
  const char* file;
  std::int64_t header_sn;
  bool get_types;
  std::size_t ids;
  std::uint8_t first_kind;  // EK_MINIMAL 0xf1, EK_COMPLETE 0xf2
  bool own_guid;            // the header names the sender's request writer (word-swapped)
};

// clang-format off
const RequestCase request_cases[] = {
    {"cyclone-tl-request-complete.bin",          1, true,  3, 0xf2, true},
    {"cyclone-tl-request-minimal.bin",           1, true,  1, 0xf1, true},
    {"pyreq-tl-request-getTypes.bin",            5, true,  2, 0xf2, false},
    {"pyreq-tl-request-getTypeDependencies.bin", 6, false, 1, 0xf2, false},
    {"pyreq-tl-request-unknown-id.bin",          7, true,  1, 0xf2, false},
};
// clang-format on

class CapturedRequest : public ::testing::TestWithParam<RequestCase> {};

TEST_P(CapturedRequest, DecodesReencodesByteForByteAndRefusesEveryCut) {
  const RequestCase& c = GetParam();
  const Captured captured = load(c.file);
  ASSERT_EQ(captured.payloads.size(), 1u);
  const Bytes& payload = captured.payloads[0];
  auto request = decode_request(payload);
  ASSERT_TRUE(request) << to_string(request.error());
  EXPECT_EQ(request->request_id.sequence_number, c.header_sn);
  if (c.own_guid) {
    EXPECT_EQ(request->request_id.writer_guid,
              (rtps::Guid{captured.sender, rtps::entity_ids::type_lookup_request_writer}));
  }
  EXPECT_TRUE(request->instance_name.starts_with("dds.builtin.TOS."));
  const auto& ids = c.get_types ? std::get<GetTypesIn>(request->call).type_ids
                                : std::get<GetTypeDependenciesIn>(request->call).type_ids;
  ASSERT_EQ(ids.size(), c.ids);
  EXPECT_EQ(first_discriminator(ids[0]), c.first_kind);

  auto encoded = encode_payload(*request);
  ASSERT_TRUE(encoded);
  EXPECT_EQ(*encoded, payload);
  for (std::size_t n = 0; n < payload.size(); ++n)
    EXPECT_FALSE(decode_request(std::span(payload).first(n))) << "cut at " << n;
}

INSTANTIATE_TEST_SUITE_P(Captures, CapturedRequest, ::testing::ValuesIn(request_cases));

struct ReplyCase {
  const char* file;
  std::size_t data_index;
  std::int64_t header_sn;
  std::vector<std::size_t> object_sizes;  // DHEADER included, as hashed
};

const ReplyCase reply_cases[] = {
    {"cyclone-tl-reply-complete.bin", 0, 1, {199, 84, 127}},
    {"cyclone-tl-reply-minimal.bin", 0, 1, {140}},
    {"cyclone-tl-reply-to-pyreq.bin", 0, 5, {199, 140}},
    {"cyclone-tl-reply-to-pyreq.bin", 1, 7, {}},
};

class CapturedReply : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(CapturedReply, DecodesReencodesByteForByteAndRefusesEveryCut) {
  const ReplyCase& c = GetParam();
  const Captured captured = load(c.file);
  ASSERT_GT(captured.payloads.size(), c.data_index);
  const Bytes& payload = captured.payloads[c.data_index];
  auto reply = decode_reply(payload);
  ASSERT_TRUE(reply) << to_string(reply.error());
  // Cyclone names its own reply writer and echoes the request's sequence number.
  EXPECT_EQ(reply->related_request.writer_guid,
            (rtps::Guid{captured.sender, rtps::entity_ids::type_lookup_reply_writer}));
  EXPECT_EQ(reply->related_request.sequence_number, c.header_sn);
  EXPECT_EQ(reply->remote_ex, remote_ex_ok);
  EXPECT_EQ(reply->retcode, retcode_ok);
  const auto& out = std::get<GetTypesOut>(reply->result);
  std::vector<std::size_t> sizes;
  for (const auto& pair : out.types)
    sizes.push_back(pair.type_object.size());
  EXPECT_EQ(sizes, c.object_sizes);
  EXPECT_TRUE(out.complete_to_minimal.empty());

  auto encoded = encode_payload(*reply);
  ASSERT_TRUE(encoded);
  EXPECT_EQ(*encoded, payload);
  for (std::size_t n = 0; n < payload.size(); ++n)
    EXPECT_FALSE(decode_reply(std::span(payload).first(n))) << "cut at " << n;
}

INSTANTIATE_TEST_SUITE_P(Captures, CapturedReply, ::testing::ValuesIn(reply_cases));

const rtps::Guid guid{{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},
                      rtps::entity_ids::type_lookup_reply_writer};
const types::EquivalenceHash hash_a{
    {0xa1, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xab, 0xac, 0xad, 0xae}};
Bytes minimal_a() {
  Bytes out = bytes({0xf1});
  for (const auto b : hash_a.bytes)
    out.push_back(std::byte{b});
  return out;
}

TEST(TypeLookupRpc, DependenciesReplyMatchesItsLayout) {
  const Reply reply{
      .related_request = {.writer_guid = guid, .sequence_number = 0x1'00000002},
      .remote_ex = remote_ex_ok,
      .retcode = retcode_ok,
      .result = GetTypeDependenciesOut{
          .dependent_typeids = {{.type_id = types::TypeIdentifier::EquivalenceHashMinimal{hash_a},
                                 .typeobject_serialized_size = 0x30}},
          .continuation_point = {0xcc, 0xdd}}};
  // clang-format off
  const Bytes expected = concat({
      bytes({0x00, 0x07, 0x00, 0x02}),                 // CDR2_LE, 2 bytes of padding at the end
      bytes({4, 3, 2, 1, 8, 7, 6, 5, 12, 11, 10, 9}),  // relatedRequestId: prefix, word by word
      bytes({0xc3, 0x01, 0x03, 0x00}),                 //   entity id 000301c3 as one word
      bytes({1, 0, 0, 0, 2, 0, 0, 0}),                 //   sequence number high, low
      bytes({0, 0, 0, 0}),                             // remoteEx OK
      bytes({62, 0, 0, 0, 0x31, 0xfb, 0xaa, 0x05}),    // Return DHEADER, getTypeDependencies
      bytes({54, 0, 0, 0, 0, 0, 0, 0}),                // Result DHEADER, retcode OK
      bytes({46, 0, 0, 0}),                            // Out DHEADER (mutable)
      bytes({0xc9, 0xdf, 0xa4, 0x5b}),                 // EMHEADER LC 5, dependent_typeids
      bytes({28, 0, 0, 0, 1, 0, 0, 0}),                //   sequence DHEADER, count 1
      bytes({20, 0, 0, 0}),                            //   TypeIdentifierWithSize DHEADER
      minimal_a(), bytes({0}),                         //   EK_MINIMAL, hash, pad
      bytes({0x30, 0, 0, 0}),                          //   typeobject_serialized_size
      bytes({0xd2, 0xe3, 0x08, 0x55}),                 // EMHEADER LC 5, continuation_point
      bytes({2, 0, 0, 0, 0xcc, 0xdd}),                 //   length, octets
      bytes({0, 0}),                                   // padding
  });
  // clang-format on
  auto encoded = encode_payload(reply);
  ASSERT_TRUE(encoded);
  EXPECT_EQ(*encoded, expected);
  auto decoded = decode_reply(expected);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, reply);
}

TEST(TypeLookupRpc, FailedResultCarriesOnlyItsCode) {
  const Reply reply{.related_request = {.writer_guid = guid, .sequence_number = 3},
                    .remote_ex = remote_ex_ok,
                    .retcode = 11,
                    .result = GetTypesOut{}};
  auto encoded = encode_payload(reply);
  ASSERT_TRUE(encoded);
  // clang-format off
  const Bytes tail = concat({
      bytes({12, 0, 0, 0, 0xd3, 0x52, 0x82, 0x01}),  // Return DHEADER, getTypes
      bytes({4, 0, 0, 0, 11, 0, 0, 0}),              // Result DHEADER, retcode only
  });
  // clang-format on
  ASSERT_GE(encoded->size(), tail.size());
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), encoded->end() - std::ssize(tail)));
  auto decoded = decode_reply(*encoded);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, reply);
}

TEST(TypeLookupRpc, BigEndianRequestDecodes) {
  // clang-format off
  const Bytes payload = concat({
      bytes({0x00, 0x06, 0x00, 0x00}),                 // CDR2_BE, no padding
      bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}),  // writer GUID words, big-endian
      bytes({0x00, 0x03, 0x01, 0xc3}),
      bytes({0, 0, 0, 0, 0, 0, 0, 9}),                 // sequence number 9
      bytes({0, 0, 0, 2}), bytes({'x', 0}), bytes({0, 0}),  // instanceName "x", pad
      bytes({0, 0, 0, 35, 0x01, 0x82, 0x52, 0xd3}),    // Call DHEADER, getTypes
      bytes({0, 0, 0, 27}),                            // getTypes_In DHEADER
      bytes({0x5c, 0x53, 0x60, 0x65}),                 // EMHEADER LC 5, type_ids
      bytes({0, 0, 0, 19, 0, 0, 0, 1}), minimal_a(),   // sequence DHEADER, count, id
  });
  // clang-format on
  auto request = decode_request(payload);
  ASSERT_TRUE(request) << to_string(request.error());
  EXPECT_EQ(request->request_id.writer_guid, guid);
  EXPECT_EQ(request->request_id.sequence_number, 9);
  EXPECT_EQ(request->instance_name, "x");
  EXPECT_EQ(std::get<GetTypesIn>(request->call).type_ids.size(), 1u);
}

TEST(TypeLookupRpc, CapsAreCheckedBeforeReserving) {
  GetTypesIn many;
  many.type_ids.assign(max_type_ids, types::TypeIdentifier::EquivalenceHashMinimal{hash_a});
  Request request{.request_id = {}, .instance_name = "", .call = many};
  auto at_cap = encode_payload(request);
  ASSERT_TRUE(at_cap);
  EXPECT_TRUE(decode_request(*at_cap));
  std::get<GetTypesIn>(request.call).type_ids.push_back(many.type_ids[0]);
  auto past_cap = encode_payload(request);
  ASSERT_TRUE(past_cap);
  EXPECT_FALSE(decode_request(*past_cap));
  EXPECT_FALSE(encode_payload(Request{
      .request_id = {}, .instance_name = std::string(max_instance_name + 1, 'n'), .call = {}}));
}

}  // namespace
}  // namespace nimbrel::discovery::rpc
