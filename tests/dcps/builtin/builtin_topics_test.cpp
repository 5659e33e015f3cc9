// The four builtin-topic sample encodings byte for byte, the topic key, and the sinks: new or
// changed samples only, capped with the oldest dropped.
#include "dcps/builtin/builtin_topics.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dcps/builtin/builtin_subscriber.hpp"
#include "rtps/wire_test_util.hpp"

namespace nimbrel::dcps {
namespace {

using rtps::testing::bytes;
using rtps::testing::concat;

constexpr rtps::GuidPrefix prefix{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
const rtps::Guid participant_guid{prefix, rtps::entity_ids::participant};
const rtps::Guid writer_guid{prefix,
                             rtps::make_entity_id(0, 0, 1, rtps::EntityKind::UserWriterWithKey)};

// clang-format off
const std::vector<std::byte> participant_key = bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0, 0, 1, 0xC1});
const std::vector<std::byte> writer_key = bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0, 0, 1, 0x02});
// clang-format on

template <typename Record>
std::vector<std::byte> encoded(const Record& record) {
  auto out = rtps::encode_bytes(record, /*little_endian=*/true);
  EXPECT_TRUE(out.has_value());
  EXPECT_EQ(rtps::decode_bytes<Record>(*out, true), record);  // what the sinks' readers get back
  return out.value_or(std::vector<std::byte>{});
}

PublicationBuiltinTopicData publication() {
  rtps::PublicationBuiltinTopicData wire;
  wire.participant_guid = participant_guid;
  wire.endpoint_guid = writer_guid;
  wire.topic_name = std::string("T");
  wire.type_name = std::string("X");
  wire.durability = rtps::DurabilityKind::TransientLocal;
  wire.reliability.kind = rtps::ReliabilityKind::Reliable;
  wire.ownership = rtps::OwnershipKind::Exclusive;
  wire.ownership_strength = 7;
  wire.liveliness.lease_duration = {10, 0x80000000};  // the fraction is dropped
  wire.deadline = rtps::duration_infinite;
  wire.lifespan = {3, 0};
  return PublicationBuiltinTopicData::from_wire(wire);
}

TEST(BuiltinSampleEncoding, Participant) {
  EXPECT_EQ(encoded(ParticipantBuiltinTopicData{.key = participant_guid}),
            concat({participant_key, bytes({0, 0, 0, 0})}));
  EXPECT_EQ(encoded(ParticipantBuiltinTopicData{.key = participant_guid,
                                                .user_data = bytes({0xAB, 0xCD})}),
            concat({participant_key, bytes({2, 0, 0, 0, 0xAB, 0xCD})}));
}

TEST(BuiltinSampleEncoding, Topic) {
  rtps::PublicationBuiltinTopicData wire;
  wire.topic_name = std::string("T");
  wire.type_name = std::string("X");
  wire.reliability.kind = rtps::ReliabilityKind::Reliable;
  const auto topic = TopicBuiltinTopicData::from_publication(wire);
  const auto key = topic.key.to_bytes();
  // clang-format off
  EXPECT_EQ(encoded(topic), concat({
      std::vector<std::byte>(reinterpret_cast<const std::byte*>(key.data()), reinterpret_cast<const std::byte*>(key.data()) + 16),
      bytes({1, 0, 0, 0, 'T'}),    // name
      bytes({1, 0, 0, 0, 'X'}),    // type name
      bytes({0}),                  // durability: volatile
      bytes({2}),                  // reliability: reliable
  }));
  // clang-format on
}

TEST(BuiltinSampleEncoding, Publication) {
  // clang-format off
  EXPECT_EQ(encoded(publication()), concat({
      writer_key,                  // key
      participant_key,             // participant key
      bytes({1, 0, 0, 0, 'T'}),    // topic name
      bytes({1, 0, 0, 0, 'X'}),    // type name
      bytes({1, 2, 1}),            // durability, reliability, ownership
      bytes({7, 0, 0, 0}),         // ownership strength
      bytes({10, 0, 0, 0}),        // liveliness lease seconds
      bytes({0xFF, 0xFF, 0xFF, 0x7F}),  // deadline seconds: infinite
      bytes({3, 0, 0, 0}),         // lifespan seconds
      bytes({0, 0, 0, 0}),         // no partitions
  }));
  // clang-format on
}

