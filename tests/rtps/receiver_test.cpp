#include "rtps/receiver.hpp"

#include <gtest/gtest.h>

#include <variant>

#include "rtps/submessage_test_util.hpp"

namespace nimbrel::rtps {
namespace {

using namespace testing;
namespace ids = entity_ids;
namespace sub_id = submessage_id;

constexpr GuidPrefix own{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB};
constexpr GuidPrefix other{0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xBB};
const EntityId user_writer = make_entity_id(0, 0, 0x0b, EntityKind::UserWriterWithKey);
const EntityId user_reader = make_entity_id(0, 0, 0x01, EntityKind::UserReaderWithKey);

std::vector<std::byte> data(SequenceNumber sn) {
  return data_submessage(user_writer, bytes({0, 1, 0, 0, 1, 2, 3, 4}), ids::unknown, sn);
}
std::vector<std::byte> heartbeat(SequenceNumber first, SequenceNumber last) {
  return framed(sub_id::heartbeat,
                HeartbeatSubmessage{.writer_id = user_writer, .first_sn = first, .last_sn = last});
}
std::vector<std::byte> gap(SequenceNumber start, SequenceNumber base) {
  return framed(
      sub_id::gap,
      GapSubmessage{.writer_id = user_writer, .gap_start = start, .gap_list = {.base = base}});
}
std::vector<std::byte> data_frag(FragmentNumber first, std::uint16_t count,
                                 std::uint16_t fragment_size, std::uint32_t sample_size,
                                 SequenceNumber sn = 1) {
  return framed(sub_id::data_frag,
                DataFragSubmessage{.writer_id = user_writer,
                                   .writer_sn = sn,
                                   .fragment_starting_num = first,
                                   .fragments_in_submessage = count,
                                   .fragment_size = fragment_size,
                                   .sample_size = sample_size,
                                   .fragments = shared(filled(fragment_size, 0xEE))});
}
std::vector<std::byte> acknack(SequenceNumber base) {
  return framed(sub_id::acknack, AckNackSubmessage{.reader_id = user_reader,
                                                   .writer_id = user_writer,
                                                   .reader_sn_state = {.base = base}});
}
std::vector<std::byte> nack_frag(SequenceNumber sn, FragmentNumber base) {
  return framed(sub_id::nack_frag, NackFragSubmessage{.reader_id = user_reader,
                                                      .writer_id = user_writer,
                                                      .writer_sn = sn,
                                                      .fragment_number_state = {.base = base}});
}

std::vector<SequenceNumber> data_numbers(const ReceivedDatagram& received) {
  std::vector<SequenceNumber> out;
  for (const auto& r : received.submessages)
    if (const auto* d = std::get_if<DataSubmessage>(&r.body)) out.push_back(d->writer_sn);
  return out;
}

struct ValidityCase {
  const char* name;
  std::vector<std::byte> submessage;
  bool valid;
};

class Validity : public ::testing::TestWithParam<ValidityCase> {};

// An invalid submessage is dropped with everything after it; a valid one passes with its
// neighbours. DATA 1 before and DATA 2 after show which.
TEST_P(Validity, InvalidSubmessageEndsItsDatagram) {
  Receiver receiver(own);
  const auto received =
      receiver.receive(datagram_from(other, {data(1), GetParam().submessage, data(2)}));
  const std::vector<SequenceNumber> expected =
      GetParam().valid ? std::vector<SequenceNumber>{1, 2} : std::vector<SequenceNumber>{1};
  EXPECT_EQ(data_numbers(received), expected);
  EXPECT_EQ(receiver.counters().invalid_submessages, GetParam().valid ? 0u : 1u);
  EXPECT_EQ(received.submessages.size(), GetParam().valid ? 3u : 1u);
}

constexpr SequenceNumber big = SequenceNumber{1} << 40;

INSTANTIATE_TEST_SUITE_P(
    Rules, Validity,
    ::testing::Values(ValidityCase{"HeartbeatFirstPastLastPlusOne", heartbeat(big, 1), false},
                      ValidityCase{"HeartbeatLastBelowFirstMinusOne", heartbeat(5000, 3999), false},
                      ValidityCase{"HeartbeatFirstZero", heartbeat(0, 5), false},
                      ValidityCase{"HeartbeatLastNegative", heartbeat(1, -1), false},
                      ValidityCase{"HeartbeatEmptyHistory", heartbeat(1, 0), true},
                      ValidityCase{"HeartbeatEmptyAfterTrim", heartbeat(5000, 4999), true},
                      ValidityCase{"GapStartZero", gap(0, 5), false},
                      ValidityCase{"GapStartNegative", gap(-7, 5), false},
                      ValidityCase{"GapListBaseZero", gap(1, 0), false},
                      ValidityCase{"GapValid", gap(1, 4), true},
                      ValidityCase{"DataSequenceZero", data(0), false},
                      ValidityCase{"DataFragSizeAboveSampleSize", data_frag(1, 1, 4096, 64), false},
                      ValidityCase{"DataFragStartZero", data_frag(0, 1, 8, 64), false},
                      ValidityCase{"DataFragBeyondSample", data_frag(8, 2, 8, 64), false},
                      ValidityCase{"DataFragSizeZero", data_frag(1, 1, 0, 64), false},
                      ValidityCase{"DataFragSequenceZero", data_frag(1, 1, 8, 64, 0), false},
                      ValidityCase{"DataFragLastFragment", data_frag(8, 1, 8, 64), true},
                      ValidityCase{"DataFragShortLastFragment", data_frag(9, 1, 8, 65), true},
                      ValidityCase{"AckNackBaseZero", acknack(0), false},
                      ValidityCase{"AckNackValid", acknack(1), true},
                      ValidityCase{"NackFragBaseZero", nack_frag(1, 0), false},
                      ValidityCase{"NackFragSequenceZero", nack_frag(0, 1), false},
                      ValidityCase{"NackFragValid", nack_frag(1, 1), true}),
    [](const auto& test) { return std::string(test.param.name); });

// INFO_DST naming another participant hides what follows until an INFO_DST names us or every
// participant; INFO_SRC and INFO_TS change the state each submessage is handed on with.
TEST(Receiver, FollowsInfoSubmessages) {
  constexpr GuidPrefix relay{0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 1};
  const auto timestamp = submessage(sub_id::info_ts, 0x01, bytes({0x10, 0, 0, 0, 0, 0, 0, 0x80}));
  Receiver receiver(own);
  const auto received = receiver.receive(datagram_from(
      relay, {data(1), info_destination(other), data(2), info_destination(own), timestamp, data(3),
              info_source(other), data(4), info_destination({}), data(5)}));
  EXPECT_EQ(data_numbers(received), (std::vector<SequenceNumber>{1, 3, 4, 5}));
  EXPECT_EQ(receiver.counters().other_destination, 1u);

  const ReceiverState from_relay{
      .source_version = {2, 5}, .source_vendor_id = {0x01, 0x10}, .source_prefix = relay};
  ReceiverState stamped = from_relay;
  stamped.dest_prefix = own;
  stamped.timestamp = Time{0x10, 0x80000000u};
  ReceiverState relayed = stamped;
  relayed.source_prefix = other;
  relayed.timestamp.reset();  // INFO_SRC starts a new source without a time
  ReceiverState to_all = relayed;
  to_all.dest_prefix = {};
  ASSERT_EQ(received.submessages.size(), 4u);
  EXPECT_EQ(received.submessages[0].state, from_relay);
  EXPECT_EQ(received.submessages[1].state, stamped);
  EXPECT_EQ(received.submessages[2].state, relayed);
  EXPECT_EQ(received.submessages[3].state, to_all);
}

TEST(Receiver, RoutesByTheEntityIdsItOwns) {
  const std::pair<std::vector<std::byte>, Consumer> cases[] = {
      {data_submessage(ids::spdp_writer, {}), Consumer::Spdp},
      {data_submessage(ids::sedp_subscriptions_writer, {}), Consumer::Sedp},
      {data_submessage(ids::sedp_publications_writer, {}, ids::sedp_publications_reader),
       Consumer::Sedp},
      {data_submessage(ids::participant_message_writer, {}), Consumer::Wlp},
      {data_submessage(ids::type_lookup_request_writer, {}, ids::type_lookup_request_reader),
       Consumer::TypeLookup},
      {data_submessage(ids::participant_stateless_writer, {}), Consumer::SecureStateless},
      {data_submessage(ids::volatile_secure_writer, {}), Consumer::SecureVolatile},
      {data(1), Consumer::User},
      // Addressed to a reader, the reader decides, whatever the writer.
      {data_submessage(ids::spdp_writer, {}, user_reader), Consumer::User},
      // ACKNACK names our writer.
      {framed(sub_id::acknack, AckNackSubmessage{.reader_id = ids::sedp_publications_reader,
                                                 .writer_id = ids::sedp_publications_writer,
                                                 .reader_sn_state = {.base = 1}}),
       Consumer::Sedp},
  };
  for (const auto& [bytes_in, consumer] : cases) {
    const auto received = Receiver(own).receive(datagram_from(other, {bytes_in}));
    ASSERT_EQ(received.submessages.size(), 1u);
    EXPECT_EQ(received.submessages[0].consumer, consumer);
  }
  Receiver receiver(own);
  const auto participant_entity = data_submessage(ids::participant, {});
  EXPECT_TRUE(receiver.receive(datagram_from(other, {participant_entity})).submessages.empty());
  EXPECT_EQ(receiver.counters().unrouted_submessages, 1u);
}

// One decode per datagram; datagrams that are no RTPS message of a version this system reads
// yield nothing; unknown submessages are counted and passed over; a submessage that does not
// decode ends the datagram but keeps what came before.
TEST(Receiver, CountsWhatItDrops) {
  Receiver receiver(own);
  const auto pad = submessage(sub_id::pad, 0x01, {});
  const auto vendor = submessage(0x85, 0x01, filled(8, 0));
  auto version_one = datagram_from(other, {data(1)});
  auto bytes_v1 = contents(version_one);
  bytes_v1[4] = std::byte{1};
  const auto cut = concat({data(2), submessage(sub_id::heartbeat, 0x01, filled(10, 0))});

  EXPECT_EQ(data_numbers(receiver.receive(datagram_from(other, {pad, data(1), vendor}))),
            std::vector<SequenceNumber>{1});
  EXPECT_TRUE(receiver.receive(shared(bytes({'R', 'T', 'P', 'X'}))).submessages.empty());
  EXPECT_TRUE(receiver.receive(shared(bytes_v1)).submessages.empty());
  EXPECT_EQ(data_numbers(receiver.receive(datagram_from(other, {cut}))),
            std::vector<SequenceNumber>{2});

  const ReceiverCounters& c = receiver.counters();
  EXPECT_EQ(c.datagrams, 2u);
  EXPECT_EQ(c.malformed_datagrams, 2u);
  EXPECT_EQ(c.unknown_submessages, 1u);  // the vendor's; PAD is padding
  EXPECT_EQ(c.invalid_submessages, 1u);
}

}  // namespace
}  // namespace nimbrel::rtps
