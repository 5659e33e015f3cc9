#include "rtps/reliable_writer.hpp"

#include <gtest/gtest.h>

#include <array>
#include <optional>

#include "rtps/writer_test_util.hpp"

namespace nimbrel::rtps {
namespace {

using namespace testing;

// Heartbeats sent, acknacks received, retransmits, fragmented samples.
using Counts = std::array<std::uint64_t, 4>;

Counts counts(const ReliableWriter& writer) {
  const WriterCounters& c = writer.counters();
  return {c.heartbeats_sent, c.acknacks_received, c.retransmits, c.fragmented_samples};
}

Counts since(const ReliableWriter& writer, const Counts& before) {
  const Counts now = counts(writer);
  return {now[0] - before[0], now[1] - before[1], now[2] - before[2], now[3] - before[3]};
}

class WriterTimeline : public ::testing::Test {
 protected:
  // Starts the writer with reader proxies for the given letters, all owed the whole history.
  void start(std::string readers, ReliableWriterConfig config = {}) {
    config.writer_guid = writer_guid;
    writer_.emplace(std::move(config));
    for (char r : readers)
      writer_->add_reader_proxy(proxy_for(r));
  }
  ReliableWriter& writer() { return *writer_; }
  const ReaderProxy& proxy(char name) { return *writer_->find_reader_proxy(reader_guid(name)); }

  Datagrams write(std::size_t size, std::uint8_t encapsulation = 0x01) {
    auto out = writer_->write(sample(size, encapsulation));
    EXPECT_TRUE(out.has_value()) << to_string(out.error());
    return out ? std::move(*out) : Datagrams{};
  }
  // Sequence number n is 16 + n bytes long, so that payloads tell samples apart.
  void write_numbered(int n) {
    for (int i = 0; i < n; ++i)
      write(static_cast<std::size_t>(writer_->last_sequence_number() + 17));
  }
  Datagrams tick(int ms) {
    auto out = writer_->tick(Elapsed::from_millis(ms));
    EXPECT_TRUE(out.has_value()) << to_string(out.error());
    return out ? std::move(*out) : Datagrams{};
  }
  Lines at(int ms) { return describe(tick(ms)); }

  void ack(char reader, SequenceNumber base, std::vector<SequenceNumber> requested) {
    writer_->handle_acknack(reader_guid(reader), base, requested);
  }
  void nackfrag(char reader, SequenceNumber sn, std::vector<FragmentNumber> fragments,
                EntityId writer_id = writer_guid.entity_id) {
    const FragmentNumber base = fragments.empty() ? 1 : fragments.front();
    writer_->handle_nackfrag(
        NackFragSubmessage{
            .reader_id = reader_guid(reader).entity_id,
            .writer_id = writer_id,
            .writer_sn = sn,
            .fragment_number_state = FragmentNumberSet::from_members(base, fragments),
            .count = 1},
        reader_guid(reader).prefix);
  }

