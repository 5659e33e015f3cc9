#include "discovery/wlp.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "rtps/datagram.hpp"
#include "rtps/participant_message_data.hpp"
#include "rtps/submessage_test_util.hpp"

namespace nimbrel::discovery {
namespace {

using namespace std::chrono_literals;
using namespace rtps::testing;
using rtps::GuidPrefix;
using rtps::ParticipantMessageData;
using rtps::SequenceNumber;
namespace ids = rtps::entity_ids;

constexpr GuidPrefix remote_a{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5,
                              0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB};
constexpr GuidPrefix remote_b{0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5,
                              0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xBB};

Elapsed at(Duration d) {
  return Elapsed{d};
}

// The pulse decoded from a datagram the endpoint sent: its sequence number and message.
struct SentPulse {
  SequenceNumber sn = 0;
  ParticipantMessageData message{};
};

SentPulse sent(const std::vector<std::byte>& bytes) {
  const auto parsed = rtps::decode_bytes<rtps::ParsedDatagram>(SharedBytes::copy_of(bytes), true);
  if (!parsed || parsed->submessages.size() != 1) {
    ADD_FAILURE() << "expected one submessage";
    return {};
  }
  const auto& data = std::get<rtps::DataSubmessage>(parsed->submessages[0]);
  EXPECT_EQ(data.writer_id, ids::participant_message_writer);
  return {data.writer_sn,
          rtps::decode_bytes<ParticipantMessageData>(data.serialized_payload, true).value()};
}

// --- Sending -----------------------------------------------------------------------------------

// clang-format off
const std::vector<std::byte> golden_pulse = concat({
    golden_header(),                                 // RTPS 2.5, vendor 01 F0, prefix 1..12
    bytes({
    0x15, 0x05, 0x30, 0x00,                          // DATA, flags E|D, 48 bytes
    0x00, 0x00, 0x10, 0x00,                          // extra flags, octetsToInlineQos 16
    0x00, 0x02, 0x00, 0xC7,                          // participant message reader
    0x00, 0x02, 0x00, 0xC2,                          // participant message writer
    0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,  // writer sn 1
    0x00, 0x01, 0x00, 0x00,                          // CDR_LE, options
    1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,           // participant GUID prefix
    0x00, 0x00, 0x01, 0xC1,                          //   participant entity id
    0x00, 0x00, 0x00, 0x00,                          // kind 0
    0x00, 0x00, 0x00, 0x00})});                      // no data
// clang-format on

class WlpTimeline : public ::testing::Test {
 protected:
  // The pulse a tick at `t` sends, if any.
  std::optional<SentPulse> tick_at(Duration t) {
    auto out = wlp.tick(at(t));
    EXPECT_TRUE(out) << to_string(out.error());
    if (!out || !*out) return std::nullopt;
    return sent(**out);
  }
  std::optional<SequenceNumber> pulse_at(Duration t) {
    const auto pulse = tick_at(t);
    return pulse ? std::optional(pulse->sn) : std::nullopt;
  }

