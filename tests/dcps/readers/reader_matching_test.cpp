#include "dcps/readers/reader_matching.hpp"

#include <gtest/gtest.h>

#include "dcps/runtime_test_util.hpp"

namespace nimbrel::dcps {
namespace {

using testing::data;
using testing::datagram_from;
using testing::heartbeat;

constexpr rtps::GuidPrefix writer_a{0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA};
constexpr rtps::GuidPrefix other{0xC, 0xC, 0xC, 0xC, 0xC, 0xC, 0xC, 0xC, 0xC, 0xC, 0xC, 0xC};
const rtps::Guid writer_guid{writer_a, testing::writer_id};

class MatchingTest : public testing::UserTrafficTest {
 protected:
  // Any SEDP event runs matching for every reader: here an unrelated writer of another participant.
  void another_sedp_event() {
    know_participant(other);
    announce(testing::publication(other, "Unrelated"));
  }
  const rtps::WriterProxyState* proxy(const rtps::EntityId& reader) {
    return slot(reader).reader.writer_proxy_state(writer_guid);
  }
};

// Recorded traffic of a real `ddsperf pub`: its writer is matched when the reader is registered,
// at its participant's default unicast locator, and its sample is delivered. Matching again must
// not hand the same sample out a second time.
TEST_F(MatchingTest, CycloneWriterKnownBeforeTheReaderIsMatchedOnce) {
  testing::deliver(*state_, rtps::testing::load_capture("spdp_pub.bin"));
  // Sent to the captured subscriber, as INFO_DST says: received here as if addressed to us.
  testing::deliver(*state_, rtps::testing::load_capture("sedp_pub_publication.bin"), {},
                   rtps::testing::cyclone_sub_prefix);
  auto registered = register_user_reader(state_->participant, state_->readers,
                                         {.topic_name = "DDSPerfRDataKS", .type_name = "KeyedSeq"})
                        .value();
  const rtps::Guid cyclone{{0x01, 0x10, 0x60, 0x12, 0x5a, 0xa1, 0x08, 0x2e, 0xa2, 0x12, 0xf2, 0x1b},
                           testing::writer_id};
  const auto* matched = slot(registered.entity_id).reader.writer_proxy_state(cyclone);
  ASSERT_NE(matched, nullptr);
  EXPECT_EQ(matched->proxy.unicast_locators,
            (std::vector<rtps::Locator>{rtps::Locator::udp_v4({127, 0, 0, 1}, 56172)}));

  const auto sample = rtps::testing::load_capture("user_data_pub.bin");
  receive(sample);
  EXPECT_EQ(taken(registered.samples), (std::vector<std::uint32_t>{21}));
  match_local_readers_against_cache(state_->participant, state_->readers);
  receive(sample);
  EXPECT_TRUE(taken(registered.samples).empty());
}

// Matching again keeps the writer's stream where it was and takes the locators the participant
// announces now.
TEST_F(MatchingTest, RematchingKeepsTheStreamAndFollowsTheLocators) {
  know_writer(writer_a);
  auto registered = reader();
  receive(datagram_from(writer_a, {data(1), data(2)}));
  const auto moved = rtps::Locator::udp_v4({127, 0, 0, 9}, 42000);
  know_participant(writer_a, moved);
  another_sedp_event();
  // A fresh proxy would take 2 again and hold 3 back until 1 and 2 were repaired.
  receive(datagram_from(writer_a, {data(2), data(3)}));
  EXPECT_EQ(taken(registered.samples), (std::vector<std::uint32_t>{1, 2, 3}));
  const auto* refreshed = proxy(registered.entity_id);
  ASSERT_NE(refreshed, nullptr);
  EXPECT_EQ(refreshed->proxy.unicast_locators, (std::vector<rtps::Locator>{moved}));
  user_->take();
  receive(datagram_from(writer_a, {heartbeat(1, 4, 1)}));
  const auto sent = user_->take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].destination, moved);
}

// Without its participant's locator a writer cannot be reached: it is skipped, not refused.
TEST_F(MatchingTest, WriterOfAnUnheardParticipantWaitsForALaterEvent) {
  (*state_->participant.sedp.lock())
      ->on_participant_discovered(
          {.data = testing::participant_data(writer_a, testing::remote_user),
           .sender_prefix = writer_a});
  announce(testing::publication(writer_a));
  auto registered = reader();
  EXPECT_EQ(proxy(registered.entity_id), nullptr);
  EXPECT_EQ(slot(registered.entity_id).requested_incompatible_qos, IncompatibleQosStatus{});

  (*state_->participant.participants.lock())
      ->insert({.data = testing::participant_data(writer_a, testing::remote_user),
                .sender_prefix = writer_a},
               Elapsed{});
  another_sedp_event();
  EXPECT_NE(proxy(registered.entity_id), nullptr);
  EXPECT_EQ(slot(registered.entity_id).matched_writers.count(writer_guid), 1u);
}

TEST_F(MatchingTest, IncompatibleWriterIsCountedAtEveryEvent) {
  know_writer(writer_a);
  const auto registered = register_user_reader(state_->participant, state_->readers,
                                               {.topic_name = "Topic",
                                                .type_name = "Type",
                                                .durability = rtps::DurabilityKind::TransientLocal})
                              .value();
  const IncompatibleQosStatus once{.total_count = 1,
                                   .last_policy_id = QosPolicyId::Durability,
                                   .policies = {{QosPolicyId::Durability, 1}}};
  EXPECT_EQ(slot(registered.entity_id).requested_incompatible_qos, once);
  another_sedp_event();
  EXPECT_EQ(slot(registered.entity_id).requested_incompatible_qos.policies,
            (std::vector<PolicyCount>{{QosPolicyId::Durability, 2}}));
  EXPECT_EQ(slot(registered.entity_id).requested_incompatible_qos.total_count, 2);
  EXPECT_EQ(proxy(registered.entity_id), nullptr);
}

// Both sides announce a type: an unfit one is refused and counted under policy 23.
TEST_F(MatchingTest, TypeRuleRefusesAnUnfitTypeAndCountsIt) {
  using TI = types::TypeIdentifier;
  know_participant(writer_a);
  auto publication = testing::publication(writer_a);
  publication.type_identifier = TI::Primitive{types::PrimitiveKind::Int32};
  announce(publication);
  UserReaderConfig config{.topic_name = "Topic", .type_name = "Type"};
  config.type_identifier = TI::Primitive{types::PrimitiveKind::Int16};
  const auto narrow = register_user_reader(state_->participant, state_->readers, config).value();
  EXPECT_EQ(proxy(narrow.entity_id), nullptr);
  EXPECT_EQ(slot(narrow.entity_id).requested_incompatible_qos,
            (IncompatibleQosStatus{.total_count = 1,
                                   .last_policy_id = QosPolicyId::TypeAssignability,
                                   .policies = {{QosPolicyId::TypeAssignability, 1}}}));
  config.type_identifier = publication.type_identifier;
  EXPECT_NE(
      proxy(register_user_reader(state_->participant, state_->readers, config).value().entity_id),
      nullptr);
}

TEST_F(MatchingTest, TypeNamesMustBeEqualByteForByte) {
  know_participant(writer_a);
  announce(testing::publication(writer_a, "Topic", "type"));
  const auto registered = reader();
  EXPECT_EQ(proxy(registered.entity_id), nullptr);
  EXPECT_EQ(slot(registered.entity_id).requested_incompatible_qos.total_count, 0);
}

}  // namespace
}  // namespace nimbrel::dcps
