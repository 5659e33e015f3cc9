// Invalid HEARTBEAT, GAP and DATA_FRAG submessages sent to the recorder's user port under the GUID
// of a live `ddsperf pub` writer must be ignored: the recording of that writer stays complete and
// goes on after them.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "dcps/runtime/runtime.hpp"
#include "e2e/bridge_recording.hpp"
#include "rtps/datagram.hpp"
#include "rtps/submessages.hpp"
#include "transport/udp_transport.hpp"

namespace nimbrel::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The test's own participant only listens to discovery to learn the writer and the recorder.
constexpr rtps::GuidPrefix listener_prefix{0x4e, 0x42, 0x52, 0x4c, 0, 0, 0, 0, 0, 0, 0xe2, 0xe0};
// The datagrams pass for ddsperf's own.
constexpr rtps::ProtocolVersion cyclone_version{2, 1};
constexpr rtps::VendorId cyclone_vendor_id{0x01, 0x10};
constexpr std::size_t sample_size = 100;
constexpr int injections_per_case = 5;
// Samples between two injections, so each one meets a fresh position of the stream.
constexpr std::uint32_t injection_spacing = 100;
// The stream the recording must show before and after the injections (0.3 s and 2 s at 1000 Hz).
constexpr std::uint32_t stream_before = 300;
constexpr std::uint32_t stream_after = 2000;

struct Hostile {
  std::uint8_t id = 0;
  rtps::EncodedBody body{};
};

// `latest` is the last recorded sequence number: the writer is a little ahead of it, never far.
using MakeHostile =
    std::function<Hostile(const rtps::EntityId& writer, rtps::SequenceNumber latest, int nth)>;

struct HostileCase {
  const char* label;
  MakeHostile make;
};

void PrintTo(const HostileCase& hostile_case, std::ostream* out) {
  *out << hostile_case.label;
}

// Newer than any count ddsperf reaches in a test, so no count check hides the fault.
std::uint32_t hostile_count(int nth) {
  return 0x40000000u + static_cast<std::uint32_t>(nth);
}

Hostile heartbeat(const rtps::EntityId& writer, rtps::SequenceNumber first,
                  rtps::SequenceNumber last, int nth) {
  const rtps::HeartbeatSubmessage hb{.reader_id = rtps::entity_ids::unknown,
                                     .writer_id = writer,
                                     .first_sn = first,
                                     .last_sn = last,
                                     .count = hostile_count(nth)};
  return {rtps::submessage_id::heartbeat, rtps::encode_body(hb, true)};
}

// An empty list at `latest + 250`: a receiver that takes the bad start marks everything below it
// irrelevant, samples not sent yet included.
Hostile gap(const rtps::EntityId& writer, rtps::SequenceNumber start, rtps::SequenceNumber latest) {
  const rtps::GapSubmessage g{.reader_id = rtps::entity_ids::unknown,
                              .writer_id = writer,
                              .gap_start = start,
                              .gap_list = rtps::SequenceNumberSet::empty_range(latest + 250, 0)};
  return {rtps::submessage_id::gap, rtps::encode_body(g, true)};
}

// A whole 64-byte sample in one fragment that claims to be 4,096 bytes long, for a sequence number
// the writer has not reached yet, so a receiver that takes it drops the real sample.
Hostile oversized_fragment(const rtps::EntityId& writer, rtps::SequenceNumber latest, int nth) {
  constexpr std::uint32_t bogus_sample_size = 64;
  std::vector<std::byte> sample(bogus_sample_size, std::byte{0xbd});
  // CDR little-endian encapsulation, then a seq no real sample carries.
  sample[0] = std::byte{0x00};
  sample[1] = std::byte{0x01};
  sample[2] = std::byte{0x00};
  sample[3] = std::byte{0x00};
  const rtps::DataFragSubmessage frag{
      .reader_id = rtps::entity_ids::unknown,
      .writer_id = writer,
      .writer_sn = latest + 200 + nth,
      .fragment_starting_num = 1,
      .fragments_in_submessage = 1,
      .fragment_size = 4096,
      .sample_size = bogus_sample_size,
      .fragments = SharedBytes::adopt(std::move(sample)),
  };
  return {rtps::submessage_id::data_frag, rtps::encode_body(frag, true)};
}

const HostileCase hostile_cases[] = {
    {"HeartbeatFirstFarBeyondLast",
     [](const auto& writer, auto, int nth) {
       return heartbeat(writer, rtps::SequenceNumber{1} << 40, 1, nth);
     }},
    {"HeartbeatFirstAheadOfLast",
     [](const auto& writer, auto latest, int nth) {
       return heartbeat(writer, latest + 1000, latest, nth);
     }},
    {"GapStartZero", [](const auto& writer, auto latest, int) { return gap(writer, 0, latest); }},
    {"GapStartNegative",
     [](const auto& writer, auto latest, int) { return gap(writer, -1, latest); }},
    {"DataFragLargerThanItsSample", oversized_fragment},
};