  WlpEndpoint wlp{golden_prefix, 10s};
};

TEST_F(WlpTimeline, PulsesOncePerPeriodCountedFromTheLastPulse) {
  const auto first = wlp.tick(at(2s));
  ASSERT_TRUE(first && *first);
  EXPECT_EQ(**first, golden_pulse);
  EXPECT_EQ(pulse_at(12s - 1ns), std::nullopt);
  EXPECT_EQ(pulse_at(12s), 2);
  EXPECT_EQ(pulse_at(12s), std::nullopt);
  // A late tick does not catch up; the next pulse is a period after it.
  EXPECT_EQ(pulse_at(40s), 3);
  EXPECT_EQ(pulse_at(50s - 1ns), std::nullopt);
  EXPECT_EQ(pulse_at(50s), 4);
}

TEST_F(WlpTimeline, PendingPulsesGoFirstOnePerTick) {
  wlp.enqueue_pulse({bytes({0xAA, 0xBB}), 7});
  wlp.enqueue_pulse({std::vector<std::byte>(4097), 8});  // too long: dropped, no number used
  wlp.enqueue_pulse({{}, 9});
  const auto first = tick_at(0s);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->sn, 1);
  EXPECT_EQ(first->message,
            (ParticipantMessageData{{golden_prefix, ids::participant}, 7, bytes({0xAA, 0xBB})}));
  EXPECT_EQ(wlp.tick(at(0s)), std::unexpected(CodecError::resource_limit(
                                  "ParticipantMessageData.data exceeds MAX_DATA_LEN")));
  const auto third = tick_at(0s);
  ASSERT_TRUE(third);
  EXPECT_EQ(third->sn, 2);
  EXPECT_EQ(third->message.kind, 9u);
  EXPECT_EQ(pulse_at(0s), 3);  // then the periodic one
}

TEST(WlpEndpoint, PeriodZeroNeverPulsesButSendsPendingPulsesUpToTheLimit) {
  WlpEndpoint wlp{golden_prefix, 0s};
  for (auto t : {0s, 1s, 1'000'000s})
    EXPECT_EQ(wlp.tick(at(t)).value(), std::nullopt);
  wlp.enqueue_pulse({std::vector<std::byte>(4096, std::byte{0x5A}), 1});
  const auto out = wlp.tick(at(0s));
  ASSERT_TRUE(out && *out);
  EXPECT_EQ(sent(**out).sn, 1);
  EXPECT_EQ(sent(**out).message.data.size(), 4096u);
}

TEST(WlpEndpoint, SequenceOverflowKeepsThePulseDue) {
  constexpr auto last = std::numeric_limits<SequenceNumber>::max();
  WlpEndpoint wlp{golden_prefix, 10s, rtps::nimbrel_vendor_id, /*first_sequence=*/last - 1};
  const auto first = wlp.tick(at(0s));
  ASSERT_TRUE(first && *first);
  EXPECT_EQ(sent(**first).sn, last - 1);
  const auto overflow = std::unexpected(CodecError::malformed("wlp sequence overflow"));
  EXPECT_EQ(wlp.tick(at(10s)), overflow);
  // Still due: had the due time moved on, this tick would send nothing.
  EXPECT_EQ(wlp.tick(at(10s)), overflow);
}

TEST(WlpEndpointDeathTest, DueTimePastTheTimeRangeIsFatal) {
  WlpEndpoint wlp{golden_prefix, 1s};
  EXPECT_DEATH((void)wlp.tick(Elapsed{Duration::max() - 1ns}), "overflow when adding durations");
}

TEST(WlpPulsePeriod, LivelinessPeriodOrAThirdOfTheLease) {
  EXPECT_EQ(wlp_pulse_period(0s, 100s), 33s + 333'333'333ns);
  EXPECT_EQ(wlp_pulse_period(0s, 2ns), 0ns);  // rounds down to "never"
  EXPECT_EQ(wlp_pulse_period(2s, 100s), 2s);
}

// --- Receiving ---------------------------------------------------------------------------------

std::vector<std::byte> pulse_payload(const GuidPrefix& prefix, std::uint32_t kind) {
  return encode_bytes(ParticipantMessageData{{prefix, ids::participant}, kind, {}}, true).value();
}

std::vector<std::byte> pulse_from(const GuidPrefix& prefix, std::uint32_t kind) {
  return data_submessage(ids::participant_message_writer, pulse_payload(prefix, kind));
}

GuidPrefix numbered_prefix(std::uint32_t n) {
  return {
      0xEE, 0, 0, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
}

class WlpReceive : public ::testing::Test {
 protected:
  using Table = std::map<GuidPrefix, LivelinessEntry>;

  bool receive(const SharedBytes& bytes, Duration t) {
    return wlp.handle_datagram(rtps::testing::received(bytes), at(t));
  }

  WlpEndpoint wlp{remote_b, 0s};
};

// A zero participant prefix in the payload stands for the header's prefix.
TEST_F(WlpReceive, RecordsAndRefreshesPulses) {
  WlpEndpoint sender{remote_a, 0s};
  EXPECT_TRUE(receive(SharedBytes::adopt(sender.encode_pulse({{}, 0}).value()), 3s));
  EXPECT_EQ(wlp.liveliness(), (Table{{remote_a, {at(3s), 0}}}));
  EXPECT_TRUE(receive(
      datagram({pulse_from(remote_a, 2), pulse_from(remote_b, 1), pulse_from(GuidPrefix{}, 4)}),
      5s));
  EXPECT_EQ(
      wlp.liveliness(),
      (Table{{remote_a, {at(5s), 2}}, {remote_b, {at(5s), 1}}, {golden_prefix, {at(5s), 4}}}));
}

// Undecodable pulses are passed over, and other writers' DATA leave the table unchanged.
TEST_F(WlpReceive, OnlyDecodablePulsesOfTheLivelinessWriterCount) {
  const auto pl_cdr = data_submessage(ids::participant_message_writer, bytes({0, 3, 0, 0}));
  EXPECT_FALSE(receive(datagram({pl_cdr}), 1s));
  EXPECT_TRUE(receive(datagram({pl_cdr, pulse_from(remote_a, 0)}), 2s));
  for (auto writer : {ids::spdp_writer, ids::participant_message_reader, ids::unknown}) {
    EXPECT_FALSE(receive(datagram({data_submessage(writer, pulse_payload(remote_a, 5)),
                                   data_submessage(writer, pulse_payload(remote_b, 5))}),
                         9s));
  }
  EXPECT_EQ(wlp.liveliness(), (Table{{remote_a, {at(2s), 0}}}));
  EXPECT_EQ(wlp.undecodable_pulses(), 2u);
}

TEST_F(WlpReceive, TableHoldsAtMost1024Participants) {
  for (std::uint32_t n = 0; n < WlpEndpoint::max_tracked_participants; ++n) {
    ASSERT_TRUE(receive(datagram({pulse_from(numbered_prefix(n), 0)}), 1s)) << n;
  }
  EXPECT_FALSE(receive(datagram({pulse_from(numbered_prefix(1024), 0)}), 2s));
  EXPECT_EQ(wlp.liveliness().size(), 1024u);
  EXPECT_FALSE(wlp.liveliness().contains(numbered_prefix(1024)));

  EXPECT_TRUE(receive(datagram({pulse_from(numbered_prefix(1023), 4)}), 3s));
  EXPECT_EQ(wlp.liveliness().at(numbered_prefix(1023)), (LivelinessEntry{at(3s), 4}));
}

TEST_F(WlpReceive, RecordsACyclonePulse) {
  EXPECT_TRUE(wlp.handle_datagram(
      received(load_capture("sedp_sub_subscription.bin"), cyclone_pub_prefix), at(7s)));
  ASSERT_EQ(wlp.liveliness().size(), 1u);
  EXPECT_EQ(wlp.liveliness().begin()->first, cyclone_sub_prefix);
  EXPECT_EQ(wlp.liveliness().begin()->second.last_pulse, at(7s));
}

}  // namespace
}  // namespace nimbrel::discovery
