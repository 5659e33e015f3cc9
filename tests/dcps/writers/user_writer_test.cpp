#include "dcps/writers/user_writer.hpp"

#include <gtest/gtest.h>

#include "dcps/runtime_test_util.hpp"
#include "dcps/writers/writer_matching.hpp"
#include "dcps/writers/writer_tick.hpp"
#include "rtps/data_representation.hpp"

namespace nimbrel::dcps {
namespace {

using testing::datagram_from;
using testing::framed;

constexpr rtps::GuidPrefix reader_a{0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA};
constexpr rtps::GuidPrefix other{0xC, 0xC, 0xC, 0xC, 0xC, 0xC, 0xC, 0xC, 0xC, 0xC, 0xC, 0xC};
constexpr rtps::EntityId reader_id =
    rtps::make_entity_id(0, 0, 1, rtps::EntityKind::UserReaderWithKey);
const rtps::Guid reader_guid{reader_a, reader_id};

rtps::SubscriptionBuiltinTopicData subscription(const rtps::GuidPrefix& prefix,
                                                const std::string& topic = "Topic") {
  return testing::publication(prefix, topic, "Type", reader_id);
}

std::vector<std::byte> sample(std::uint8_t fill) {
  return {std::byte{0}, std::byte{1}, std::byte{0}, std::byte{0}, std::byte{fill}};
}

// The sequence numbers of the DATA submessages in what was sent, in order.
std::vector<rtps::SequenceNumber> data_sns(const std::vector<testing::SentDatagram>& sent) {
  std::vector<rtps::SequenceNumber> out;
  for (const auto& datagram : sent) {
    const auto parsed =
        rtps::decode_bytes<rtps::ParsedDatagram>(SharedBytes::copy_of(datagram.bytes), true)
            .value();
    for (const auto& s : parsed.submessages) {
      if (const auto* data = std::get_if<rtps::DataSubmessage>(&s)) out.push_back(data->writer_sn);
    }
  }
  return out;
}

class UserWriterTest : public testing::UserTrafficTest {
 protected:
  // A remote reader's announcement through its participant's SEDP subscriptions announcer.
  void announce_reader(const rtps::SubscriptionBuiltinTopicData& reader) {
    const auto& prefix = reader.endpoint_guid.prefix;
    know_participant(prefix);
    receive(datagram_from(
        prefix,
        {rtps::testing::data_submessage(
            rtps::entity_ids::sedp_subscriptions_writer, rtps::encode_bytes(reader, true).value(),
            rtps::entity_ids::sedp_subscriptions_reader, ++sedp_sn_[prefix])},
        rtps::nimbrel_vendor_id));
  }
  rtps::EntityId writer(UserWriterConfig config = {}) {
    if (config.topic_name.empty()) config.topic_name = "Topic";
    if (config.type_name.empty()) config.type_name = "Type";
    return register_user_writer(state_->participant, state_->writers, std::move(config)).value();
  }
  UserWriterSlot& wslot(const rtps::EntityId& id) {
    held_.push_back(state_->writers.slots.find(id));
    // Single-threaded tests: nothing else locks the slot while the test looks at it.
    return **held_.back()->lock();
  }
  const rtps::ReaderProxy* proxy(const rtps::EntityId& id) {
    return wslot(id).writer.find_reader_proxy(reader_guid);
  }
  void write(const rtps::EntityId& id, std::uint8_t fill = 0) {
    ASSERT_TRUE(write_user_sample(state_->participant, state_->writers, id, sample(fill)));
  }
  std::size_t matched_events() {
    return static_cast<std::size_t>(std::ranges::count(
        sink_->events, std::string("writer.matched_remote_reader"), &Event::name));
  }