std::vector<std::byte> spoofed_datagram(const rtps::GuidPrefix& prefix, const Hostile& hostile) {
  std::vector<std::byte> out;
  rtps::write_rtps_header(out, cyclone_version, cyclone_vendor_id, prefix);
  const auto framed = rtps::write_submessage(out, hostile.id, hostile.body.flags,
                                             hostile.body.bytes, "hostile submessage too long");
  EXPECT_TRUE(framed.has_value());
  return out;
}

// The first value `probe` gives within `limit`, polled.
template <typename Probe>
auto poll(Probe probe, Clock::duration limit) -> decltype(probe()) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    if (auto found = probe()) return found;
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(20ms);
  }
}

std::optional<rtps::Guid> ddsperf_writer(const dcps::DcpsRuntime& runtime) {
  for (const auto& [guid, publication] : runtime.discovered_publications()) {
    if (publication.topic_name == "DDSPerfRDataKS" && publication.type_name == "KeyedSeq")
      return guid;
  }
  return std::nullopt;
}

std::optional<rtps::Locator> recorder_user_locator(const dcps::DcpsRuntime& runtime) {
  for (const auto& participant : runtime.discovered_participants()) {
    if (participant.sender_vendor_id == rtps::nimbrel_vendor_id &&
        participant.data.participant_guid.prefix != listener_prefix) {
      return participant.data.default_unicast_locator;
    }
  }
  return std::nullopt;
}

class HostileSubmessages : public RecorderBridgeDdsperfTest,
                           public ::testing::WithParamInterface<HostileCase> {
 protected:
  // The last recorded sequence number once it is past `seq`, or the last one seen at `limit`.
  std::optional<std::uint32_t> recorded_past(std::uint32_t seq, Clock::duration limit) const {
    const auto deadline = Clock::now() + limit;
    std::optional<std::uint32_t> last;
    for (;;) {
      if (auto now = last_recorded(sample_size)) last = now;
      if ((last && *last > seq) || Clock::now() >= deadline) return last;
      std::this_thread::sleep_for(50ms);
    }
  }
};

TEST_P(HostileSubmessages, AreIgnoredAndTheRecordingStaysComplete) {
  start_running_publishers(1, "1000Hz", std::to_string(sample_size));
  auto started = dcps::DcpsRuntime::start(0, listener_prefix, dcps::RuntimeConfig{});
  ASSERT_TRUE(started) << dcps::to_string(started.error());
  std::shared_ptr<dcps::DcpsRuntime> listener = *started;
  const auto writer = poll([&] { return ddsperf_writer(*listener); }, generous);
  ASSERT_TRUE(writer) << "ddsperf's publication was not discovered";

  start_bridge({"--duration", "120s"});
  const auto target = poll([&] { return recorder_user_locator(*listener); }, generous);
  ASSERT_TRUE(target) << "the recorder's announcement was not heard";
  listener.reset();
  // Only ever to loopback.
  ASSERT_EQ(target->kind, rtps::locator_kind::udp_v4) << rtps::to_string(*target);
  ASSERT_EQ(target->ipv4()[0], 127) << rtps::to_string(*target);

  const auto first = recorded_past(0, generous);
  ASSERT_TRUE(first) << "nothing recorded";
  const auto followed = recorded_past(*first + stream_before, generous);
  ASSERT_TRUE(followed && *followed > *first + stream_before) << "the stream is not followed";

  auto socket = transport::UdpTransport::bind_v4({127, 0, 0, 1}, 0);
  ASSERT_TRUE(socket) << socket.error().message();
  std::uint32_t latest = *followed;
  for (int nth = 0; nth < injections_per_case; ++nth) {
    // Bounded: a stream the injections have stopped must not stall the test.
    latest = recorded_past(latest + injection_spacing, 1s).value_or(latest);
    const Hostile hostile = GetParam().make(writer->entity_id, latest, nth);
    ASSERT_TRUE(socket->send(*target, spoofed_datagram(writer->prefix, hostile)));
  }
  const std::uint32_t injected_at = latest;
  // 2 s of stream at 1000 Hz: a generous limit on a loaded machine.
  (void)recorded_past(injected_at + stream_after, 30s);
  bridge_->signal(SIGINT);

  const auto seqs = finished_recording(sample_size);
  ASSERT_FALSE(seqs.empty());
  std::printf("recorded %zu samples, %u to %u; injections ended at %u\n", seqs.size(), seqs.front(),
              seqs.back(), injected_at);
  EXPECT_TRUE(consecutive(seqs));
  EXPECT_LE(seqs.front(), *followed);
  EXPECT_GE(seqs.back(), injected_at + stream_after)
      << "the recording stopped after the injections";
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileSubmessages, ::testing::ValuesIn(hostile_cases),
                         [](const auto& test) { return std::string(test.param.label); });

}  // namespace
}  // namespace nimbrel::testing
