#include "dcps/readers/user_reader.hpp"

#include <gtest/gtest.h>

#include "dcps/runtime_test_util.hpp"

namespace nimbrel::dcps {
namespace {

using testing::data;
using testing::datagram_from;
using testing::heartbeat;
using testing::RecordingTransport;

constexpr rtps::GuidPrefix writer_a{0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA};
constexpr rtps::GuidPrefix writer_b{0xB, 0xB, 0xB, 0xB, 0xB, 0xB, 0xB, 0xB, 0xB, 0xB, 0xB, 0xB};

using UserReaderTest = testing::UserTrafficTest;

// A poisoned slot map refuses further readers.
TEST_F(UserReaderTest, RegistrationNumbersAnnouncesAndReports) {
  const auto first = reader("A");
  const auto second =
      register_user_reader(state_->participant, state_->readers,
                           {.topic_name = "B", .type_name = "TB", .reliable = false});
  ASSERT_TRUE(second);
  EXPECT_EQ(first.entity_id.to_bytes(), (std::array<std::uint8_t, 4>{0, 0, 1, 0x07}));
  EXPECT_EQ(second->entity_id.to_bytes(), (std::array<std::uint8_t, 4>{0, 0, 2, 0x07}));

  const auto slot = state_->readers.slots.find(second->entity_id);
  ASSERT_TRUE(slot);
  const auto& announced = (*slot->lock())->subscription;
  EXPECT_EQ(announced.endpoint_guid, (rtps::Guid{testing::own_prefix, second->entity_id}));
  EXPECT_EQ(announced.reliability.kind, rtps::ReliabilityKind::BestEffort);
  EXPECT_EQ(announced.data_representation, (std::vector<std::int16_t>{0, 2}));
  // The subscriptions announcer holds both records, ready for every remote detector.
  EXPECT_EQ((*state_->participant.sedp.lock())->subscriptions_writer().history().size(), 2u);

  ASSERT_EQ(sink_->events.size(), 2u);
  EXPECT_EQ(sink_->events[1].name, "user_reader.created");
  EXPECT_EQ(sink_->events[1].attrs,
            (std::vector<std::pair<std::string, std::string>>{{"topic", "B"}, {"type", "TB"}}));

  state_->readers.slots.poison();
  const auto refused = register_user_reader(state_->participant, state_->readers,
                                            {.topic_name = "A", .type_name = "T"});
  ASSERT_FALSE(refused);
  EXPECT_STREQ(to_string(refused.error()), "user_readers poisoned");
  EXPECT_EQ(sink_->events.size(), 2u);
}

// A writer addressing no reader reaches exactly the readers matched with its full GUID: two
// participants number their writers alike.
TEST_F(UserReaderTest, UnaddressedSubmessagesReachTheReadersOfThatWriter) {
  know_writer(writer_a, "A");
  know_writer(writer_b, "B");
  auto reader_a = reader("A");
  auto reader_b = reader("B");

  receive(datagram_from(writer_a, {data(1), data(2)}));
  receive(datagram_from(writer_b, {data(1)}));
  // INFO_SRC names the writer's participant for what follows it.
  receive(datagram_from(writer_a, {data(3), testing::info_source(writer_b), data(2)}));
  EXPECT_EQ(taken(reader_a.samples), (std::vector<std::uint32_t>{1, 2, 3}));
  EXPECT_EQ(taken(reader_b.samples), (std::vector<std::uint32_t>{1, 2}));

  // Addressed to reader A by id, a DATA of B's writer finds no proxy there.
  receive(datagram_from(writer_b, {data(3, reader_a.entity_id)}));
  EXPECT_TRUE(taken(reader_a.samples).empty());
  EXPECT_TRUE(taken(reader_b.samples).empty());
}

TEST_F(UserReaderTest, HeartbeatIsAcknowledgedAtOnceThroughTheUserSocket) {
  know_writer(writer_a);
  auto samples = reader();
  other_->take();
  receive(datagram_from(writer_a, {data(1), heartbeat(1, 2, 1)}));
  EXPECT_EQ(taken(samples.samples), (std::vector<std::uint32_t>{1}));
  EXPECT_TRUE(other_->take().empty());
  const auto sent = user_->take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].destination, testing::remote_user);
  const auto reply =
      rtps::decode_bytes<rtps::ParsedDatagram>(SharedBytes::copy_of(sent[0].bytes), true).value();
  const auto& acknack = std::get<rtps::AckNackSubmessage>(reply.submessages.back());
  EXPECT_EQ(acknack.reader_sn_state.members(), (std::vector<rtps::SequenceNumber>{2}));
}