 private:
  std::map<rtps::GuidPrefix, rtps::SequenceNumber> sedp_sn_;
  std::vector<SharedWriterSlot> held_;
};

// --- registration and announcement --------------------------------------------------------------

TEST_F(UserWriterTest, WritersAreNumberedWithTheirKeyednessAndAnnounced) {
  const auto keyed = writer();
  const auto keyless = writer({.topic_name = "Other", .keyed = false});
  EXPECT_EQ(keyed, rtps::make_entity_id(0, 0, 1, rtps::EntityKind::UserWriterWithKey));
  EXPECT_EQ(keyless, rtps::make_entity_id(0, 0, 2, rtps::EntityKind::UserWriterNoKey));

  const auto sedp = state_->participant.sedp.lock();
  const auto& history = (*sedp)->publications_writer().history();
  ASSERT_EQ(history.size(), 2u);
  const auto announced =
      rtps::decode_bytes<rtps::PublicationBuiltinTopicData>(history.find(2)->payload.span(), true)
          .value();
  EXPECT_EQ(announced.endpoint_guid, (rtps::Guid{testing::own_prefix, keyless}));
  EXPECT_EQ(announced.topic_name, "Other");
  EXPECT_EQ(announced.reliability.kind, rtps::ReliabilityKind::Reliable);
  EXPECT_EQ(announced.data_representation, (std::vector<std::int16_t>{0, 2}));
}

// --- matching -----------------------------------------------------------------------------------

struct RuleCase {
  const char* name;
  std::function<void(UserWriterConfig&)> offer;
  std::function<void(rtps::SubscriptionBuiltinTopicData&)> request;
  std::optional<QosPolicyId> refused;
};

class WriterRules : public UserWriterTest, public ::testing::WithParamInterface<RuleCase> {};

// The reader rules with the roles swapped: the writer offers, the remote reader requests.
TEST_P(WriterRules, RemoteReadersAreMatchedByTheMirroredRules) {
  const auto& c = GetParam();
  UserWriterConfig config;
  if (c.offer) c.offer(config);
  const auto id = writer(std::move(config));
  auto reader = subscription(reader_a);
  if (c.request) c.request(reader);
  announce_reader(reader);

  const auto& status = wslot(id).offered_incompatible_qos;
  if (c.refused) {
    EXPECT_EQ(proxy(id), nullptr);
    EXPECT_EQ(status.total_count, 1);
    EXPECT_EQ(status.last_policy_id, *c.refused);
    EXPECT_EQ(matched_events(), 0u);
  } else {
    EXPECT_NE(proxy(id), nullptr);
    EXPECT_EQ(status.total_count, 0);
    EXPECT_EQ(matched_events(), 1u);
  }
}

const rtps::RtpsDuration ms100{0, 0x19999999};
const rtps::RtpsDuration ms200{0, 0x33333333};

INSTANTIATE_TEST_SUITE_P(
    Rules, WriterRules,
    ::testing::Values(
        RuleCase{"Defaults", {}, {}, std::nullopt},
        RuleCase{"VolatileWriterTransientReader",
                 {},
                 [](auto& r) { r.durability = rtps::DurabilityKind::TransientLocal; },
                 QosPolicyId::Durability},
        RuleCase{"ReaderDeadlineShorterThanOffered", [](auto& w) { w.deadline = ms200; },
                 [](auto& r) { r.deadline = ms100; }, QosPolicyId::Deadline},
        RuleCase{"WriterWithoutDeadline", {}, [](auto& r) { r.deadline = ms100; }, std::nullopt},
        RuleCase{"ReaderWithoutDeadline", [](auto& w) { w.deadline = ms200; }, {}, std::nullopt},
        RuleCase{"WriterLeaseLonger", [](auto& w) { w.liveliness.lease_duration = ms200; },
                 [](auto& r) { r.liveliness.lease_duration = ms100; }, QosPolicyId::Liveliness},
        RuleCase{"ReaderAsksManualLiveliness",
                 {},
                 [](auto& r) { r.liveliness.kind = rtps::LivelinessKind::ManualByTopic; },
                 QosPolicyId::Liveliness},
        RuleCase{"Ownership",
                 [](auto& w) { w.ownership = rtps::OwnershipKind::Exclusive; },
                 {},
                 QosPolicyId::Ownership},
        RuleCase{"Partitions", [](auto& w) { w.partitions = {"A"}; },
                 [](auto& r) { r.partition = {"A*"}; }, QosPolicyId::Partition},
        RuleCase{"BestEffortReaderOfAReliableWriter",
                 {},
                 [](auto& r) { r.reliability.kind = rtps::ReliabilityKind::BestEffort; },
                 std::nullopt}),
    [](const auto& test) { return std::string(test.param.name); });

struct RepresentationCase {
  std::vector<std::int16_t> offered;
  std::vector<std::int16_t> accepted;
  std::int16_t used;
};

class Representations : public UserWriterTest,
                        public ::testing::WithParamInterface<RepresentationCase> {};

// The writer's first offered id the reader accepts; XCDR2 when none is.
TEST_P(Representations, AreNegotiatedPerReader) {
  const auto& c = GetParam();
  const auto id = writer({.data_representations = c.offered});
  auto reader = subscription(reader_a);
  reader.data_representation = c.accepted;
  announce_reader(reader);
  ASSERT_NE(proxy(id), nullptr);
  EXPECT_EQ(proxy(id)->data_representation, c.used);
}

INSTANTIATE_TEST_SUITE_P(Negotiation, Representations,
                         ::testing::Values(RepresentationCase{{0, 2}, {2}, 2},
                                           RepresentationCase{{2, 0}, {}, 0},
                                           RepresentationCase{{0, 2}, {0, 2}, 0},
                                           RepresentationCase{{0}, {1}, 2}));

TEST_F(UserWriterTest, AVolatileWriterOwesANewReaderOnlyLaterSamples) {
  const auto volatile_writer = writer();
  const auto durable = writer({.durability = rtps::DurabilityKind::TransientLocal});
  for (const auto& id : {volatile_writer, durable}) {
    write(id, 1);
    write(id, 2);
  }
  announce_reader(subscription(reader_a));
  EXPECT_EQ(proxy(volatile_writer)->highest_sent, 2);
  EXPECT_EQ(proxy(volatile_writer)->highest_acked, 2);
  EXPECT_EQ(proxy(durable)->highest_sent, 0);

  // Only sample 3 goes out to the reader, at its participant's default unicast locator.
  user_->take();
  write(volatile_writer, 3);
  const auto sent = user_->take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].destination, testing::remote_user);
  EXPECT_EQ(data_sns(sent), (std::vector<rtps::SequenceNumber>{3}));
}