  std::optional<ReliableWriter> writer_;
};

// --- Framing ------------------------------------------------------------------------------------

TEST_F(WriterTimeline, FragmentSizeDecidesBetweenOneDataAndDataFrags) {
  start("a");
  const auto whole = write(1344);
  ASSERT_EQ(describe(whole), (Lines{"a: DATA(1)"}));
  EXPECT_EQ(whole[0].bytes.size(), 20u + 4 + 20 + 1344);
  EXPECT_EQ(whole[0].bytes[21], std::byte{0x05});  // E | D
  EXPECT_EQ(*whole[0].destinations, std::vector{unicast_of('a')});
  const auto data = all_of<DataSubmessage>(whole).at(0);
  EXPECT_EQ(data.extra_flags, 0);
  EXPECT_FALSE(data.inline_qos || data.key_flag);
  EXPECT_EQ(contents(data.serialized_payload), sample(1344));

  const auto split = write(1345);
  ASSERT_EQ(describe(split), (Lines{"a: FRAG(2:1)", "a: FRAG(2:2)"}));
  EXPECT_EQ(split[0].bytes[21], std::byte{0x01});  // only E
  const auto frags = all_of<DataFragSubmessage>(split);
  for (const auto& frag : frags) {
    EXPECT_EQ(frag.fragments_in_submessage, 1);
    EXPECT_EQ(frag.fragment_size, 1344);
    EXPECT_EQ(frag.sample_size, 1345u);
  }
  EXPECT_EQ(contents(frags[0].fragments), sample(1344));
  EXPECT_EQ(contents(frags[1].fragments), patterned(1, 1344));
}

TEST(ReliableWriterBuilders, SampleSizesAtAndPastEachLimit) {
  struct Case {
    std::uint32_t mtu, fragment_size;
    std::size_t payload;
    const char* error;  // nullptr: fits
  };
  // clang-format off
  const Case cases[] = {
      {100,   1344,  56,    nullptr},  // 20 + 4 + 20 + 56 == MTU
      {100,   1344,  57,    "DATA submessage does not fit into MTU"},
      {70000, 70000, 65515, nullptr},  // DATA body of 65,535 bytes
      {70000, 70000, 65516, "DATA submessage does not fit into MTU"},
      {70000, 65536, 65537, "fragment_size exceeds u16::MAX"},
      {1472,  1416,  1417,  nullptr},  // 20 + 4 + 32 + 1416 == MTU
      {1472,  1417,  1418,  "DATA_FRAG submessage does not fit into MTU"},
  };
  // clang-format on
  const auto to = std::make_shared<const std::vector<Locator>>();
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "mtu " << c.mtu << ", payload " << c.payload);
    const ReliableWriter w(
        {.writer_guid = writer_guid, .mtu = c.mtu, .fragment_size = c.fragment_size});
    const auto out = w.build_sample_datagrams(7, SharedBytes::copy_of(sample(c.payload)),
                                              reader_guid('a').entity_id, to);
    const auto expected = c.error ? std::optional(CodecError::malformed(c.error)) : std::nullopt;
    EXPECT_EQ(error_of(out), expected);
  }
}

TEST(ReliableWriterBuilders, SingleFragmentsAndGaps) {
  const ReliableWriter w({.writer_guid = writer_guid, .mtu = 52});  // a GAP just fits
  const auto payload = SharedBytes::copy_of(sample(30));
  const auto to = std::make_shared<const std::vector<Locator>>();
  const EntityId a = reader_guid('a').entity_id;
  EXPECT_EQ(error_of(w.build_data_frag_submessage_datagram(1, payload, 0, a, to)),
            CodecError::malformed("fragment number must be >= 1"));
  EXPECT_EQ(error_of(w.build_data_frag_submessage_datagram(1, payload, 2, a, to)),
            CodecError::malformed("fragment number beyond sample"));

  const auto gap = w.build_gap_datagram(9, a, to);
  ASSERT_TRUE(gap.has_value());
  const auto decoded = all_of<GapSubmessage>(Datagrams{*gap}).at(0);
  EXPECT_EQ(decoded.gap_start, 9);
  EXPECT_EQ(decoded.gap_list, SequenceNumberSet::empty_range(10, 0));
  const ReliableWriter too_small({.writer_guid = writer_guid, .mtu = 51});
  EXPECT_EQ(error_of(too_small.build_gap_datagram(9, a, to)),
            CodecError::malformed("GAP submessage does not fit into MTU"));
}

// --- write --------------------------------------------------------------------------------------

TEST_F(WriterTimeline, OnlyReadersInStepGetTheSampleAtOnce) {
  start("");
  write_numbered(3);
  auto b = proxy_for('b', /*start=*/1);
  b.multicast_locators = {Locator::udp_v4({239, 255, 0, 1}, 7401)};
  writer().add_reader_proxy(proxy_for('a', /*start=*/3));
  writer().add_reader_proxy(b);
  EXPECT_EQ(describe(write(16)), (Lines{"a: DATA(4)"}));
  EXPECT_EQ(proxy('b').highest_sent, 2);
  EXPECT_EQ(*writer().targets_for(1), b.multicast_locators);  // preferred over unicast

  ack('b', 2, {2, 3, 4});  // repaired up to the last sample, it is in step again
  tick(10);
  const auto out = write(16);
  ASSERT_EQ(describe(out), (Lines{"a: DATA(5)", "b: DATA(5)"}));
  EXPECT_EQ(*out[1].destinations, b.multicast_locators);
}

