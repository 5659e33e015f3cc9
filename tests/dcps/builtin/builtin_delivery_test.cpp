// Builtin-topic samples from the receive path: one per new or changed participant or endpoint,
// none for what the ignore filter names, and the known state handed to sinks installed late.
#include "dcps/builtin/builtin_delivery.hpp"

#include <gtest/gtest.h>

#include "dcps/discovery_events/apply.hpp"
#include "dcps/runtime_test_util.hpp"

namespace nimbrel::dcps {
namespace {

rtps::PublicationBuiltinTopicData remote_publication(const std::string& topic = "Topic") {
  rtps::PublicationBuiltinTopicData p;
  static_cast<rtps::EndpointBuiltinTopicData&>(p) =
      testing::publication(testing::remote_prefix, topic);
  return p;
}

class BuiltinDeliveryTest : public ::testing::Test {
 protected:
  std::shared_ptr<testing::RecordingTransport> tx_ =
      std::make_shared<testing::RecordingTransport>();
  std::shared_ptr<RuntimeState> state_ = testing::make_state(tx_, MonoInstant{});
  std::shared_ptr<BuiltinSinks> sinks_ = std::make_shared<BuiltinSinks>();
  std::shared_ptr<IgnoreFilter> filter_ = std::make_shared<IgnoreFilter>();

  void SetUp() override { install_builtin_sinks(state_->participant, state_->builtin, sinks_); }

  void publish(const rtps::PublicationBuiltinTopicData& publication) {
    discovery::SedpEvents events;
    events.publications = {publication};
    on_sedp_events(*state_, events);
  }
  static std::size_t count(BuiltinSink& sink) { return sink.take().size(); }
};

TEST_F(BuiltinDeliveryTest, RepeatedAnnouncementsGiveOneParticipantSample) {
  for (int i = 0; i < 3; ++i)
    testing::deliver(*state_, testing::remote_announcement());
  auto changed = testing::participant_data();
  changed.user_data = {std::byte{'u'}};
  testing::deliver(*state_, testing::spdp_announcement(changed));
  const auto samples = sinks_->participant->take();
  ASSERT_EQ(samples.size(), 2u);
  EXPECT_EQ(rtps::decode_bytes<ParticipantBuiltinTopicData>(samples[1], true)->user_data,
            changed.user_data);
  // Our own announcement, looped back, is no sample.
  testing::deliver(*state_, testing::spdp_announcement(state_->participant.local_participant));
  EXPECT_EQ(count(*sinks_->participant), 0u);
}

TEST_F(BuiltinDeliveryTest, EndpointEventsGiveEndpointAndTopicSamplesOnce) {
  publish(remote_publication());
  publish(remote_publication());
  EXPECT_EQ(count(*sinks_->publication), 1u);
  const auto topics = sinks_->topic->take();
  ASSERT_EQ(topics.size(), 1u);
  EXPECT_EQ(rtps::decode_bytes<TopicBuiltinTopicData>(topics[0], true)->name, "Topic");
  auto subscription =
      testing::publication(testing::remote_prefix, "Topic", "Type",
                           rtps::make_entity_id(0, 0, 2, rtps::EntityKind::UserReaderWithKey));
  discovery::SedpEvents events;
  events.subscriptions = {subscription};
  on_sedp_events(*state_, events);
  EXPECT_EQ(count(*sinks_->subscription), 1u);
  EXPECT_EQ(count(*sinks_->topic), 0u);  // the same topic, unchanged
}

TEST_F(BuiltinDeliveryTest, IgnoredParticipantGivesNoSamplesAtAll) {
  install_ignore_filter(state_->builtin, filter_);
  filter_->ignore_participant(discovery::instance_handle(
      rtps::Guid{testing::remote_prefix, rtps::entity_ids::participant}));
  testing::deliver(*state_, testing::remote_announcement());
  publish(remote_publication());
  EXPECT_EQ(count(*sinks_->participant), 0u);
  EXPECT_EQ(count(*sinks_->publication), 0u);
  EXPECT_EQ(count(*sinks_->topic), 0u);
}

TEST_F(BuiltinDeliveryTest, IgnoredTopicStillGivesThePublication) {
  install_ignore_filter(state_->builtin, filter_);
  filter_->ignore_topic(discovery::instance_handle(TopicBuiltinTopicData::key_of("Topic", "Type")));
  publish(remote_publication());
  publish(remote_publication("Other"));
  EXPECT_EQ(count(*sinks_->publication), 2u);
  const auto topics = sinks_->topic->take();
  ASSERT_EQ(topics.size(), 1u);
  EXPECT_EQ(rtps::decode_bytes<TopicBuiltinTopicData>(topics[0], true)->name, "Other");
}

TEST_F(BuiltinDeliveryTest, LateSinksGetWhatIsAlreadyKnown) {
  install_builtin_sinks(state_->participant, state_->builtin, nullptr);
  testing::deliver(*state_, testing::remote_announcement());
  auto late = std::make_shared<BuiltinSinks>();
  install_builtin_sinks(state_->participant, state_->builtin, late);
  EXPECT_EQ(builtin_sinks_snapshot(state_->builtin), late);
  EXPECT_EQ(count(*late->participant), 1u);
  EXPECT_EQ(count(*sinks_->participant), 0u);
}

}  // namespace
}  // namespace nimbrel::dcps