// A known reader keeps what it acknowledged through later SEDP events; a fresh proxy would skip
// what it has not received yet. The match is news only once.
TEST_F(UserWriterTest, RematchingKeepsAReadersProgress) {
  const auto id = writer({.history = rtps::HistoryPolicy::keep_last(10)});
  announce_reader(subscription(reader_a));
  write(id);
  write(id);
  know_participant(other);
  announce_reader(subscription(other, "Unrelated"));
  EXPECT_EQ(proxy(id)->highest_acked, 0);
  EXPECT_EQ(matched_events(), 1u);
}

TEST_F(UserWriterTest, APoisonedOrVanishedWriterMatchesNothingAndSaysNothing) {
  const auto id = writer();
  state_->writers.slots.find(id)->poison();
  announce_reader(subscription(reader_a));
  match_local_writer_against_cache(
      state_->participant, state_->writers,
      rtps::make_entity_id(0, 0, 9, rtps::EntityKind::UserWriterWithKey));
  EXPECT_EQ(matched_events(), 0u);
}

TEST_F(UserWriterTest, ADisposedOrDepartedReaderLeavesTheWriter) {
  const auto id = writer();
  announce_reader(subscription(reader_a));
  ASSERT_NE(proxy(id), nullptr);
  forget_readers_in_user_writers(state_->writers,
                                 [](const rtps::Guid& g) { return g == reader_guid; });
  EXPECT_EQ(proxy(id), nullptr);
}