TEST_F(WriterTimeline, Xcdr1ReadersGetPlainXcdr2RelabelledOnlyWhenPushed) {
  start("a");
  auto b = proxy_for('b');
  b.data_representation = data_representation::xcdr2;
  writer().add_reader_proxy(b);
  const auto pushed = all_of<DataSubmessage>(write(16, /*CDR2_LE=*/0x07));
  ASSERT_EQ(pushed.size(), 2u);
  EXPECT_EQ(contents(pushed[0].serialized_payload), sample(16, /*CDR_LE=*/0x01));
  EXPECT_EQ(contents(pushed[1].serialized_payload), sample(16, 0x07));

  const auto frags = all_of<DataFragSubmessage>(write(2000, 0x07));
  ASSERT_EQ(frags.size(), 4u);
  EXPECT_EQ(contents(frags[0].fragments), sample(1344, 0x01));
  EXPECT_EQ(contents(frags[1].fragments), patterned(656, 1344));

  ack('a', 1, {1});
  const auto repaired = all_of<DataSubmessage>(tick(0));
  ASSERT_EQ(repaired.size(), 1u);
  EXPECT_EQ(contents(repaired[0].serialized_payload), sample(16, 0x07));

  // Discovery data (PL_CDR_LE), big-endian CDR and the delimited and parameter-list XCDR2 forms
  // would be misread under CDR_LE.
  writer().remove_reader_proxy(reader_guid('b'));
  for (std::uint8_t id : std::vector<std::uint8_t>{0x00, 0x03, 0x06, 0x09, 0x0B}) {
    const auto other = all_of<DataSubmessage>(write(16, id));
    EXPECT_EQ(contents(other.at(0).serialized_payload), sample(16, id)) << "id " << int{id};
  }
}

TEST_F(WriterTimeline, FailedWritesKeepTheirNumberAndStoredChanges) {
  start("", {.history = HistoryPolicy::keep_all(), .max_samples = 1});
  write(16);
  EXPECT_EQ(error_of(writer().write(sample(16))),
            CodecError::backpressure("history cache full or duplicate"));
  EXPECT_EQ(writer().last_sequence_number(), 2);

  start("a", {.mtu = 200});  // 300 bytes is below the fragment size but too big for one DATA
  EXPECT_EQ(error_of(writer().write(sample(300))),
            CodecError::malformed("DATA submessage does not fit into MTU"));
  EXPECT_NE(writer().history().find(1), nullptr);
}

// --- tick: heartbeats ---------------------------------------------------------------------------

TEST_F(WriterTimeline, HeartbeatCyclesFollowThePeriodOnceThereIsHistory) {
  start("a");
  EXPECT_TRUE(tick(0).empty());
  write_numbered(2);
  const Counts before = counts(writer());
  const auto first = tick(10);
  ASSERT_EQ(describe(first), (Lines{"a: HB(1..2,#1)"}));
  EXPECT_EQ(first[0].bytes[21], std::byte{0x01});  // neither final nor liveliness
  EXPECT_FALSE(all_of<HeartbeatSubmessage>(first).at(0).group_info);
  EXPECT_TRUE(tick(109).empty());
  EXPECT_EQ(at(110), (Lines{"a: HB(1..2,#2)"}));
  EXPECT_EQ(since(writer(), before), (Counts{2, 0, 0, 0}));
}

TEST_F(WriterTimeline, AClockSteppingBackCountsAsNoTimePassed) {
  start("a", {.heartbeat_period = Duration::zero()});
  write(16);
  EXPECT_EQ(at(100), (Lines{"a: HB(1..1,#1)"}));
  EXPECT_EQ(at(40), (Lines{"a: HB(1..1,#2)"}));
}

// Each reader keeps its own cycle: a new one is heartbeated at once, the others are not, so a
// crowd of newcomers does not multiply the traffic to everyone.
TEST_F(WriterTimeline, ANewReaderStartsACycleOfItsOwn) {
  start("a");
  write(16);
  EXPECT_EQ(at(0), (Lines{"a: HB(1..1,#1)"}));
  writer().add_reader_proxy(proxy_for('b'));
  EXPECT_EQ(at(20), (Lines{"b: HB(1..1,#2)"}));
  writer().add_reader_proxy(proxy_for('a', /*start=*/1));  // replaces a in its place
  EXPECT_EQ(at(30), (Lines{"a: HB(2..1,#3)"}));
  EXPECT_EQ(at(120), (Lines{"b: HB(1..1,#4)"}));
  EXPECT_TRUE(writer().remove_reader_proxy(reader_guid('a')));
  EXPECT_TRUE(at(130).empty());
}

