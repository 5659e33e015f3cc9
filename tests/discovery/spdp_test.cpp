#include "discovery/spdp.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "rtps/datagram.hpp"
#include "rtps/lifecycle.hpp"
#include "rtps/submessage_test_util.hpp"

namespace nimbrel::discovery {

inline void PrintTo(const SpdpError& error, std::ostream* os) {
  *os << to_string(error);
}

namespace {

using namespace std::chrono_literals;
using namespace rtps::testing;
using rtps::GuidPrefix;
using rtps::Locator;
using rtps::ParticipantBuiltinTopicData;
namespace ids = rtps::entity_ids;

constexpr GuidPrefix local_prefix{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5,
                                  0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB};
constexpr GuidPrefix remote_prefix{0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5,
                                   0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xBB};

LocalParticipant local(std::uint32_t domain_id = 0) {
  return {.prefix = local_prefix,
          .domain_id = domain_id,
          .metatraffic_unicast = Locator::udp_v4({10, 0, 0, 7}, 40001),
          .default_unicast = Locator::udp_v4({10, 0, 0, 7}, 40002),
          .spdp_port = *spdp_multicast_port(domain_id),
          .user_data = bytes({'u', 's', 'e', 'r'})};
}

ParticipantBuiltinTopicData participant(const GuidPrefix& prefix) {
  auto data = local_participant_data(local());
  data.participant_guid.prefix = prefix;
  return data;
}

// --- Local participant data --------------------------------------------------------------------

TEST(SpdpPort, FollowsTheDomainMapping) {
  EXPECT_EQ(spdp_multicast_port(0), 7400u);
  EXPECT_EQ(spdp_multicast_port(1), 7650u);
  EXPECT_EQ(spdp_multicast_port(232), 65400u);
  EXPECT_EQ(spdp_multicast_port(233), std::nullopt);
  // 250 * 17179870 wraps 32 bits to 204, which would look like port 7604.
  EXPECT_EQ(spdp_multicast_port(17179870), std::nullopt);
}

TEST(LeaseConversion, SecondsAndBinaryFraction) {
  constexpr std::int32_t max_s = std::numeric_limits<std::int32_t>::max();
  const std::pair<Duration, rtps::RtpsDuration> cases[] = {
      {100s, {100, 0}},
      {1500ms, {1, 0x80000000u}},
      {1ns, {0, 4}},                                                      // 4.29... rounded down
      {999'999'999ns, {0, 4294967291u}},                                  // not rounded up to 2^32
      {std::chrono::seconds(max_s + 5LL) + 250ms, {max_s, 0x40000000u}},  // capped, fraction kept
      {-1s, {0, 0}}};
  for (const auto& [lease, wire] : cases)
    EXPECT_EQ(to_rtps_duration(lease), wire) << lease.count();
}

TEST(LocalParticipantData, FillsTheAnnouncedFields) {
  const auto data = local_participant_data(local(/*domain_id=*/1));
  EXPECT_EQ(data.participant_guid, (rtps::Guid{local_prefix, ids::participant}));
  EXPECT_EQ(data.protocol_version, (rtps::ProtocolVersion{2, 5}));
  EXPECT_EQ(data.vendor_id, (rtps::VendorId{0x01, 0xF0}));
  EXPECT_EQ(data.domain_id, 1u);
  EXPECT_EQ(data.default_unicast_locator, Locator::udp_v4({10, 0, 0, 7}, 40002));
  EXPECT_EQ(data.default_multicast_locator, std::nullopt);
  EXPECT_EQ(data.metatraffic_unicast_locator, Locator::udp_v4({10, 0, 0, 7}, 40001));
  EXPECT_EQ(data.metatraffic_multicast_locator, Locator::udp_v4({239, 255, 0, 1}, 7650));
  EXPECT_EQ(data.lease_duration, (rtps::RtpsDuration{100, 0}));
  EXPECT_EQ(data.builtin_endpoint_set, 0x0000FC3Fu);
  EXPECT_EQ(data.user_data, bytes({'u', 's', 'e', 'r'}));

  auto secure = local();
  secure.secure_builtin_endpoints = true;
  EXPECT_EQ(local_participant_data(secure).builtin_endpoint_set, 0x03C0FC3Fu);  // bits 22-25
}

// --- Beacon ------------------------------------------------------------------------------------

class SpdpBeaconTest : public ::testing::Test {
 protected:
  std::uint64_t announcements() const { return beacon.announcements; }