// --- acknowledgements ---------------------------------------------------------------------------

TEST_F(UserWriterTest, AcknacksReachTheWriterWhichRepairsAndReleasesAcknowledgedSamples) {
  const auto id = writer({.max_samples = 3});
  announce_reader(subscription(reader_a));
  for (std::uint8_t i = 1; i <= 3; ++i)
    write(id, i);
  EXPECT_EQ(write_user_sample(state_->participant, state_->writers, id, sample(4)),
            std::unexpected(WriterError::HistoryFull));
  EXPECT_EQ(wslot(id).writer.last_sequence_number(), 3);  // the refused sample took no number

  user_->take();
  const std::array<rtps::SequenceNumber, 1> missing{3};
  receive(datagram_from(
      reader_a, {framed(rtps::submessage_id::acknack,
                        rtps::AckNackSubmessage{
                            .reader_id = reader_id,
                            .writer_id = id,
                            .reader_sn_state = rtps::SequenceNumberSet::from_members(3, missing),
                            .count = 1})}));
  EXPECT_EQ(proxy(id)->highest_acked, 2);
  EXPECT_EQ(wslot(id).writer.history().min_sn(), 3);
  EXPECT_EQ(data_sns(user_->take()), (std::vector<rtps::SequenceNumber>{3}));
  write(id, 4);
}

// A NACK_FRAG is answered with just the fragment asked for.
TEST_F(UserWriterTest, NackFragsReachTheWriterWhichResendsTheFragment) {
  const auto id = writer();
  announce_reader(subscription(reader_a));
  ASSERT_TRUE(write_user_sample(state_->participant, state_->writers, id,
                                std::vector<std::byte>(3000, std::byte{0x5A})));
  user_->take();
  const std::array<rtps::FragmentNumber, 1> second{2};
  receive(datagram_from(reader_a, {framed(rtps::submessage_id::nack_frag,
                                          rtps::NackFragSubmessage{
                                              .reader_id = reader_id,
                                              .writer_id = id,
                                              .writer_sn = 1,
                                              .fragment_number_state =
                                                  rtps::FragmentNumberSet::from_members(2, second),
                                              .count = 1})}));
  std::vector<rtps::FragmentNumber> resent;
  for (const auto& datagram : user_->take()) {
    const auto parsed =
        rtps::decode_bytes<rtps::ParsedDatagram>(SharedBytes::copy_of(datagram.bytes), true)
            .value();
    for (const auto& s : parsed.submessages) {
      if (const auto* frag = std::get_if<rtps::DataFragSubmessage>(&s)) {
        resent.push_back(frag->fragment_starting_num);
      }
    }
  }
  EXPECT_EQ(resent, (std::vector<rtps::FragmentNumber>{2}));
}

// Manual liveliness by participant reaches the peers through the next liveliness pulse.
TEST_F(UserWriterTest, AssertingManualLivelinessQueuesAPulse) {
  const auto id =
      writer({.liveliness = {rtps::LivelinessKind::ManualByParticipant, rtps::duration_infinite}});
  ASSERT_TRUE(state_->participant.wlp.lock().value()->tick(Elapsed{}).value());  // the periodic one
  EXPECT_FALSE(state_->participant.wlp.lock().value()->tick(Elapsed{}).value());
  EXPECT_TRUE(assert_user_writer_liveliness(state_->participant, state_->writers, id));
  EXPECT_TRUE(wslot(id).last_liveliness_assertion);
  EXPECT_TRUE(state_->participant.wlp.lock().value()->tick(Elapsed{}).value());
  EXPECT_FALSE(assert_user_writer_liveliness(
      state_->participant, state_->writers,
      rtps::make_entity_id(0, 0, 9, rtps::EntityKind::UserWriterWithKey)));
}