// A reader that never answers is heartbeated ever more rarely, up to the ceiling; an answer
// brings it back to the period. No tick heartbeats more readers than its bound.
TEST_F(WriterTimeline, SilentReadersAreHeartbeatedLessAndBoundedPerTick) {
  start("ab", {.heartbeat_period = std::chrono::milliseconds(100),
               .heartbeats_before_backoff = 2,
               .max_heartbeat_period = std::chrono::milliseconds(400),
               .max_heartbeats_per_tick = 1});
  write(16);
  std::vector<int> a_times;
  std::vector<int> b_times;
  for (int t = 0; t <= 1500; t += 10) {
    for (const auto& line : at(t))
      (line[0] == 'a' ? a_times : b_times).push_back(t);
    if (t == 1000) {
      writer().handle_acknack(AckNackSubmessage{.reader_id = reader_guid('a').entity_id,
                                                .writer_id = writer_guid.entity_id,
                                                .reader_sn_state = {.base = 2}},
                              reader_guid('a').prefix);
    }
  }
  // One reader per tick, so b trails a by a tick; periods 100, 100, 200, 400, 400 until a answers.
  EXPECT_EQ(a_times, (std::vector<int>{0, 100, 200, 400, 800, 1010, 1110, 1210, 1410}));
  EXPECT_EQ(b_times, (std::vector<int>{10, 110, 210, 410, 810, 1220}));
}

TEST_F(WriterTimeline, HeartbeatStartsAtTheOldestKeptOrFirstUnacknowledged) {
  start("ab", {.history = HistoryPolicy::keep_last(2), .max_samples = 2});
  write_numbered(4);  // keeps 3 and 4
  ack('b', 5, {});
  EXPECT_EQ(at(0), (Lines{"a: HB(3..4,#1)", "b: HB(5..4,#2)"}));
}

// --- ACKNACK: change repair ---------------------------------------------------------------------

TEST_F(WriterTimeline, RequestedChangesGoTogetherOrAsGapsWhenEvicted) {
  start("a", {.history = HistoryPolicy::keep_last(4), .max_samples = 4});
  write_numbered(8);  // keeps 5 to 8
  tick(0);
  const Counts before = counts(writer());
  writer().handle_acknack(AckNackSubmessage{.reader_id = reader_guid('a').entity_id,
                                            .writer_id = writer_guid.entity_id,
                                            .reader_sn_state = SequenceNumberSet::from_members(
                                                4, std::vector<SequenceNumber>{4, 5, 7}),
                                            .count = 3},
                          reader_guid('a').prefix);
  EXPECT_EQ(proxy('a').highest_acked, 3);
  const auto out = tick(10);
  // 8 was not asked for: the heartbeat tells of it at once.
  ASSERT_EQ(describe(out), (Lines{"a: GAP(4) DATA(5) DATA(7) HB(5..8,#2)"}));
  const auto data = all_of<DataSubmessage>(out);
  EXPECT_EQ(contents(data[0].serialized_payload), sample(21));
  EXPECT_EQ(contents(data[1].serialized_payload), sample(23));
  EXPECT_TRUE(tick(20).empty()) << "each request is served once";
  EXPECT_EQ(since(writer(), before), (Counts{1, 1, 3, 0}));
}

TEST_F(WriterTimeline, AcknowledgementsWithdrawTheRequestsTheyCover) {
  start("a");
  write_numbered(6);
  tick(0);
  ack('a', 2, {3, 5});
  nackfrag('a', 3, {1});
  ack('a', 4, {1, 2, 6});  // 1 and 2 lie below the base and are not requests
  ack('a', 2, {});         // a late ACKNACK takes no acknowledgement back
  EXPECT_EQ(proxy('a').highest_acked, 3);
  EXPECT_EQ(at(10), (Lines{"a: DATA(5) DATA(6)"}));
}

TEST_F(WriterTimeline, AcknackFromAnUnknownReaderOnlyCounts) {
  start("a");
  write_numbered(3);
  tick(0);
  const Counts before = counts(writer());
  ack('z', 4, {1, 2, 3});
  EXPECT_EQ(writer().counters().unknown_readers, 1u);
  EXPECT_EQ(since(writer(), before), (Counts{0, 1, 0, 0}));
  EXPECT_EQ(proxy('a').highest_acked, 0);
  EXPECT_TRUE(tick(10).empty());
}