TEST_F(UserReaderTest, ListenerSeesEachPayloadBeforeItIsQueuedAndTheWakerFiresOnce) {
  know_writer(writer_a);
  auto registered = reader();
  // What the queue held each time the listener was called, drained as it went.
  std::vector<std::vector<std::uint32_t>> queued_when_heard;
  ASSERT_TRUE(set_user_reader_listener(state_->readers, registered.entity_id,
                                       [&](std::span<const std::byte> payload) {
                                         EXPECT_EQ(payload.size(), 4u);
                                         queued_when_heard.push_back(taken(registered.samples));
                                       }));
  int wakes = 0;
  const auto waker = (*state_->readers.slots.find(registered.entity_id)->lock())->waker;
  **waker->lock() = [&] { ++wakes; };

  receive(datagram_from(writer_a, {data(1), data(2)}));
  EXPECT_EQ(queued_when_heard, (std::vector<std::vector<std::uint32_t>>{{}, {1}}));
  EXPECT_EQ(taken(registered.samples), (std::vector<std::uint32_t>{2}));
  EXPECT_EQ(wakes, 1);
  EXPECT_FALSE(set_user_reader_listener(state_->readers, testing::writer_id, std::nullopt));
}

// The handle gone, the reader still acknowledges its writer, and what arrives is discarded.
TEST_F(UserReaderTest, WithoutReceiverTrafficIsStillAcknowledged) {
  know_writer(writer_a);
  const auto id = [&] { return reader().entity_id; }();
  receive(datagram_from(writer_a, {data(1), heartbeat(1, 1, 1)}));
  EXPECT_EQ(user_->take().size(), 1u);
  const auto slot = state_->readers.slots.find(id);
  const auto* proxy = (*slot->lock())->reader.writer_proxy_state({writer_a, testing::writer_id});
  ASSERT_NE(proxy, nullptr);
  EXPECT_EQ(proxy->proxy.highest_delivered, 1);
}

// What a delivered sample of `kind` becomes: the whole sample with the writer's ownership
// strength, and its key hash when it has one; or a loss.
std::string converted(std::vector<std::uint8_t> payload, std::uint8_t kind,
                      std::optional<rtps::KeyHash> key_hash = std::nullopt) {
  const rtps::Guid writer{writer_a, testing::writer_id};
  const auto item =
      delivered_to_user_sample({.payload = SharedBytes::copy_of(std::as_bytes(std::span(payload))),
                                .writer_guid = writer,
                                .sequence_number = 5,
                                .kind = kind,
                                .key_hash = key_hash},
                               {{writer, 7}});
  if (const auto* loss = std::get_if<rtps::LostRange>(&item)) {
    return std::string("lost ") + std::to_string(loss->first) + " " +
           std::string(to_string(loss->reason));
  }
  const auto& sample = std::get<UserSample>(item);
  EXPECT_EQ(sample.writer_guid, writer);
  EXPECT_EQ(sample.sequence_number, 5);
  std::string out = "kind " + std::to_string(sample.kind) + ", strength " +
                    std::to_string(sample.ownership_strength) + ":";
  for (const auto b : sample.payload.span())
    out.append(" ").append(std::to_string(std::to_integer<int>(b)));
  if (sample.key_hash) {
    out.append(", key");
    for (const auto b : *sample.key_hash)
      out.append(" ").append(std::to_string(b));
  }
  return out;
}

TEST(Conversion, WholeSamplesOfEveryEncapsulationAndLifecycle) {
  EXPECT_EQ(converted({0, 1, 0, 0, 9, 8}, 0), "kind 0, strength 7: 0 1 0 0 9 8");  // CDR_LE
  EXPECT_EQ(converted({0, 0, 0, 0}, 0), "kind 0, strength 7: 0 0 0 0");            // header only
  EXPECT_EQ(converted({0, 9, 0, 0, 1}, 0), "kind 0, strength 7: 0 9 0 0 1");       // D_CDR2 LE
  EXPECT_EQ(converted({0, 0x0B, 0, 0, 1}, 0), "kind 0, strength 7: 0 11 0 0 1");   // PL_CDR2 LE
  EXPECT_EQ(converted({0, 1, 0}, 0), "lost 5 malformed");                          // too short
  // Dispose without a key hash: the payload padded to 16 bytes stands in for it.
  EXPECT_EQ(converted({0, 1, 0, 0, 1, 2}, 2),
            "kind 2, strength 7: 0 1 0 0 1 2, key 0 1 0 0 1 2 0 0 0 0 0 0 0 0 0 0");
  EXPECT_EQ(
      converted({0x77}, 3, rtps::KeyHash{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}),
      "kind 3, strength 7: 119, key 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16");
}

}  // namespace
}  // namespace nimbrel::dcps
