#include "discovery/sedp/stack.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <variant>

#include "rtps/datagram.hpp"
#include "rtps/submessage_test_util.hpp"

namespace nimbrel::discovery {
namespace {

using namespace rtps::testing;
using rtps::EntityId;
using rtps::Guid;
using rtps::GuidPrefix;
using rtps::Locator;
using rtps::SequenceNumber;
namespace ids = rtps::entity_ids;
namespace sub_id = rtps::submessage_id;

constexpr GuidPrefix local_prefix{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5,
                                  0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB};
constexpr GuidPrefix remote_prefix{0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5,
                                   0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xBB};
constexpr GuidPrefix relay_prefix{0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE,
                                  0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0x01};
constexpr std::uint32_t all_sedp = 0x3C;
const Locator meta = Locator::udp_v4({10, 0, 0, 2}, 7410);
const Locator dflt = Locator::udp_v4({10, 0, 0, 2}, 7411);

DiscoveredParticipant participant(std::uint32_t endpoint_set, std::optional<Locator> meta_unicast,
                                  std::optional<Locator> default_unicast,
                                  const GuidPrefix& prefix = remote_prefix) {
  DiscoveredParticipant p{.sender_prefix = prefix};
  p.data.builtin_endpoint_set = endpoint_set;
  p.data.metatraffic_unicast_locator = meta_unicast;
  p.data.default_unicast_locator = default_unicast;
  return p;
}

rtps::SubscriptionBuiltinTopicData record(std::uint8_t key, const GuidPrefix& prefix) {
  rtps::SubscriptionBuiltinTopicData s;
  s.endpoint_guid = {prefix, rtps::make_entity_id(0, 0, key, rtps::EntityKind::UserReaderWithKey)};
  s.participant_guid = {prefix, ids::participant};
  s.topic_name = "Topic";
  s.type_name = "Type";
  return s;
}
// Its parameters make a valid publication record as well.
std::vector<std::byte> payload(std::uint8_t key) {
  return encode_bytes(record(key, remote_prefix), true).value();
}

std::vector<std::byte> heartbeat(EntityId writer, SequenceNumber first, SequenceNumber last) {
  return framed(sub_id::heartbeat,
                rtps::HeartbeatSubmessage{.writer_id = writer, .first_sn = first, .last_sn = last});
}

DiscoveredParticipant first_participant(const SharedBytes& datagram) {
  return SpdpReader::read(received(datagram)).announced.at(0);
}

std::vector<std::string> topics_of(const auto& records) {
  std::vector<std::string> out;
  for (const auto& r : records)
    out.push_back(r.topic_name);
  return out;
}

// Every submessage of type T in what the stack returned.
template <typename T>
std::vector<T> all_of(const std::vector<rtps::OutboundDatagram>& datagrams) {
  std::vector<T> out;
  for (const auto& d : datagrams) {
    const auto parsed =
        rtps::decode_bytes<rtps::ParsedDatagram>(SharedBytes::copy_of(d.bytes), true).value();
    for (const auto& s : parsed.submessages)
      if (const auto* t = std::get_if<T>(&s)) out.push_back(*t);
  }
  return out;
}

class SedpStackTest : public ::testing::Test {
 protected:
  SedpEvents receive(std::initializer_list<std::vector<std::byte>> submessages) {
    return stack.handle_datagram(received(datagram_from(remote_prefix, submessages)), Elapsed{});
  }

