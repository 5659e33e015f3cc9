#include "rtps/reliable_reader.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "rtps/reader_test_util.hpp"

namespace nimbrel::rtps {
namespace {

using namespace std::chrono_literals;
using namespace nimbrel::rtps::testing;
using Sns = std::vector<SequenceNumber>;

constexpr SequenceNumber sn_max = std::numeric_limits<SequenceNumber>::max();

class ReaderTimeline : public ::testing::Test {
 protected:
  ReaderTimeline() { make_reader(); }

  void make_reader(std::size_t max_samples = 256, Duration delay = Duration{0},
                   std::vector<char> writers = {'A'}) {
    ReliableReaderConfig config{
        .response_delay = delay, .reader_guid = local_reader, .max_samples = max_samples};
    for (char w : writers)
      config.writer_proxies.push_back(proxy_of(w));
    reader.emplace(std::move(config));
  }

  Sns data(SequenceNumber sn, char from = 'A') {
    return numbers(reader->handle_data(participant(from), data_msg(sn)));
  }
  Sns hb(SequenceNumber first, SequenceNumber last, bool final_flag = false, char from = 'A') {
    return numbers(
        reader->handle_heartbeat(participant(from), heartbeat_msg(first, last, final_flag), now));
  }
  Sns gap(SequenceNumber start, SequenceNumber base, Sns listed = {}) {
    return numbers(reader->handle_gap(participant('A'), gap_msg(start, base, std::move(listed))));
  }
  Released frag(SequenceNumber sn, FragmentNumber first, std::uint16_t count, std::uint16_t size,
                std::uint32_t sample_size) {
    return reader->handle_data_frag(participant('A'), frag_msg(sn, first, count, size, sample_size),
                                    now);
  }
  std::vector<Reply> replies() {
    auto out = reader->tick_outbound(now);
    EXPECT_TRUE(out.has_value());
    std::vector<Reply> decoded;
    for (const auto& d : out.value_or(std::vector<OutboundDatagram>{}))
      decoded.push_back(decode_reply(d));
    return decoded;
  }
  // The single reply of this tick, an ACKNACK.
  AckNackSubmessage acknack() {
    auto all = replies();
    EXPECT_EQ(all.size(), 1u);
    if (all.size() != 1 || !all[0].is_acknack()) return {};
    return all[0].acknack();
  }
  const WriterProxyState& state(char w = 'A') { return *reader->writer_proxy_state(writer_of(w)); }

  std::optional<ReliableReader> reader;
  Elapsed now{};
};

void expect_acknack(const AckNackSubmessage& a, SequenceNumber base, Sns marked, bool final_flag) {
  EXPECT_EQ(a.reader_sn_state.base, base);
  EXPECT_EQ(a.reader_sn_state.members(), marked);
  const auto width = marked.empty() ? 0 : marked.back() - base + 1;
  EXPECT_EQ(a.reader_sn_state.num_bits, static_cast<std::uint32_t>(width));
  EXPECT_EQ(a.final_flag, final_flag);
}

// --- ordering ----------------------------------------------------------------------------------

TEST_F(ReaderTimeline, DeliversInSequenceOrderSharingThePayloadBuffer) {
  const auto one = data_msg(1);
  const auto first = reader->handle_data(participant('A'), one);
  ASSERT_EQ(numbers(first), Sns{1});
  EXPECT_EQ(first.samples[0].writer_guid, writer_of('A'));
  EXPECT_EQ(first.samples[0].payload.data(), one.serialized_payload.data());
  EXPECT_EQ(data(3), Sns{});
  EXPECT_EQ(data(2), (Sns{2, 3}));
  EXPECT_EQ(data(2), Sns{});
}

TEST_F(ReaderTimeline, HeartbeatStartingAtFiveSkipsOneToFour) {
  EXPECT_EQ(hb(5, 6), Sns{});
  EXPECT_EQ(data(5), Sns{5});
  expect_acknack(acknack(), 6, {6}, /*final_flag=*/false);
}

TEST_F(ReaderTimeline, GapRangeAndListedNumbersAreSkippedOnceAnnouncedAndRefused) {
  data(1);
  data(3);
  EXPECT_EQ(gap(2, 3), Sns{});
  EXPECT_EQ(hb(1, 3), Sns{3}) << "a GAP alone delivers nothing";
  hb(1, 8);
  EXPECT_EQ(gap(4, 6, {7}), Sns{});
  EXPECT_EQ(data(7), Sns{});
  EXPECT_EQ(data(6), Sns{6});
  EXPECT_EQ(data(8), Sns{8});
}

TEST_F(ReaderTimeline, ReplacingAProxyStartsItAfresh) {
  data(1);
  reader->add_writer_proxy(proxy_of('A'));
  EXPECT_EQ(data(1), Sns{1});
  EXPECT_EQ(reader->writer_proxy_states().size(), 1u);
}

// --- acknowledgements --------------------------------------------------------------------------

TEST_F(ReaderTimeline, NonFinalHeartbeatIsAnsweredWithAFinalAckNack) {
  for (SequenceNumber sn : {1, 2, 3})
    data(sn);
  hb(1, 3);
  auto all = replies();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].to, participant('A'));
  EXPECT_EQ(all[0].destinations, std::vector<Locator>{locator_of('A')});
  expect_acknack(all[0].acknack(), 4, {}, /*final_flag=*/true);
  EXPECT_EQ(all[0].acknack().count, 1u);
  EXPECT_TRUE(replies().empty()) << "one response per pending period";
}