// --- tick steps ---------------------------------------------------------------------------------

UserWriterSlot timed_slot(std::uint64_t deadline_ns, std::uint64_t lifespan_ns,
                          std::uint64_t lease_ns, std::size_t max_samples = 100) {
  return UserWriterSlot{
      .writer = rtps::ReliableWriter({.history = rtps::HistoryPolicy::keep_last(100)}),
      .publication = {},
      .keep_all = false,
      .max_samples = max_samples,
      .deadline_ns = deadline_ns,
      .lifespan_ns = lifespan_ns,
      .liveliness_lease_ns = lease_ns};
}

void write_at(UserWriterSlot& slot, Elapsed at) {
  static_cast<void>(slot.writer.write(sample(0)));
  record_write(slot, slot.writer.last_sequence_number(), at);
}

Elapsed ms(std::int64_t n) {
  return Elapsed::from_millis(n);
}

// Both timers watch one silent writer: losing liveliness must not hide the missed deadlines.
TEST(WriterTicks, DeadlineMissesAndLivelinessLossAreCountedApart) {
  auto slot = timed_slot(/*deadline_ns=*/100'000'000, 0, /*lease_ns=*/100'000'000);
  write_at(slot, ms(0));
  for (std::int64_t t = 5; t <= 1000; t += 5) {
    check_offered_deadline(slot, ms(t));
    check_writer_liveliness(slot, ms(t));
  }
  EXPECT_EQ(slot.offered_deadline_missed, 10u);
  EXPECT_EQ(slot.liveliness_lost, 10u);

  // A writer that never wrote misses nothing yet.
  auto idle = timed_slot(100'000'000, 0, 100'000'000);
  check_offered_deadline(idle, ms(500));
  check_writer_liveliness(idle, ms(500));
  EXPECT_EQ(idle.offered_deadline_missed + idle.liveliness_lost, 0u);
}

TEST(WriterTicks, LifespanExpiresExactlyTheSamplesPastIt) {
  auto slot = timed_slot(0, /*lifespan_ns=*/1'000'000'000, 0);
  write_at(slot, ms(0));
  write_at(slot, ms(500));
  expire_lifespan(slot, ms(999));
  EXPECT_EQ(slot.writer.history().size(), 2u);
  expire_lifespan(slot, ms(1000));
  EXPECT_EQ(slot.writer.history().min_sn(), 2);
  expire_lifespan(slot, ms(1500));
  EXPECT_TRUE(slot.writer.history().empty());
}

// Without a lifespan nothing is remembered; with one, never more than the history can hold.
TEST(WriterTicks, TheWriteTimeRingStaysBounded) {
  auto unlimited = timed_slot(0, 0, 0);
  auto limited = timed_slot(0, 1'000'000'000, 0, /*max_samples=*/3);
  for (int i = 0; i < 10; ++i) {
    write_at(unlimited, ms(i));
    write_at(limited, ms(i));
  }
  EXPECT_TRUE(unlimited.write_times.empty());
  ASSERT_EQ(limited.write_times.size(), 3u);
  EXPECT_EQ(limited.write_times.front().sequence_number, 8);
}

TEST_F(UserWriterTest, TheTickHeartbeatsMatchedReadersAtTheirLocators) {
  const auto id = writer();
  announce_reader(subscription(reader_a));
  write(id);
  user_->take();
  tick_user_writers(state_->participant, state_->writers, ms(10));
  const auto sent = user_->take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].destination, testing::remote_user);
  const auto parsed =
      rtps::decode_bytes<rtps::ParsedDatagram>(SharedBytes::copy_of(sent[0].bytes), true).value();
  EXPECT_TRUE(std::holds_alternative<rtps::HeartbeatSubmessage>(parsed.submessages.back()));
}

}  // namespace
}  // namespace nimbrel::dcps