  SedpStack stack{local_prefix, rtps::nimbrel_vendor_id};
};

// --- Proxies per discovered participant --------------------------------------------------------

// Reader proxies for the remote SEDP readers, writer proxies for its writers, all at the
// metatraffic locator or else the default one; none for the local participant itself.
TEST(SedpProxies, FollowEndpointSetAndLocatorChoice) {
  const std::tuple<DiscoveredParticipant, std::size_t, std::size_t, std::vector<Locator>> cases[] =
      {{participant(0x08 | 0x20, meta, dflt), 2, 0, {meta}},
       {participant(0x04 | 0x10, {}, dflt), 0, 2, {dflt}},
       {participant(all_sedp, {}, {}), 2, 2, {}},
       {participant(all_sedp, meta, dflt, local_prefix), 0, 0, {}}};
  for (const auto& [discovered, reader_count, writer_count, locators] : cases) {
    SedpStack stack{local_prefix, rtps::nimbrel_vendor_id};
    stack.on_participant_discovered(discovered);
    std::vector<std::vector<Locator>> reader_proxies, writer_proxies;
    for (const auto* w : {&stack.publications_writer(), &stack.subscriptions_writer()})
      for (const auto& proxy : w->reader_proxies())
        reader_proxies.push_back(proxy.unicast_locators);
    for (const auto* r :
         {&stack.publications_reader().reader(), &stack.subscriptions_reader().reader()})
      for (const auto& state : r->writer_proxy_states())
        writer_proxies.push_back(state.proxy.unicast_locators);
    EXPECT_EQ(reader_proxies, std::vector(reader_count, locators));
    EXPECT_EQ(writer_proxies, std::vector(writer_count, locators));
  }
}

// --- Routing ------------------------------------------------------------------------------------

TEST_F(SedpStackTest, UnaddressedSubmessagesRouteByWriterId) {
  stack.on_participant_discovered(participant(all_sedp, meta, {}));
  const auto publications = ids::sedp_publications_writer;
  const auto subscriptions = ids::sedp_subscriptions_writer;
  const auto whole = payload(2);
  const auto half = static_cast<std::uint16_t>((whole.size() + 1) / 2);
  auto frag = [&](rtps::FragmentNumber n) {
    const auto begin = whole.begin() + half * (n - 1);
    return framed(sub_id::data_frag,
                  rtps::DataFragSubmessage{
                      .writer_id = publications,
                      .writer_sn = 2,
                      .fragment_starting_num = n,
                      .fragments_in_submessage = 1,
                      .fragment_size = half,
                      .sample_size = static_cast<std::uint32_t>(whole.size()),
                      .fragments = shared({begin, n == 1 ? begin + half : whole.end()})});
  };
  // An SPDP writer's unaddressed DATA is no SEDP announcement.
  EXPECT_EQ(receive({data_submessage(publications, payload(1)), frag(1),
                     data_submessage(ids::spdp_writer, payload(1))})
                .publications.size(),
            1u);
  EXPECT_EQ(receive({frag(2)}).publications.size(), 1u);

  // DATA 2 waits for 1 until the HEARTBEAT announced it and the GAP declared it irrelevant.
  EXPECT_TRUE(receive({data_submessage(subscriptions, payload(3), ids::unknown, 2),
                       heartbeat(subscriptions, 1, 2)})
                  .subscriptions.empty());
  const rtps::GapSubmessage gap{
      .writer_id = subscriptions, .gap_start = 1, .gap_list = {.base = 2}};
  EXPECT_EQ(receive({framed(sub_id::gap, gap)}).subscriptions.size(), 1u);
  EXPECT_EQ(stack.cache().publications().size(), 2u);
  EXPECT_EQ(stack.cache().subscriptions().size(), 1u);
}

TEST_F(SedpStackTest, RecordReleasedByAHeartbeatIsNotLost) {
  stack.on_participant_discovered(participant(all_sedp, meta, {}));
  const auto subscriptions = ids::sedp_subscriptions_writer;
  EXPECT_TRUE(
      receive({data_submessage(subscriptions, payload(3), ids::unknown, 3)}).subscriptions.empty());
  // The writer no longer has 1 and 2: moving first available past them releases 3.
  const auto released = receive({heartbeat(subscriptions, 3, 3)});
  EXPECT_EQ(released.subscriptions.size(), 1u);
  EXPECT_EQ(stack.cache().subscriptions().size(), 1u);
}

// A record that does not decode is counted and skipped: its neighbours are delivered and it is
// not asked for again. A dispose naming its endpoint by key hash, or by a payload that holds only
// the key, removes that endpoint.
TEST_F(SedpStackTest, BadRecordIsSkippedAndKeyOnlyDisposesRemove) {
  stack.on_participant_discovered(participant(all_sedp, meta, {}));
  const auto writer = ids::sedp_subscriptions_writer;
  const auto events =
      receive({data_submessage(writer, payload(1)),
               data_submessage(writer, bytes({0, 1, 0, 0}), ids::unknown, 2),
               data_submessage(writer, payload(3), ids::unknown, 3), heartbeat(writer, 1, 3)});
  EXPECT_EQ(events.subscriptions,
            (std::vector{record(1, remote_prefix), record(3, remote_prefix)}));
  EXPECT_EQ(stack.subscriptions_reader().undecodable(), 1u);
  auto acknacks = all_of<rtps::AckNackSubmessage>(stack.tick(Elapsed::from_secs(1)).value());
  std::erase_if(acknacks, [&](const auto& a) { return a.writer_id != writer; });
  ASSERT_EQ(acknacks.size(), 1u);
  EXPECT_EQ(acknacks[0].reader_sn_state.base, 4);
  EXPECT_TRUE(acknacks[0].reader_sn_state.members().empty());

  auto dispose = [&](std::uint8_t key, SequenceNumber sn, bool with_key_hash) {
    const Guid endpoint = record(key, remote_prefix).endpoint_guid;
    rtps::ParameterList qos;
    qos.push(rtps::pid::status_info, bytes({0, 0, 0, 3}));  // disposed and unregistered
    if (with_key_hash) qos.push_guid(rtps::pid::key_hash, endpoint);
    rtps::ParameterList key_only;
    key_only.push_guid(rtps::pid::endpoint_guid, endpoint);
    return framed(
        sub_id::data,
        rtps::DataSubmessage{
            .writer_id = writer,
            .writer_sn = sn,
            .inline_qos = qos,
            .serialized_payload = shared(concat(
                {bytes({0, 3, 0, 0}), encode_bytes(key_only, /*little_endian=*/true).value()})),
            .key_flag = true});
  };
  const auto removed = receive({dispose(1, 4, /*with_key_hash=*/true), dispose(3, 5, false)});
  EXPECT_EQ(removed.removed_subscriptions, (std::vector{record(1, remote_prefix).endpoint_guid,
                                                        record(3, remote_prefix).endpoint_guid}));
  EXPECT_TRUE(stack.cache().subscriptions().empty());
  EXPECT_EQ(stack.subscriptions_reader().undecodable(), 1u);
}

// --- Announcing ---------------------------------------------------------------------------------

// Each announcement goes to the remote detector's metatraffic locator at once; an ACKNACK relayed
// after INFO_SOURCE has the members of its bitmap sent again on the next tick.
TEST_F(SedpStackTest, AnnouncedSubscriptionsReachTheRemoteDetectorAndAreRepaired) {
  stack.on_participant_discovered(participant(0x20, meta, dflt));
  const auto datagrams = stack.announce_subscription(record(1, local_prefix)).value();
  ASSERT_EQ(datagrams.size(), 1u);
  EXPECT_EQ(*datagrams[0].destinations, std::vector<Locator>{meta});
  EXPECT_EQ(rtps::decode_bytes<rtps::ParsedDatagram>(SharedBytes::copy_of(datagrams[0].bytes), true)
                ->guid_prefix,
            local_prefix);
  const auto sent = all_of<rtps::DataSubmessage>(datagrams);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].reader_id, ids::sedp_subscriptions_reader);
  EXPECT_EQ(sent[0].writer_id, ids::sedp_subscriptions_writer);
  EXPECT_EQ(rtps::decode_bytes<rtps::SubscriptionBuiltinTopicData>(
                sent[0].serialized_payload.span(), true),
            record(1, local_prefix));

