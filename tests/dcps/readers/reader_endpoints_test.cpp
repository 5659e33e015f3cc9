// The endpoints behind one reader handle: which one each remote writer is matched to, what they
// announce, and that all of them deliver once each into the handle's one queue.
#include "dcps/readers/reader_endpoints.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "dcps/runtime_test_util.hpp"

namespace nimbrel::dcps {
namespace {

using testing::datagram_from;
using Kind = rtps::EntityKind;

constexpr rtps::GuidPrefix prefix_a{0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA};
constexpr rtps::GuidPrefix prefix_b{0xB, 0xB, 0xB, 0xB, 0xB, 0xB, 0xB, 0xB, 0xB, 0xB, 0xB, 0xB};
constexpr rtps::EntityId keyless_writer_id =
    rtps::make_entity_id(0, 0, 0x0c, Kind::UserWriterNoKey);

struct Writer {
  rtps::GuidPrefix prefix;
  bool keyed = true;
  bool reliable = true;
  rtps::EntityId id() const { return keyed ? testing::writer_id : keyless_writer_id; }
  rtps::Guid guid() const { return {prefix, id()}; }
};

class ReaderEndpointsTest : public testing::UserTrafficTest {
 protected:
  void know(const Writer& writer) {
    know_participant(writer.prefix);
    auto publication = testing::publication(writer.prefix, "Topic", "Type", writer.id());
    if (!writer.reliable) publication.reliability.kind = rtps::ReliabilityKind::BestEffort;
    announce(publication);
  }
  // A DATA to no reader in particular, its payload the sequence number.
  SharedBytes data(const Writer& writer, rtps::SequenceNumber sn) {
    const auto n = static_cast<std::byte>(sn);
    return datagram_from(
        writer.prefix,
        {rtps::testing::data_submessage(
            writer.id(), {std::byte{0}, std::byte{1}, std::byte{0}, std::byte{0}, n, {}, {}, {}},
            {}, sn)});
  }
  // The ids of the endpoints that hold a proxy of `writer`.
  std::vector<rtps::EntityId> holders(const Writer& writer) {
    std::vector<rtps::EntityId> out;
    for (const auto& [id, slot] : state_->readers.slots.snapshot()) {
      if ((*slot->lock())->reader.writer_proxy_state(writer.guid()) != nullptr) out.push_back(id);
    }
    return out;
  }
  std::size_t endpoint_count() { return state_->readers.slots.snapshot().size(); }
};

struct FirstKindCase {
  const char* label;
  std::vector<Writer> known;
  Kind first;
};

class FirstEndpoint : public ReaderEndpointsTest,
                      public ::testing::WithParamInterface<FirstKindCase> {};

// Each known writer ends in exactly one endpoint, of its own keyedness.
TEST_P(FirstEndpoint, FollowsTheKnownWriters) {
  for (const auto& writer : GetParam().known)
    know(writer);
  const auto registered = reader();
  EXPECT_EQ(registered.entity_id.entity_kind, GetParam().first);
  for (const auto& writer : GetParam().known) {
    const auto held = holders(writer);
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].entity_kind, writer.keyed ? Kind::UserReaderWithKey : Kind::UserReaderNoKey);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FirstEndpoint,
    ::testing::Values(FirstKindCase{"NoWriter", {}, Kind::UserReaderWithKey},
                      FirstKindCase{"Keyless", {{prefix_a, false}}, Kind::UserReaderNoKey},
                      FirstKindCase{
                          "Both", {{prefix_a, false}, {prefix_b}}, Kind::UserReaderWithKey}),
    [](const auto& test) { return std::string(test.param.label); });

TEST_F(ReaderEndpointsTest, AKeylessWriterAfterTheReaderGetsAKeylessEndpoint) {
  auto registered = reader();
  ASSERT_EQ(endpoint_count(), 1u);
  const Writer keyless{prefix_a, false};
  know(keyless);
  ASSERT_EQ(endpoint_count(), 2u);
  const auto held = holders(keyless);
  ASSERT_EQ(held.size(), 1u);
  const auto slot = state_->readers.slots.find(held[0]);
  EXPECT_EQ((*slot->lock())->subscription.endpoint_guid,
            (rtps::Guid{state_->participant.prefix, held[0]}));
  EXPECT_EQ((*slot->lock())->subscription.reliability.kind, rtps::ReliabilityKind::Reliable);
  EXPECT_EQ((*slot->lock())->subscription.topic_name, "Topic");
  receive(data(keyless, 1));
  EXPECT_EQ(taken(registered.samples), (std::vector<std::uint32_t>{1}));
}

// The reliable writer's hole is repaired, the best-effort writer's is not waited for; the queue
// holds what each released in the order it arrived.
TEST_F(ReaderEndpointsTest, ReliableAndBestEffortWritersShareTheQueueOnceEach) {
  const Writer reliable{prefix_a};
  const Writer best_effort{prefix_b, true, false};
  know(reliable);
  know(best_effort);
  auto registered = reader();
  ASSERT_EQ(endpoint_count(), 2u);
  EXPECT_EQ(holders(reliable), std::vector<rtps::EntityId>{registered.entity_id});
  ASSERT_EQ(holders(best_effort).size(), 1u);
  EXPECT_NE(holders(best_effort)[0], registered.entity_id);

  receive(data(reliable, 1));
  receive(data(best_effort, 2));
  receive(data(reliable, 3));
  receive(data(best_effort, 5));
  receive(data(reliable, 2));
  EXPECT_EQ(taken(registered.samples), (std::vector<std::uint32_t>{1, 2, 5, 2, 3}));

  // Matching again moves nothing and creates nothing.
  know(Writer{prefix_a});
  EXPECT_EQ(endpoint_count(), 2u);
  receive(data(best_effort, 5));
  receive(data(reliable, 3));
  EXPECT_TRUE(taken(registered.samples).empty());
}

TEST_F(ReaderEndpointsTest, ABestEffortHandleStaysOnePlainBestEffortEndpoint) {
  const Writer reliable{prefix_a};
  know(reliable);
  auto registered =
      register_user_reader(state_->participant, state_->readers,
                           {.topic_name = "Topic", .type_name = "Type", .reliable = false})
          .value();
  ASSERT_EQ(endpoint_count(), 1u);
  EXPECT_EQ(holders(reliable), std::vector<rtps::EntityId>{registered.entity_id});
  user_->take();
  receive(data(reliable, 1));
  receive(data(reliable, 3));
  receive(datagram_from(prefix_a, {testing::heartbeat(1, 3, 1)}));
  EXPECT_EQ(taken(registered.samples), (std::vector<std::uint32_t>{1, 3}));
  EXPECT_TRUE(user_->take().empty());  // nothing acknowledged
}

// Each writer meets an endpoint that announces its own durability (at most transient-local),
// ownership, partitions and representations; writers that agree share one.
TEST_F(ReaderEndpointsTest, AHandleThatFollowsItsWritersMatchesEachWithItsOwnQos) {
  struct Offer {
    rtps::GuidPrefix prefix;
    rtps::DurabilityKind durability;
    rtps::OwnershipKind ownership;
    std::vector<std::string> partitions;
    std::vector<std::int16_t> representations;
    rtps::DurabilityKind announced;
  };
  using D = rtps::DurabilityKind;
  const rtps::GuidPrefix prefix_c{0xC, 0xC, 0xC, 0xC, 0xC, 0xC, 0xC, 0xC, 0xC, 0xC, 0xC, 0xC};
  const rtps::GuidPrefix prefix_d{0xD, 0xD, 0xD, 0xD, 0xD, 0xD, 0xD, 0xD, 0xD, 0xD, 0xD, 0xD};
  const std::vector<Offer> offers{
      {prefix_a, D::Persistent, rtps::OwnershipKind::Shared, {"sensors"}, {0}, D::TransientLocal},
      {prefix_b, D::Volatile, rtps::OwnershipKind::Exclusive, {}, {2}, D::Volatile},
      {prefix_c, D::Volatile, rtps::OwnershipKind::Shared, {"a", "b"}, {1, 0}, D::Volatile},
      {prefix_d,
       D::TransientLocal,
       rtps::OwnershipKind::Shared,
       {"sensors"},
       {0},
       D::TransientLocal}};
  for (const auto& offer : offers) {
    know_participant(offer.prefix);
    auto publication = testing::publication(offer.prefix, "Topic", "Type", testing::writer_id);
    publication.durability = offer.durability;
    publication.ownership = offer.ownership;
    publication.partition = offer.partitions;
    publication.data_representation = offer.representations;
    announce(publication);
  }
  auto registered = register_user_reader(state_->participant, state_->readers,
                                         {.topic_name = "Topic",
                                          .type_name = "Type",
                                          .partitions = {"elsewhere"},
                                          .follow_writers = true})
                        .value();
  EXPECT_EQ(endpoint_count(), 3u);  // the first and the last writer agree
  for (const auto& offer : offers) {
    const auto held = holders(Writer{offer.prefix});
    ASSERT_EQ(held.size(), 1u);
    const auto slot = state_->readers.slots.find(held[0]);
    const auto& announced = (*slot->lock())->subscription;
    EXPECT_EQ(announced.durability, offer.announced);
    EXPECT_EQ(announced.ownership, offer.ownership);
    EXPECT_EQ(announced.partition, offer.partitions);
    for (const auto id : offer.representations)
      EXPECT_NE(std::ranges::find(announced.data_representation, id),
                announced.data_representation.end());
  }
  user_->take();
  receive(data(Writer{prefix_b}, 1));
  receive(data(Writer{prefix_d}, 1));
  EXPECT_EQ(taken(registered.samples), (std::vector<std::uint32_t>{1, 1}));
}

// A transient-local writer after the reader: it gets an endpoint of its own, and peers match it
// with the first, volatile one too. That one acknowledges it, so the writer never waits for it,
// and delivers nothing, so each sample is queued once.
TEST_F(ReaderEndpointsTest, AWriterPeersMatchTwiceIsAcknowledgedByBothAndQueuedOnce) {
  auto registered =
      register_user_reader(state_->participant, state_->readers,
                           {.topic_name = "Topic", .type_name = "Type", .follow_writers = true})
          .value();
  know_participant(prefix_a);
  auto publication = testing::publication(prefix_a, "Topic", "Type", testing::writer_id);
  publication.durability = rtps::DurabilityKind::TransientLocal;
  announce(publication);
  ASSERT_EQ(endpoint_count(), 2u);
  EXPECT_EQ(holders(Writer{prefix_a}).size(), 2u);
  user_->take();
  receive(data(Writer{prefix_a}, 1));
  receive(datagram_from(prefix_a, {testing::heartbeat(1, 1, 1)}));
  EXPECT_EQ(user_->take().size(), 2u);  // an acknowledgement from each
  EXPECT_EQ(taken(registered.samples), (std::vector<std::uint32_t>{1}));
}

}  // namespace
}  // namespace nimbrel::dcps