  SpdpBeacon beacon{.data = local_participant_data(local())};
};

// One DATA from the SPDP writer, numbered and counted, that the reader parses back.
TEST_F(SpdpBeaconTest, AnnouncesOneDataFromTheSpdpWriter) {
  const auto before = announcements();
  for (rtps::SequenceNumber expected = 1; expected <= 3; ++expected) {
    const auto announced = beacon.serialize();
    ASSERT_TRUE(announced) << to_string(announced.error());
    const auto datagram =
        rtps::decode_bytes<rtps::ParsedDatagram>(SharedBytes::copy_of(*announced), true);
    ASSERT_TRUE(datagram);
    EXPECT_EQ(datagram->version, (rtps::ProtocolVersion{2, 5}));
    EXPECT_EQ(datagram->vendor_id, (rtps::VendorId{0x01, 0xF0}));
    EXPECT_EQ(datagram->guid_prefix, local_prefix);
    ASSERT_EQ(datagram->submessages.size(), 1u);
    const auto& data = std::get<rtps::DataSubmessage>(datagram->submessages[0]);
    EXPECT_EQ(data.reader_id, ids::spdp_reader);
    EXPECT_EQ(data.writer_id, ids::spdp_writer);
    EXPECT_EQ(data.writer_sn, expected);
    EXPECT_FALSE(data.inline_qos.has_value());
    EXPECT_TRUE(std::ranges::equal(data.serialized_payload.span().first(2), bytes({0x00, 0x03})));
    EXPECT_EQ(SpdpReader::parse(rtps::ReceiverState{.source_vendor_id = {0x01, 0xF0},
                                                    .source_prefix = local_prefix},
                                data),
              (DiscoveredParticipant{beacon.data, local_prefix, {0x01, 0xF0}}));
  }
  EXPECT_EQ(announcements(), before + 3);
}

TEST_F(SpdpBeaconTest, SequenceOverflowFailsButIsCounted) {
  constexpr auto last = std::numeric_limits<rtps::SequenceNumber>::max();
  beacon.next_sequence = last - 1;
  ASSERT_TRUE(beacon.serialize());
  const auto before = announcements();
  EXPECT_EQ(beacon.serialize(),
            std::unexpected(CodecError::malformed("spdp beacon sequence overflow")));
  EXPECT_FALSE(beacon.serialize());
  EXPECT_EQ(beacon.next_sequence, last);
  EXPECT_EQ(announcements(), before + 2);
}

// --- Reader ------------------------------------------------------------------------------------

std::vector<std::byte> spdp_data(const GuidPrefix& prefix) {
  return data_submessage(ids::spdp_writer, encode_bytes(participant(prefix), true));
}

// clang-format off
const std::vector<std::byte> info_ts = submessage(rtps::submessage_id::info_ts, 0x01, bytes({
    0x10, 0x00, 0x00, 0x00,                          // seconds
    0x00, 0x00, 0x00, 0x80}));                       // fraction
const std::vector<std::byte> heartbeat = submessage(rtps::submessage_id::heartbeat, 0x01, bytes({
    0x00, 0x01, 0x00, 0xC7,                          // reader id
    0x00, 0x01, 0x00, 0xC2,                          // writer id
    0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,  // first sn 1
    0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,  // last sn 1
    0x01, 0x00, 0x00, 0x00}));                       // count
// clang-format on

std::vector<std::byte> spdp_goodbye(const GuidPrefix& prefix) {
  auto goodbye = rtps::builtin_goodbye(rtps::pid::participant_guid, {prefix, ids::participant});
  goodbye.writer_id = ids::spdp_writer;
  goodbye.writer_sn = 1;
  return framed(rtps::submessage_id::data, goodbye);
}

// Every SPDP DATA that decodes is taken, under the source in force; one that does not is counted
// and its neighbours still count. Goodbyes are departures, whatever stands around them.
TEST(SpdpReader, TakesEveryUsableSpdpData) {
  auto heard_from = [](const GuidPrefix& prefix, const GuidPrefix& sender, rtps::VendorId vendor) {
    return DiscoveredParticipant{participant(prefix), sender, vendor};
  };
  const auto remote = heard_from(remote_prefix, golden_prefix, rtps::nimbrel_vendor_id);
  const auto local = heard_from(local_prefix, golden_prefix, rtps::nimbrel_vendor_id);
  const auto unsupported = data_submessage(ids::spdp_writer, bytes({0, 1, 0, 0, 1, 0}));
  // PL_CDR_LE holding only PID_SENTINEL: no participant GUID.
  const auto guidless = data_submessage(ids::spdp_writer, bytes({0, 3, 0, 0, 1, 0, 0, 0}));
  const auto sedp =
      data_submessage(ids::sedp_publications_writer, encode_bytes(participant(local_prefix), true));
  const std::pair<SharedBytes, SpdpEvents> cases[] = {
      {datagram({info_ts, spdp_data(remote_prefix)}), {.announced = {remote}}},
      {datagram({unsupported, spdp_data(remote_prefix)}),
       {.announced = {remote}, .undecodable = 1}},
      {datagram({spdp_data(remote_prefix), spdp_data(local_prefix)}),
       {.announced = {remote, local}}},
      {datagram({sedp, heartbeat}), {}},
      {datagram({info_ts, data_submessage(ids::spdp_writer, bytes({0, 7, 0, 0}))}),
       {.undecodable = 1}},
      {datagram({guidless, spdp_data(remote_prefix)}), {.announced = {remote}, .undecodable = 1}},
      {datagram({info_source(local_prefix), spdp_data(remote_prefix)}),
       {.announced = {heard_from(remote_prefix, local_prefix, {0x01, 0x10})}}},
      {datagram({spdp_data(local_prefix), spdp_goodbye(remote_prefix), spdp_goodbye(local_prefix)}),
       {.departed = {remote_prefix, local_prefix}, .announced = {local}}}};
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& [bytes_in, expected] = cases[i];
    const SpdpEvents events = SpdpReader::read(received(bytes_in));
    EXPECT_EQ(events.departed, expected.departed) << i;
    EXPECT_EQ(events.announced, expected.announced) << i;
    EXPECT_EQ(events.undecodable, expected.undecodable) << i;
  }
}

TEST(SpdpReader, ParsesCycloneAnnouncement) {
  constexpr GuidPrefix cyclone_pub{0x01, 0x10, 0x60, 0x12, 0x5a, 0xa1,
                                   0x08, 0x2e, 0xa2, 0x12, 0xf2, 0x1b};
  const auto all = SpdpReader::read(received(load_capture("spdp_pub.bin"))).announced;
  ASSERT_EQ(all.size(), 1u);
  const auto* parsed = &all[0];
  EXPECT_EQ(parsed->sender_prefix, cyclone_pub);
  EXPECT_EQ(parsed->sender_vendor_id, (rtps::VendorId{0x01, 0x10}));
  const auto& d = parsed->data;
  EXPECT_EQ(d.participant_guid, (rtps::Guid{cyclone_pub, ids::participant}));
  EXPECT_EQ(d.default_unicast_locator, Locator::udp_v4({127, 0, 0, 1}, 56172));
  EXPECT_EQ(d.default_multicast_locator, Locator::udp_v4({239, 255, 0, 1}, 7401));
  EXPECT_EQ(d.metatraffic_unicast_locator, Locator::udp_v4({127, 0, 0, 1}, 56172));
  EXPECT_EQ(d.metatraffic_multicast_locator, Locator::udp_v4({239, 255, 0, 1}, 7400));
}

// --- Participants cache ------------------------------------------------------------------------

DiscoveredParticipant heard(const GuidPrefix& prefix, const GuidPrefix& sender, std::uint8_t tag) {
  auto data = participant(prefix);
  data.user_data = bytes({tag});
  return {std::move(data), sender, {0x01, 0x10}};
}

using Insert = DiscoveredParticipantsCache::Insert;

TEST(ParticipantsCache, KeyedByParticipantGuidAndReplacedOnReannouncement) {
  DiscoveredParticipantsCache cache;
  EXPECT_EQ(cache.insert(heard(remote_prefix, /*sender=*/golden_prefix, 1), {}), Insert::New);
  EXPECT_EQ(cache.insert(heard(local_prefix, /*sender=*/local_prefix, 2), {}), Insert::New);

  // Heard again, through another sender: the same entry, now holding the new data.
  const auto again = heard(remote_prefix, /*sender=*/local_prefix, 3);
  EXPECT_EQ(cache.insert(again, {}), Insert::Refreshed);
  EXPECT_EQ(cache.size(), 2u);
  ASSERT_NE(cache.find(remote_prefix), nullptr);
  EXPECT_EQ(*cache.find(remote_prefix), again);
  EXPECT_EQ(cache.find(golden_prefix), nullptr);
}

// A participant lasts its announced lease from the last time it was heard; an infinite lease
// never runs out; beyond the cap newcomers are refused, and a departure makes room.
TEST(ParticipantsCache, LeasesExpireAndTheCapHolds) {
  auto with_lease = [](const GuidPrefix& prefix, rtps::RtpsDuration lease) {
    auto p = heard(prefix, prefix, 0);
    p.data.lease_duration = lease;
    return p;
  };
  constexpr GuidPrefix third{0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5,
                             0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xCB};
  DiscoveredParticipantsCache cache(/*max_participants=*/2);
  ASSERT_EQ(cache.insert(with_lease(remote_prefix, {10, 0x80000000u}), Elapsed::from_secs(0)),
            Insert::New);
  ASSERT_EQ(cache.insert(with_lease(local_prefix, {0x7FFFFFFF, 0xFFFFFFFFu}), Elapsed{}),
            Insert::New);
  EXPECT_EQ(cache.insert(with_lease(third, {1, 0}), Elapsed{}), Insert::Refused);
  EXPECT_EQ(cache.refused(), 1u);

  // Heard again at 5 s: its 10.5 s lease now ends at 15.5 s.
  cache.insert(with_lease(remote_prefix, {10, 0x80000000u}), Elapsed::from_secs(5));
  EXPECT_TRUE(cache.expire(Elapsed::from_millis(15'500)).empty());
  EXPECT_EQ(cache.expire(Elapsed::from_millis(15'501)), std::vector<GuidPrefix>{remote_prefix});
  EXPECT_TRUE(cache.expire(Elapsed::from_secs(1'000'000)).empty());

  EXPECT_EQ(cache.insert(with_lease(third, {1, 0}), Elapsed{}), Insert::New);
  EXPECT_TRUE(cache.erase(third));
  EXPECT_FALSE(cache.erase(third));
  EXPECT_TRUE(cache.expire(Elapsed::from_secs(2)).empty());
  EXPECT_EQ(cache.size(), 1u);
}

// The goodbye names the participant by key hash and by its key payload alike.
TEST(SpdpReader, ReadsAGoodbye) {
  SpdpBeacon beacon{.data = local_participant_data(local())};
  const auto goodbye = beacon.serialize_goodbye().value();
  EXPECT_EQ(SpdpReader::read(received(SharedBytes::copy_of(goodbye))),
            (SpdpEvents{.departed = {local_prefix}}));

  auto data = std::get<rtps::DataSubmessage>(
      rtps::decode_bytes<rtps::ParsedDatagram>(SharedBytes::copy_of(goodbye), true)
          .value()
          .submessages.at(0));
  data.inline_qos->parameters.erase(data.inline_qos->parameters.begin());  // the key hash
  EXPECT_EQ(departed_participant(data), local_prefix);
  data.key_flag = false;  // a DATA without its key is no goodbye
  EXPECT_EQ(departed_participant(data), std::nullopt);
}

}  // namespace
}  // namespace nimbrel::discovery
