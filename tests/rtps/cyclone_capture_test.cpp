// Discovery records of a real peer: datagrams Cyclone DDS 0.10.2 (`ddsperf`) sent on loopback,
// described in tests/data/cyclone/README.md.
#include <gtest/gtest.h>

#include <string>

#include "rtps/data_representation.hpp"
#include "rtps/datagram.hpp"
#include "rtps/participant_data.hpp"
#include "rtps/participant_message_data.hpp"
#include "rtps/publication_data.hpp"
#include "rtps/records_test_util.hpp"
#include "rtps/subscription_data.hpp"

namespace nimbrel::rtps {
namespace {

constexpr GuidPrefix pub_prefix{0x01, 0x10, 0x60, 0x12, 0x5a, 0xa1,
                                0x08, 0x2e, 0xa2, 0x12, 0xf2, 0x1b};
constexpr GuidPrefix sub_prefix{0x01, 0x10, 0x2c, 0x88, 0xb4, 0xd0,
                                0x68, 0xf7, 0xcd, 0xf7, 0xa7, 0xa8};

// Payloads of the DATA submessages one writer sent in a captured datagram, in order.
std::vector<SharedBytes> payloads_from(const std::string& file, const EntityId& writer) {
  std::vector<SharedBytes> out;
  for (const auto& sub : testing::cyclone_datagram(file).submessages) {
    const auto* data = std::get_if<DataSubmessage>(&sub);
    if (data != nullptr && data->writer_id == writer) out.push_back(data->serialized_payload);
  }
  return out;
}

struct SpdpCase {
  const char* file;
  GuidPrefix prefix;
  std::uint32_t port;
  const char* pid;
};

class CycloneSpdp : public ::testing::TestWithParam<SpdpCase> {};

TEST_P(CycloneSpdp, DecodesTheParticipant) {
  const auto& c = GetParam();
  const auto payloads = payloads_from(c.file, entity_ids::spdp_writer);
  ASSERT_EQ(payloads.size(), 1u);
  auto d = decode_bytes<ParticipantBuiltinTopicData>(payloads[0], true);
  ASSERT_TRUE(d) << to_string(d.error());

  EXPECT_EQ(d->participant_guid, (Guid{c.prefix, entity_ids::participant}));
  EXPECT_EQ(d->protocol_version, (ProtocolVersion{2, 1}));
  EXPECT_EQ(d->vendor_id, (VendorId{0x01, 0x10}));
  EXPECT_EQ(d->lease_duration, (RtpsDuration{10, 0}));
  EXPECT_EQ(d->builtin_endpoint_set, 0xfc3fu);
  EXPECT_EQ(d->domain_id, 0u);
  EXPECT_EQ(d->default_unicast_locator, Locator::udp_v4({127, 0, 0, 1}, c.port));
  EXPECT_EQ(d->default_multicast_locator, Locator::udp_v4({239, 255, 0, 1}, 7401));
  EXPECT_EQ(d->metatraffic_unicast_locator, Locator::udp_v4({127, 0, 0, 1}, c.port));
  EXPECT_EQ(d->metatraffic_multicast_locator, Locator::udp_v4({239, 255, 0, 1}, 7400));
  EXPECT_EQ(d->user_data, testing::text(std::string("DDSPerf:") + c.pid));
  EXPECT_EQ(d->properties, (WirePropertyList{{{"__ProcessName", "ddsperf"},
                                              {"__Pid", std::string(c.pid).substr(2, 5)},
                                              {"__Hostname", "vm"}}}));
  EXPECT_FALSE(d->identity_token.has_value());

  // What this system would announce about it reads back the same.
  EXPECT_EQ(decode_bytes<ParticipantBuiltinTopicData>(encode_bytes(*d, true), true), *d);
}

INSTANTIATE_TEST_SUITE_P(
    Announcements, CycloneSpdp,
    ::testing::Values(SpdpCase{"spdp_pub.bin", pub_prefix, 56172, "0:15935:vm"},
                      SpdpCase{"spdp_sub.bin", sub_prefix, 48687, "1:15947:vm"}));

// The identifiers inside the type information, at their offsets within the parameter value.
void expect_type_information(const std::optional<std::vector<std::byte>>& info) {
  ASSERT_TRUE(info.has_value());
  ASSERT_EQ(info->size(), 100u);
  const auto minimal = testing::bytes(
      {0xf1, 0xfa, 0x04, 0x13, 0x69, 0x3f, 0x17, 0x17, 0x16, 0x33, 0x96, 0x2d, 0xcd, 0x81, 0xa2});
  const auto complete = testing::bytes(
      {0xf2, 0xc6, 0xe6, 0x28, 0x5a, 0x68, 0xc8, 0xf6, 0xcd, 0x7c, 0x42, 0x03, 0xc4, 0x6c, 0xb2});
  EXPECT_TRUE(std::ranges::equal(std::span(*info).subspan(20, 15), minimal));
  EXPECT_TRUE(std::ranges::equal(std::span(*info).subspan(68, 15), complete));
}

void expect_keyed_seq_endpoint(const EndpointBuiltinTopicData& e, const GuidPrefix& prefix,
                               EntityId entity) {
  EXPECT_EQ(e.endpoint_guid, (Guid{prefix, entity}));
  EXPECT_EQ(e.participant_guid, (Guid{prefix, entity_ids::participant}));
  EXPECT_EQ(e.type_name, "KeyedSeq");
  EXPECT_EQ(e.reliability, (ReliabilityQos{ReliabilityKind::Reliable, {10, 0}}));
  EXPECT_EQ(e.durability, DurabilityKind::Volatile);
  EXPECT_EQ(e.data_representation, (std::vector<std::int16_t>{0, 2}));
  expect_type_information(e.type_information);
}

template <typename Record>
std::vector<Record> decode_all(const std::vector<SharedBytes>& payloads) {
  std::vector<Record> out;
  for (const auto& payload : payloads) {
    auto record = decode_bytes<Record>(payload, true);
    EXPECT_TRUE(record) << to_string(record.error());
    if (record) out.push_back(std::move(*record));
  }
  return out;
}

const EndpointBuiltinTopicData* find_topic(std::span<const auto> records, std::string_view topic) {
  for (const auto& r : records) {
    if (r.topic_name == topic) return &r;
  }
  return nullptr;
}

TEST(CycloneSedp, DecodesTheKeyedSeqWriterAndReader) {
  const auto pubs = decode_all<PublicationBuiltinTopicData>(
      payloads_from("sedp_pub_publication.bin", entity_ids::sedp_publications_writer));
  const auto subs = decode_all<SubscriptionBuiltinTopicData>(
      payloads_from("sedp_sub_subscription.bin", entity_ids::sedp_subscriptions_writer));
  ASSERT_EQ(pubs.size(), 4u);
  ASSERT_EQ(subs.size(), 3u);

  const auto* writer = find_topic(std::span(pubs), "DDSPerfRDataKS");
  const auto* reader = find_topic(std::span(subs), "DDSPerfRDataKS");
  ASSERT_NE(writer, nullptr);
  ASSERT_NE(reader, nullptr);
  expect_keyed_seq_endpoint(*writer, pub_prefix,
                            make_entity_id(0, 0, 0x0b, EntityKind::UserWriterWithKey));
  expect_keyed_seq_endpoint(*reader, sub_prefix,
                            make_entity_id(0, 0, 0x0b, EntityKind::UserReaderWithKey));
  EXPECT_EQ(data_representation::negotiate(writer->data_representation, reader->data_representation,
                                           /*search=*/false),
            (data_representation::Negotiation{true, data_representation::xcdr1}));

  for (const auto& sub : subs) {
    auto encoded = encode_bytes(sub, true);
    ASSERT_TRUE(encoded) << sub.topic_name;
    EXPECT_EQ(decode_bytes<SubscriptionBuiltinTopicData>(*encoded, true), sub);
  }
}

TEST(CycloneWlp, LivelinessMessageNamesTheParticipant) {
  // Cyclone writes the standard form (prefix, kind, one data byte padded): 24 body bytes, which
  // read as this system's long form. The prefix, all that liveliness relies on, is right either
  // way.
  const auto payloads =
      payloads_from("sedp_sub_subscription.bin", entity_ids::participant_message_writer);
  ASSERT_EQ(payloads.size(), 1u);
  auto message = decode_bytes<ParticipantMessageData>(payloads[0], true);
  ASSERT_TRUE(message) << to_string(message.error());
  EXPECT_EQ(message->participant_guid.prefix, sub_prefix);
}

}  // namespace
}  // namespace nimbrel::rtps