TEST_F(ReaderTimeline, FinalHeartbeatIsAnsweredOnlyWhenSomethingIsMissing) {
  data(1);
  hb(1, 1, /*final_flag=*/true);
  EXPECT_TRUE(replies().empty());
  hb(1, 2, /*final_flag=*/true);
  expect_acknack(acknack(), 2, {2}, /*final_flag=*/false);
}

TEST_F(ReaderTimeline, AckNackMarksOnlyTheWindowFromItsBase) {
  for (SequenceNumber sn = 1; sn <= 9; ++sn)
    data(sn);
  gap(11, 300);
  data(301);
  hb(1, 301);
  expect_acknack(acknack(), 10, {10}, /*final_flag=*/false);
  EXPECT_EQ(data(10), Sns{10});
  hb(1, 301);
  const auto second = acknack();
  expect_acknack(second, 300, {300}, /*final_flag=*/false);
  EXPECT_EQ(second.count, 2u);
}

TEST_F(ReaderTimeline, ResponseWaitsForTheDelayAndABackwardClockCountsAsNoTime) {
  make_reader(256, 50ms);
  now = Elapsed::from_millis(100);
  hb(1, 1);
  now = Elapsed::from_millis(60);
  EXPECT_TRUE(replies().empty());
  now = Elapsed::from_millis(149);
  EXPECT_TRUE(replies().empty());
  now = Elapsed::from_millis(150);
  expect_acknack(acknack(), 1, {1}, /*final_flag=*/false);
}

TEST_F(ReaderTimeline, LivelinessHeartbeatAnnouncesNothing) {
  reader->handle_heartbeat(participant('A'), heartbeat_msg(1, 5, false, /*liveliness=*/true), now);
  // The writer is still unheard of: the reader only says it is there.
  expect_acknack(acknack(), 1, {}, /*final_flag=*/false);
  EXPECT_EQ(state().proxy.last_available, 0);
  EXPECT_EQ(state().proxy.first_available, 1);
}

// A writer not yet heard of is told the reader is there, at once and then less and less often,
// until it speaks.
TEST_F(ReaderTimeline, AnUnheardWriterIsGreetedWithBackoffUntilItSpeaks) {
  for (const auto& [at, greeted] : {std::pair{0, true},
                                    {4, false},
                                    {5, true},
                                    {14, false},
                                    {15, true},
                                    {34, false},
                                    {35, true}}) {
    now = Elapsed::from_millis(at);
    const auto sent = replies();
    ASSERT_EQ(sent.size(), greeted ? 1u : 0u) << at;
    if (greeted) expect_acknack(sent[0].acknack(), 1, {}, /*final_flag=*/false);
  }
  hb(1, 2);
  now = Elapsed::from_millis(100);
  expect_acknack(acknack(), 1, {1, 2}, /*final_flag=*/false);
  now = Elapsed::from_millis(1000);
  EXPECT_TRUE(replies().empty());
}

// --- fragments ---------------------------------------------------------------------------------