  for (std::uint8_t key = 2; key <= 7; ++key)
    ASSERT_TRUE(stack.announce_subscription(record(key, local_prefix)));
  // Relayed for the remote reader; base 5 with bits 0 and 2.
  const rtps::AckNackSubmessage acknack{
      .reader_id = ids::sedp_subscriptions_reader,
      .writer_id = ids::sedp_subscriptions_writer,
      .reader_sn_state = {.base = 5, .num_bits = 3, .bitmap = {0xA0000000u}}};
  stack.handle_datagram(received(datagram_from(relay_prefix, {info_source(remote_prefix),
                                                              framed(sub_id::acknack, acknack)})),
                        Elapsed{});
  std::vector<SequenceNumber> repaired;
  for (const auto& d : all_of<rtps::DataSubmessage>(stack.tick(Elapsed::from_secs(1)).value()))
    repaired.push_back(d.writer_sn);
  EXPECT_EQ(repaired, (std::vector<SequenceNumber>{5, 7}));
}

// --- Cyclone DDS captures -----------------------------------------------------------------------

// The captured publications as sent, and readdressed to ENTITYID_UNKNOWN as Cyclone sends its
// first announcements.
class CycloneSedp : public ::testing::TestWithParam<bool> {};

TEST_P(CycloneSedp, PublicationsReachEventsAndCache) {
  SedpStack stack{local_prefix, rtps::nimbrel_vendor_id};
  stack.on_participant_discovered(first_participant(load_capture("spdp_pub.bin")));
  const auto capture = load_capture("sedp_pub_publication.bin");
  std::vector<std::byte> bytes(capture.span().begin(), capture.span().end());
  // readerId of each DATA, 8 bytes into the submessage.
  for (std::size_t data_at : {48, 344, 608, 900})
    if (GetParam()) std::fill_n(bytes.begin() + static_cast<long>(data_at + 8), 4, std::byte{0});

  const auto events =
      stack.handle_datagram(received(shared(bytes), cyclone_sub_prefix), Elapsed::from_secs(3));
  EXPECT_EQ(topics_of(events.publications),
            (std::vector<std::string>{"DDSPerfCPUStats", "DDSPerfRPingKS", "DDSPerfRDataKS",
                                      "DDSPerfRPongKS"}));
  const Guid writer{{0x01, 0x10, 0x60, 0x12, 0x5a, 0xa1, 0x08, 0x2e, 0xa2, 0x12, 0xf2, 0x1b},
                    rtps::make_entity_id(0, 0, 0x0b, rtps::EntityKind::UserWriterWithKey)};
  const auto& [cached, time] = stack.cache().publications().at(writer);
  EXPECT_EQ(cached.topic_name, "DDSPerfRDataKS");
  EXPECT_EQ(cached.type_name, "KeyedSeq");
  EXPECT_EQ(time, Elapsed::from_secs(3));
}