TEST(BuiltinSampleEncoding, Subscription) {
  rtps::SubscriptionBuiltinTopicData wire;
  wire.participant_guid = participant_guid;
  wire.endpoint_guid = writer_guid;
  wire.topic_name = std::string("T");
  wire.type_name = std::string("X");
  wire.partition = {"a", "bc"};
  wire.liveliness.lease_duration = {5, 0};
  wire.deadline = {1, 0};
  // clang-format off
  EXPECT_EQ(encoded(SubscriptionBuiltinTopicData::from_wire(wire)), concat({
      writer_key, participant_key,
      bytes({1, 0, 0, 0, 'T'}), bytes({1, 0, 0, 0, 'X'}),
      bytes({0, 1, 0}),            // volatile, best effort, shared
      bytes({5, 0, 0, 0}),         // liveliness lease seconds
      bytes({1, 0, 0, 0}),         // deadline seconds
      bytes({2, 0, 0, 0, 1, 0, 0, 0, 'a', 2, 0, 0, 0, 'b', 'c'}),  // partitions
  }));
  // clang-format on
}

TEST(BuiltinSampleEncoding, DecodeRefusesCutAndTrailingBytes) {
  const auto whole = encoded(publication());
  for (std::size_t cut = 0; cut < whole.size(); ++cut) {
    EXPECT_FALSE(rtps::decode_bytes<PublicationBuiltinTopicData>(std::span(whole).first(cut), true))
        << cut;
  }
  auto longer = whole;
  longer.push_back(std::byte{0});
  EXPECT_FALSE(rtps::decode_bytes<PublicationBuiltinTopicData>(longer, true));
  // A partition count that the remaining bytes cannot hold is refused before allocating.
  auto huge = std::vector<std::byte>(whole.begin(), whole.end() - 4);
  huge.insert(huge.end(), {std::byte{0xFF}, std::byte{0xFF}, std::byte{0xFF}, std::byte{0xFF}});
  EXPECT_FALSE(rtps::decode_bytes<PublicationBuiltinTopicData>(huge, true));
}

TEST(TopicKey, DependsOnExactlyBothNames) {
  const auto key = TopicBuiltinTopicData::key_of("T", "X");
  EXPECT_EQ(key, TopicBuiltinTopicData::key_of("T", "X"));
  EXPECT_NE(key, TopicBuiltinTopicData::key_of("U", "X"));
  EXPECT_NE(key, TopicBuiltinTopicData::key_of("T", "Y"));
  EXPECT_NE(key, TopicBuiltinTopicData::key_of("TX", ""));
  // FNV-1a 64 of "T" is 0xaf64094c86023903 (little-endian first).
  EXPECT_EQ(key.to_bytes()[0], 0x03);
  EXPECT_EQ(key.to_bytes()[7], 0xAF);
}

// --- Sinks -------------------------------------------------------------------------------------

TEST(BuiltinSink, RepeatsOfAnUnchangedSampleAreNotAppended) {
  BuiltinSinks sinks(/*capacity=*/8);
  const ParticipantBuiltinTopicData participant{.key = participant_guid};
  EXPECT_EQ(sinks.push_participant(participant), PushOutcome::Appended);
  EXPECT_EQ(sinks.push_participant(participant), PushOutcome::Unchanged);
  auto changed = participant;
  changed.user_data = bytes({1});
  EXPECT_EQ(sinks.push_participant(changed), PushOutcome::Appended);
  const auto taken = sinks.participant->take();
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(rtps::decode_bytes<ParticipantBuiltinTopicData>(taken[1], true), changed);
  EXPECT_TRUE(sinks.topic->take().empty());
}

TEST(BuiltinSink, HoldsItsCapacityAndDropsTheOldestBeyond) {
  constexpr std::size_t capacity = 4;
  BuiltinSink sink(capacity);
  auto key = [](std::uint8_t n) { return BuiltinSink::Key{n}; };
  for (std::uint8_t n = 0; n < capacity; ++n)
    ASSERT_TRUE(sink.push(key(n), bytes({n})));
  EXPECT_EQ(sink.dropped(), 0u);
  ASSERT_TRUE(sink.push(key(capacity), bytes({capacity})));
  EXPECT_EQ(sink.dropped(), 1u);
  EXPECT_EQ(sink.take(),
            (std::vector<std::vector<std::byte>>{bytes({1}), bytes({2}), bytes({3}), bytes({4})}));
}

TEST(BuiltinSink, PoisonedSinkFailsAloneAndLeavesTheOthers) {
  BuiltinSinks sinks;
  sinks.participant->poison();
  EXPECT_EQ(sinks.push_participant({.key = participant_guid}).error(),
            "builtin sink mutex poisoned");
  EXPECT_TRUE(sinks.push_publication(publication()).has_value());
  EXPECT_EQ(sinks.publication->take().size(), 1u);
}

}  // namespace
}  // namespace nimbrel::dcps