TEST_F(ReaderTimeline, PartlyReceivedSampleIsNackedOnceAnnouncedThenDelivered) {
  // 450 bytes in fragments of 100: five fragments, 1 and 3 arrive.
  frag(1, 1, 1, 100, 450);
  frag(1, 3, 1, 100, 450);
  EXPECT_TRUE(replies().empty()) << "the rest may still be on its way";
  // A final HEARTBEAT announcing the sample asks for nothing, but the hole needs an answer.
  hb(1, 1, /*final_flag=*/true);
  auto all = replies();
  ASSERT_EQ(all.size(), 2u);
  const auto& nack = all[0].nack_frag();
  EXPECT_EQ(all[0].to, participant('A'));
  EXPECT_EQ(nack.writer_sn, 1);
  EXPECT_EQ(nack.fragment_number_state.base, 2u);
  EXPECT_EQ(nack.fragment_number_state.num_bits, 4u);
  EXPECT_EQ(nack.fragment_number_state.members(), (std::vector<FragmentNumber>{2, 4, 5}));
  EXPECT_EQ(nack.count, 1u);
  expect_acknack(all[1].acknack(), 1, {}, /*final_flag=*/false);

  EXPECT_TRUE(frag(1, 2, 1, 100, 450).samples.empty());
  const auto done = frag(1, 4, 2, 100, 450);
  ASSERT_EQ(numbers(done), Sns{1});
  EXPECT_EQ(contents(done.samples[0].payload), patterned(450));
  all = replies();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_TRUE(all[0].is_acknack()) << "no NACK_FRAG for a completed sample";

  frag(2, 1, 1, 100, 450);
  hb(1, 1);
  all = replies();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_TRUE(all[0].is_acknack()) << "no NACK_FRAG for a sample not announced yet";
}

TEST_F(ReaderTimeline, FragmentsOfSettledNumbersAreDiscarded) {
  data(1);
  frag(1, 1, 1, 100, 450);
  EXPECT_EQ(reader->discarded_frag_count(), 1u);

  frag(3, 1, 1, 100, 450);
  gap(3, 4);
  EXPECT_FALSE(state().assembler.has_pending());
  frag(3, 2, 1, 100, 450);
  EXPECT_EQ(reader->discarded_frag_count(), 2u);

  frag(5, 1, 1, 100, 450);
  hb(6, 6);  // the writer no longer has 5
  EXPECT_FALSE(state().assembler.has_pending());
  for (const auto& r : replies())
    EXPECT_TRUE(r.is_acknack());
}

// --- writers are told apart by their full GUID --------------------------------------------------

TEST_F(ReaderTimeline, WritersSharingAnEntityIdKeepTheirOwnSequenceNumbers) {
  make_reader(256, Duration{0}, {'A', 'B'});
  const auto from_b = reader->handle_data(participant('B'), data_msg(1));
  ASSERT_EQ(numbers(from_b), Sns{1});
  EXPECT_EQ(from_b.samples[0].writer_guid, writer_of('B'));
  EXPECT_EQ(data(1, 'A'), Sns{1});
  EXPECT_EQ(data(2, 'B'), Sns{2});

  hb(1, 3, /*final_flag=*/false, 'A');
  auto all = replies();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].to, participant('A'));
  EXPECT_EQ(all[0].destinations, std::vector<Locator>{locator_of('A')});
  expect_acknack(all[0].acknack(), 2, {2, 3}, /*final_flag=*/false);
  EXPECT_EQ(state('B').proxy.last_available, 0);

  EXPECT_EQ(data(3, 'C'), Sns{});
  EXPECT_EQ(reader->unknown_writer_count(), 1u);
}

// --- a refused change is asked for again ---------------------------------------------------------

TEST_F(ReaderTimeline, ChangeRefusedByAFullCacheStaysMissing) {
  make_reader(/*max_samples=*/2);
  hb(1, 4);
  data(2);
  data(3);
  EXPECT_EQ(data(4), Sns{});
  expect_acknack(acknack(), 1, {1, 4}, /*final_flag=*/false);
  // The cache is still full, but the next number in line always gets through.
  EXPECT_EQ(data(1), (Sns{1, 2, 3}));
  EXPECT_EQ(data(4), Sns{4});
}

TEST_F(ReaderTimeline, FragmentedSampleRefusedByAFullCacheStaysMissing) {
  make_reader(/*max_samples=*/1);
  hb(1, 3);
  data(2);
  EXPECT_TRUE(frag(3, 1, 2, 100, 150).samples.empty());
  auto all = replies();
  ASSERT_EQ(all.size(), 1u);
  expect_acknack(all[0].acknack(), 1, {1, 3}, /*final_flag=*/false);
  EXPECT_EQ(data(1), (Sns{1, 2}));
  EXPECT_EQ(numbers(frag(3, 1, 2, 100, 150)), Sns{3});
}

// --- bounded state -------------------------------------------------------------------------------

