#include "dcps/runtime/receive.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "dcps/discovery_events/departures.hpp"
#include "dcps/runtime_test_util.hpp"
#include "rtps/participant_message_data.hpp"

namespace nimbrel::dcps {
namespace {

using namespace std::chrono_literals;

class MetatrafficTest : public ::testing::Test {
 protected:
  std::shared_ptr<testing::RecordingTransport> tx_ =
      std::make_shared<testing::RecordingTransport>();
  std::shared_ptr<RuntimeState> state_ = testing::make_state(tx_, MonoInstant{});

  void SetUp() override { testing::give_sedp_a_subscription(*state_); }

  std::size_t participants() { return (*state_->participant.participants.lock())->size(); }
  // SEDP talks to a participant once it has proxies for it.
  bool sedp_reaches_remote() {
    const auto datagrams = (*state_->participant.sedp.lock())->tick(Elapsed::from_secs(1)).value();
    for (const auto& datagram : datagrams)
      if (std::ranges::count(*datagram.destinations, testing::remote_metatraffic) > 0) return true;
    return false;
  }
};

TEST_F(MetatrafficTest, NewParticipantIsRecordedOnceAndGetsSedpProxies) {
  testing::deliver(*state_, testing::spdp_announcement(state_->participant.local_participant));
  EXPECT_EQ(participants(), 0u);  // its own announcement looped back changes nothing
  EXPECT_FALSE(sedp_reaches_remote());
  testing::deliver(*state_, testing::remote_announcement());
  EXPECT_EQ(participants(), 1u);
  EXPECT_TRUE(sedp_reaches_remote());
  testing::deliver(*state_, testing::remote_announcement());
  EXPECT_EQ(participants(), 1u);
}

TEST_F(MetatrafficTest, PoisonedParticipantsCacheSkipsTheAnnouncement) {
  state_->participant.participants.poison();
  testing::deliver(*state_, testing::remote_announcement());
  EXPECT_FALSE(sedp_reaches_remote());
}

// One datagram reaches every handler: the SPDP data and the liveliness pulse packed together are
// both taken.
TEST_F(MetatrafficTest, EveryHandlerSeesTheDatagram) {
  discovery::WlpEndpoint remote_wlp(testing::remote_prefix, 1s);
  auto pulse = remote_wlp.tick(Elapsed{}).value().value();
  auto spdp = testing::remote_announcement();
  // The pulse's submessages appended after the announcement, under the announcement's header.
  std::vector<std::byte> both(spdp.span().begin(), spdp.span().end());
  both.insert(both.end(), pulse.begin() + rtps::rtps_header_size, pulse.end());

  testing::deliver(*state_, SharedBytes::adopt(std::move(both)), Elapsed::from_secs(3));
  EXPECT_EQ(participants(), 1u);
  EXPECT_EQ((*state_->participant.wlp.lock())->liveliness(),
            (std::map<rtps::GuidPrefix, discovery::LivelinessEntry>{
                {testing::remote_prefix, {Elapsed::from_secs(3), 0}}}));
}

// --- User traffic through the receive path ----------------------------------------------------

constexpr rtps::GuidPrefix writer_a{0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA};
constexpr rtps::GuidPrefix relay{0xE, 0xE, 0xE, 0xE, 0xE, 0xE, 0xE, 0xE, 0xE, 0xE, 0xE, 0xE};

struct Hostile {
  const char* name;
  // Given the last number sent so far.
  std::function<std::vector<std::byte>(rtps::SequenceNumber)> submessage;
};

class HostileSubmessage : public testing::UserTrafficTest,
                          public ::testing::WithParamInterface<Hostile> {};

// Invalid submessages sent under a live writer's prefix, between its samples, leave its stream
// complete and in order.
TEST_P(HostileSubmessage, LeavesTheStreamRecording) {
  know_writer(writer_a);
  auto registered = reader();
  std::uint32_t count = 0;
  for (rtps::SequenceNumber sn = 1; sn <= 6; sn += 2) {
    receive(
        testing::datagram_from(writer_a, {testing::data(sn), testing::heartbeat(1, sn, ++count)}));
    receive(testing::datagram_from(writer_a, {GetParam().submessage(sn)}));
    receive(testing::datagram_from(writer_a, {testing::data(sn + 1)}));
  }
  EXPECT_EQ(taken(registered.samples), (std::vector<std::uint32_t>{1, 2, 3, 4, 5, 6}));
  const auto* proxy =
      slot(registered.entity_id).reader.writer_proxy_state({writer_a, testing::writer_id});
  ASSERT_NE(proxy, nullptr);
  EXPECT_EQ(proxy->proxy.highest_delivered, 6);
}

rtps::GapSubmessage gap_from(rtps::SequenceNumber start, rtps::SequenceNumber base) {
  return {.writer_id = testing::writer_id, .gap_start = start, .gap_list = {.base = base}};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostileSubmessage,
    ::testing::Values(
        Hostile{"HeartbeatFirstFarPastLast",
                [](rtps::SequenceNumber) { return testing::heartbeat(1LL << 40, 1, 1000); }},
        Hostile{"HeartbeatFirstPastLast",
                [](rtps::SequenceNumber sn) { return testing::heartbeat(sn + 1000, sn, 1001); }},
        Hostile{"GapStartZero",
                [](rtps::SequenceNumber sn) {
                  return testing::framed(rtps::submessage_id::gap, gap_from(0, sn + 250));
                }},
        Hostile{"GapStartNegative",
                [](rtps::SequenceNumber sn) {
                  return testing::framed(rtps::submessage_id::gap, gap_from(-5, sn + 250));
                }},
        Hostile{"DataFragLargerThanItsSample",
                [](rtps::SequenceNumber sn) {
                  return testing::framed(
                      rtps::submessage_id::data_frag,
                      rtps::DataFragSubmessage{
                          .writer_id = testing::writer_id,
                          .writer_sn = sn + 1,
                          .fragment_starting_num = 1,
                          .fragments_in_submessage = 1,
                          .fragment_size = 4096,
                          .sample_size = 64,
                          .fragments = rtps::testing::shared(rtps::testing::filled(64, 0xEE))});
                }}),
    [](const auto& test) { return std::string(test.param.name); });

using ReceivePathTest = testing::UserTrafficTest;

// A relay's datagram: INFO_SRC names the participant behind it for SPDP, SEDP, writer liveliness
// and user data alike. What follows an INFO_DST naming another participant is not for us.
TEST_F(ReceivePathTest, InfoSourceAndDestinationApplyToEveryConsumer) {
  auto registered = reader();
  const auto participant = testing::participant_data(writer_a, testing::remote_user);
  const auto pulse =
      rtps::encode_bytes(
          rtps::ParticipantMessageData{{rtps::GuidPrefix{}, rtps::entity_ids::participant}, 0, {}},
          /*little_endian=*/true)
          .value();
  namespace ids = rtps::entity_ids;
  using rtps::testing::data_submessage;
  receive(testing::datagram_from(
              relay, {testing::info_source(writer_a),
                      data_submessage(ids::spdp_writer, encode_bytes(participant, true)),
                      data_submessage(ids::sedp_publications_writer,
                                      encode_bytes(testing::publication(writer_a), true).value(),
                                      ids::sedp_publications_reader, 1),
                      data_submessage(ids::participant_message_writer, pulse), testing::data(1),
                      rtps::testing::info_destination(relay), testing::data(2)}),
          Elapsed::from_secs(2));
  EXPECT_EQ((*state_->participant.participants.lock())->find(writer_a)->sender_prefix, writer_a);
  EXPECT_EQ((*state_->participant.sedp.lock())->cache().publications().size(), 1u);
  EXPECT_TRUE((*state_->participant.wlp.lock())->liveliness().contains(writer_a));
  EXPECT_EQ(taken(registered.samples), (std::vector<std::uint32_t>{1}));
}

// A participant leaves by goodbye or by silence; either way nothing of it stays behind: its cache
// entry, SEDP proxies and endpoints, liveliness entry and the proxies of the readers matched
// with its writers.
TEST_F(ReceivePathTest, DepartedParticipantsLeaveNothingBehind) {
  constexpr rtps::GuidPrefix writer_b{0xB, 0xB, 0xB, 0xB, 0xB, 0xB, 0xB, 0xB, 0xB, 0xB, 0xB, 0xB};
  auto registered = reader();
  know_writer(writer_a);
  know_writer(writer_b);
  const auto matched = [&](const rtps::GuidPrefix& prefix) {
    return slot(registered.entity_id).reader.writer_proxy_state({prefix, testing::writer_id}) !=
           nullptr;
  };
  const auto sedp_proxies = [&] {
    return (*state_->participant.sedp.lock())
        ->publications_reader()
        .reader()
        .writer_proxy_states()
        .size();
  };
  ASSERT_TRUE(matched(writer_a) && matched(writer_b));
  ASSERT_EQ(sedp_proxies(), 2u);

  discovery::SpdpBeacon beacon{.data = testing::participant_data(writer_a)};
  receive(SharedBytes::adopt(beacon.serialize_goodbye().value()));
  EXPECT_EQ((*state_->participant.participants.lock())->find(writer_a), nullptr);
  EXPECT_FALSE(matched(writer_a));
  EXPECT_TRUE(matched(writer_b));
  EXPECT_EQ(sedp_proxies(), 1u);
  EXPECT_EQ((*state_->participant.sedp.lock())->cache().publications().size(), 1u);

  // The announced lease is 100 s from the moment it was last heard, by any traffic.
  receive(testing::datagram_from(writer_b, {testing::data(1)}), Elapsed::from_secs(60));
  expire_participants(*state_, Elapsed::from_secs(101));
  EXPECT_TRUE(matched(writer_b));
  expire_participants(*state_, Elapsed::from_secs(161));
  EXPECT_FALSE(matched(writer_b));
  EXPECT_EQ((*state_->participant.participants.lock())->size(), 0u);
  EXPECT_EQ(sedp_proxies(), 0u);
  EXPECT_TRUE((*state_->participant.sedp.lock())->cache().publications().empty());
  EXPECT_TRUE(slot(registered.entity_id).matched_writers.empty());
}

}  // namespace
}  // namespace nimbrel::dcps