TEST_F(WriterTimeline, RepairsSpillOverAtTheMtuAndLargeOnesGoAsFragments) {
  start("a", {.mtu = 300, .fragment_size = 200});
  for (std::size_t size : {100, 100, 100, 201, 100})
    write(size);
  tick(0);
  ack('a', 1, {1, 2, 3, 4, 5});
  // Two 124-byte DATA submessages fill 268 of 300 bytes; the heartbeat rides with the last.
  const auto out = tick(100);
  EXPECT_EQ(describe(out), (Lines{"a: DATA(1) DATA(2)", "a: DATA(3)", "a: FRAG(4:1)",
                                  "a: FRAG(4:2)", "a: DATA(5) HB(1..5,#2)"}));
  for (const auto& d : out)
    EXPECT_LE(d.bytes.size(), 300u);
}

// --- NACK_FRAG: fragment repair -----------------------------------------------------------------

TEST_F(WriterTimeline, NackFragResendsJustTheMissingFragments) {
  start("a");
  write(3000);
  tick(0);
  const Counts before = counts(writer());
  nackfrag('a', 1, {2, 3});
  EXPECT_EQ(writer().nackfrag_count(), 1u);
  const auto out = tick(10);
  ASSERT_EQ(describe(out), (Lines{"a: FRAG(1:2)", "a: FRAG(1:3)"}));
  const auto frags = all_of<DataFragSubmessage>(out);
  EXPECT_EQ(frags[1].sample_size, 3000u);
  EXPECT_EQ(contents(frags[0].fragments), patterned(1344, 1344));
  EXPECT_EQ(contents(frags[1].fragments), patterned(312, 2688));
  EXPECT_EQ(since(writer(), before), (Counts{0, 0, 2, 2}));
}

TEST_F(WriterTimeline, FragmentRepairsComeFirstAndEvictedSamplesGetGaps) {
  start("a", {.history = HistoryPolicy::keep_last(1), .max_samples = 1});
  write(3000);
  write(3000);  // evicts 1
  tick(0);
  nackfrag('a', 2, {3});
  nackfrag('a', 1, {1, 2});
  ack('a', 1, {2});
  EXPECT_EQ(at(10), (Lines{"a: GAP(1)", "a: GAP(1)", "a: FRAG(2:3)", "a: FRAG(2:1)", "a: FRAG(2:2)",
                           "a: FRAG(2:3)"}));
}

TEST_F(WriterTimeline, NackFragIsIgnoredForAcknowledgedSamplesAndOtherWriters) {
  start("a");
  write(3000);
  write(3000);
  tick(0);
  ack('a', 2, {});
  nackfrag('a', 1, {1});
  nackfrag('a', 2, {1}, /*writer_id=*/entity_ids::sedp_subscriptions_writer);
  EXPECT_EQ(writer().nackfrag_count(), 1u);
  EXPECT_EQ(writer().counters().unknown_readers, 0u);
  nackfrag('z', 2, {1});
  EXPECT_EQ(writer().counters().unknown_readers, 1u);
  EXPECT_TRUE(tick(10).empty());
}

TEST_F(WriterTimeline, AnImpossibleFragmentRequestIsSkippedWithoutStallingOtherReaders) {
  start("ab");
  write(3000);
  tick(0);
  nackfrag('a', 1, {0, 4});
  nackfrag('b', 1, {2});
  EXPECT_EQ(at(10), (Lines{"b: FRAG(1:2)"}));
  EXPECT_TRUE(tick(20).empty()) << "the skipped requests are not retried";
}

TEST(ReliableWriterDeathTest, ZeroFragmentSizeOrAnMtuBelowTheHeaderIsFatal) {
  EXPECT_DEATH(ReliableWriter({.fragment_size = 0}), "fragment_size must be > 0");
  EXPECT_DEATH(ReliableWriter({.mtu = 19}), "mtu must accommodate RTPS header");
  EXPECT_EQ(ReliableWriter({.mtu = 20}).last_sequence_number(), 0);
}

}  // namespace
}  // namespace nimbrel::rtps