TEST_F(ReaderTimeline, NumbersUpToTheDeliveredOneAreForgotten) {
  hb(1, 2000);
  for (SequenceNumber sn = 1; sn <= 2000; sn += 2) {
    data(sn);
    gap(sn + 1, sn + 2);
  }
  EXPECT_EQ(state().proxy.highest_delivered, 2000);
  EXPECT_TRUE(state().proxy.received.empty());
  EXPECT_TRUE(state().proxy.irrelevant.empty());
  EXPECT_TRUE(state().cache.empty());
}

TEST_F(ReaderTimeline, HugeAnnouncedRangesCostOnlyTheirEntries) {
  constexpr SequenceNumber far = SequenceNumber{1} << 62;
  hb(1, SequenceNumber{1} << 40);
  auto first = acknack();
  EXPECT_EQ(first.reader_sn_state.base, 1);
  EXPECT_EQ(first.reader_sn_state.num_bits, 256u);
  EXPECT_EQ(first.reader_sn_state.members().size(), 256u);

  EXPECT_EQ(gap(1, far), Sns{});
  hb(1, far + 2);
  expect_acknack(acknack(), far, {far, far + 1, far + 2}, /*final_flag=*/false);
  EXPECT_EQ(data(far), Sns{far});
  EXPECT_EQ(state().proxy.irrelevant.range_count(), 0u);
}

TEST_F(ReaderTimeline, HostileNumbersAtTheEdgesOfTheRange) {
  hb(1, 3);
  EXPECT_EQ(gap(std::numeric_limits<SequenceNumber>::min(), 3), Sns{});
  EXPECT_EQ(data(3), Sns{3});
  EXPECT_EQ(data(-1), Sns{});
  hb(sn_max, sn_max);
  EXPECT_EQ(data(sn_max), Sns{sn_max});
  EXPECT_EQ(data(sn_max), Sns{});
  EXPECT_EQ(gap(sn_max - 1, sn_max, {sn_max}), Sns{});
  const auto last = acknack();
  EXPECT_EQ(last.reader_sn_state.base, sn_max);
  EXPECT_TRUE(last.final_flag);
}

TEST(WriterProxy, MissingChangesStepOverStoredRangesAndTheBaseFollowsDelivery) {
  constexpr SequenceNumber mid = SequenceNumber{1} << 39;
  WriterProxy proxy;
  proxy.announce(1, SequenceNumber{1} << 40);
  proxy.mark_received(3);
  proxy.mark_irrelevant(5, mid);
  EXPECT_EQ(proxy.missing_changes(5), (Sns{1, 2, 4, mid + 1, mid + 2}));
  EXPECT_EQ(proxy.missing_changes(0), Sns{});
  proxy.mark_delivered_up_to(mid + 10);
  EXPECT_EQ(proxy.missing_changes(2), (Sns{mid + 11, mid + 12}));
  EXPECT_EQ(proxy.acknack_base(), mid + 11);
  WriterProxy short_announcement;
  short_announcement.announce(1, 3);
  short_announcement.mark_delivered_up_to(5);
  EXPECT_EQ(short_announcement.acknack_base(), 6);
}

TEST(SequenceRanges, TouchingRangesMergeAndTrimmingKeepsTheRest) {
  SequenceRanges ranges;
  ranges.insert(10, 20);
  ranges.insert(30, 40);
  ranges.insert(21, 29);
  EXPECT_EQ(ranges.range_count(), 1u);
  EXPECT_EQ(ranges.range_end(15), 40);
  ranges.insert(45);
  ranges.erase_below(41);
  EXPECT_FALSE(ranges.contains(40));
  EXPECT_EQ(ranges.next_start_after(0), 45);
  ranges.insert(sn_max - 1, sn_max);
  ranges.insert(std::numeric_limits<SequenceNumber>::min(), 0);
  EXPECT_EQ(ranges.range_count(), 3u);
}

// --- lifecycle from inline QoS -------------------------------------------------------------------

struct LifecycleCase {
  const char* name;
  bool key_flag;
  std::vector<Parameter> inline_qos;
  std::uint8_t kind;
  bool has_key_hash;
  bool payload = true;  // false: neither data nor key, only inline QoS
};

Parameter status(std::uint8_t flags, std::size_t length = 4) {
  std::vector<std::byte> value(length);
  value[length - 1] = std::byte{flags};
  return {pid::status_info, value};
}
Parameter key_hash(std::size_t length) {
  return {pid::key_hash, std::vector<std::byte>(length, std::byte{0x5A})};
}

class Lifecycle : public ::testing::TestWithParam<LifecycleCase> {};