INSTANTIATE_TEST_SUITE_P(Addressing, CycloneSedp, ::testing::Bool());

TEST(CycloneSedpTick, HeartbeatsAreAcknowledgedAtMetatrafficLocator) {
  SedpStack stack{local_prefix, rtps::nimbrel_vendor_id};
  stack.on_participant_discovered(first_participant(load_capture("spdp_sub.bin")));
  const auto events = stack.handle_datagram(
      received(load_capture("sedp_sub_subscription.bin"), cyclone_pub_prefix), Elapsed{});
  EXPECT_EQ(topics_of(events.subscriptions),
            (std::vector<std::string>{"DDSPerfRPingKS", "DDSPerfRDataKS", "DDSPerfRPongKS"}));

  // Publications 1-4 were announced and none arrived; subscriptions 1-3 all did.
  const auto replies = stack.tick(Elapsed::from_millis(5)).value();
  const auto acknacks = all_of<rtps::AckNackSubmessage>(replies);
  ASSERT_EQ(acknacks.size(), 2u);
  EXPECT_EQ(acknacks[0].writer_id, ids::sedp_publications_writer);
  EXPECT_EQ(acknacks[0].reader_sn_state.members(), (std::vector<SequenceNumber>{1, 2, 3, 4}));
  EXPECT_EQ(acknacks[1].writer_id, ids::sedp_subscriptions_writer);
  EXPECT_EQ(acknacks[1].reader_sn_state.base, 4);
  EXPECT_TRUE(acknacks[1].reader_sn_state.members().empty());
  for (const auto& reply : replies)
    EXPECT_EQ(*reply.destinations, std::vector<Locator>{Locator::udp_v4({127, 0, 0, 1}, 48687)});
}

// --- Cache --------------------------------------------------------------------------------------

TEST(DiscoveredEndpointsCache, FullParticipantEvictsItsLeastRecentlyUpdated) {
  auto publication = [](const GuidPrefix& prefix, std::uint32_t n) {
    rtps::PublicationBuiltinTopicData p;
    p.endpoint_guid = {prefix, rtps::make_entity_id(0, static_cast<std::uint8_t>(n >> 8),
                                                    static_cast<std::uint8_t>(n),
                                                    rtps::EntityKind::UserWriterWithKey)};
    return p;
  };
  auto has = [](const DiscoveredEndpointsCache& cache, const rtps::PublicationBuiltinTopicData& p) {
    return cache.publications().contains(p.endpoint_guid);
  };
  DiscoveredEndpointsCache cache;
  // Oldest of all, but another participant's.
  cache.insert_publication(publication(local_prefix, 0), Elapsed{});
  for (std::uint32_t n = 0; n < 256; ++n)
    cache.insert_publication(publication(remote_prefix, n), Elapsed::from_secs(10 + n));
  // A re-announcement refreshes and never evicts.
  cache.insert_publication(publication(remote_prefix, 0), Elapsed::from_secs(1000));
  EXPECT_EQ(cache.publications().size(), 257u);
  EXPECT_EQ(cache.publications().at(publication(remote_prefix, 0).endpoint_guid).second,
            Elapsed::from_secs(1000));

  cache.insert_publication(publication(remote_prefix, 256), Elapsed::from_secs(1001));
  EXPECT_EQ(cache.publications().size(), 257u);
  EXPECT_FALSE(has(cache, publication(remote_prefix, 1)));
  EXPECT_TRUE(has(cache, publication(remote_prefix, 0)));
  EXPECT_TRUE(has(cache, publication(local_prefix, 0)));
}

}  // namespace
}  // namespace nimbrel::discovery