TEST_P(Lifecycle, KindAndKeyHashComeFromTheFirstParameters) {
  const auto& c = GetParam();
  ReliableReader reader({.writer_proxies = {proxy_of('A')}, .reader_guid = local_reader});
  auto msg = data_msg(1);
  msg.key_flag = c.key_flag;
  if (!c.payload) msg.serialized_payload = {};
  if (!c.inline_qos.empty()) msg.inline_qos = ParameterList{c.inline_qos};
  const auto out = reader.handle_data(participant('A'), msg).samples;
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].kind, c.kind);
  EXPECT_EQ(out[0].key_hash.has_value(), c.has_key_hash);
  if (c.has_key_hash) {
    EXPECT_EQ(out[0].key_hash->front(), 0x5A);
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(ReliableReader, Lifecycle, ::testing::Values(
    LifecycleCase{"alive",                   true,  {},                             0, false},
    LifecycleCase{"disposed",                true,  {status(1)},                    2, false},
    LifecycleCase{"unregistered",            true,  {status(2)},                    3, false},
    LifecycleCase{"disposed_unregistered",   true,  {status(3), key_hash(16)},      4, true},
    LifecycleCase{"status_without_key_flag", false, {status(1)},                    0, false},
    // As Fast DDS disposes and unregisters: inline QoS alone.
    LifecycleCase{"status_without_payload",  false, {key_hash(16), status(2)},      3, true, false},
    LifecycleCase{"status_of_wrong_length",  true,  {status(1, 8)},                 0, false},
    LifecycleCase{"first_status_wins",       true,  {status(0), status(1)},         0, false},
    LifecycleCase{"key_hash",                false, {key_hash(16)},                 0, true},
    LifecycleCase{"first_key_hash_wins",     false, {key_hash(8), key_hash(16)},    0, false}),
    [](const auto& p) { return std::string(p.param.name); });
// clang-format on

// --- configuration and captures ------------------------------------------------------------------

TEST(ReliableReaderDeathTest, ZeroPendingFragmentedSamplesIsFatal) {
  EXPECT_DEATH(ReliableReader({.assembler_caps = {.max_pending_sns = 0}}),
               "assembler_caps.max_pending_sns must be > 0; use a Best-Effort reader or increase "
               "the cap to actually accept fragmented samples");
}

// A reader of the capture's writer, fed every submessage and then `then`, if any; returns what it
// delivered and its replies.
std::pair<Sns, std::vector<Reply>> replay(const ParsedDatagram& datagram,
                                          std::optional<HeartbeatSubmessage> then = {}) {
  ReliableReader reader(
      {.writer_proxies = {{.remote_writer_guid = {datagram.guid_prefix, shared_writer_id}}},
       .reader_guid = local_reader});
  const Sns delivered = numbers(feed(reader, datagram, Elapsed{}));
  if (then) reader.handle_heartbeat(datagram.guid_prefix, *then, Elapsed{});
  std::vector<Reply> replies;
  const auto sent = reader.tick_outbound(Elapsed{}).value();
  for (const auto& d : sent)
    replies.push_back(decode_reply(d));
  return {delivered, replies};
}

TEST(CycloneCapture, LateReaderDeliversFromTheAnnouncedFirstAndAsksForMissingFragments) {
  const auto datagram = cyclone_datagram("user_data_pub.bin");
  const auto [delivered, replies] = replay(datagram);
  EXPECT_EQ(delivered, Sns{22});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].to, datagram.guid_prefix);
  expect_acknack(replies[0].acknack(), 23, {}, /*final_flag=*/true);

  // Ten of fifteen fragments arrive, with only a HEARTBEAT_FRAG: nothing is asked for until a
  // HEARTBEAT announces the sample.
  const auto frag_datagram = cyclone_datagram("user_data_frag_pub.bin");
  const auto [none, early] = replay(frag_datagram);
  EXPECT_EQ(none, Sns{});
  EXPECT_TRUE(early.empty());
  const auto [still_none, frag_replies] =
      replay(frag_datagram, HeartbeatSubmessage{.writer_id = shared_writer_id,
                                                .first_sn = 1,
                                                .last_sn = 7,
                                                .count = 1,
                                                .final_flag = true});
  EXPECT_EQ(still_none, Sns{});
  ASSERT_EQ(frag_replies.size(), 2u);
  const auto nack = frag_replies[0].nack_frag();
  EXPECT_EQ(nack.writer_sn, 7);
  EXPECT_EQ(nack.fragment_number_state.base, 11u);
  EXPECT_EQ(nack.fragment_number_state.members(),
            (std::vector<FragmentNumber>{11, 12, 13, 14, 15}));
}

}  // namespace
}  // namespace nimbrel::rtps
