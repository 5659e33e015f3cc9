// Writer liveliness (DDSI-RTPS 2.5 section 8.4.13): the builtin participant-message endpoint pair.
// `tick` yields the automatic liveliness pulse when it is due, `handle_datagram` records the
// pulses of other participants. Best-effort, no heartbeats or repair; the runtime guards the
// endpoint, sends the pulses to the SPDP multicast group and feeds it every metatraffic datagram.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <vector>

#include "foundation/shared_bytes.hpp"
#include "foundation/time.hpp"
#include "rtps/receiver.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::discovery {

// `liveliness_period` unless it is 0, otherwise a third of the lease, rounded down to the
// nanosecond.
Duration wlp_pulse_period(Duration liveliness_period, Duration lease_duration);

struct WlpPulse {
  std::vector<std::byte> data{};
  std::uint32_t kind = 0;
};

struct LivelinessEntry {
  Elapsed last_pulse{};
  std::uint32_t kind = 0;
  friend bool operator==(const LivelinessEntry&, const LivelinessEntry&) = default;
};

class WlpEndpoint {
 public:
  static constexpr std::size_t max_tracked_participants = 1024;

  // A period of 0 disables the periodic pulse. `first_sequence` lets tests start near the end of
  // the sequence space.
  WlpEndpoint(rtps::GuidPrefix own_prefix, Duration pulse_period,
              rtps::VendorId vendor_id = rtps::nimbrel_vendor_id,
              rtps::SequenceNumber first_sequence = 1);

  // Sent ahead of the periodic pulse, one per tick.
  void enqueue_pulse(WlpPulse pulse) { pending_.push_back(std::move(pulse)); }

  // At most one datagram: a pending pulse first, else the periodic pulse once it is due. The
  // first periodic pulse is due at once. A failed periodic pulse stays due.
  CodecResult<std::optional<std::vector<std::byte>>> tick(Elapsed now);

  // One datagram with a single DATA from the participant message writer.
  CodecResult<std::vector<std::byte>> encode_pulse(const WlpPulse& pulse);

  // The pulses of a received datagram; true when one set or added an entry of the liveliness
  // table. Pulses that do not decode are counted and passed over.
  bool handle_datagram(const rtps::ReceivedDatagram& datagram, Elapsed now);

  const std::map<rtps::GuidPrefix, LivelinessEntry>& liveliness() const { return liveliness_; }
  void forget(const rtps::GuidPrefix& participant) { liveliness_.erase(participant); }
  std::uint64_t undecodable_pulses() const { return undecodable_pulses_; }

 private:
  std::deque<WlpPulse> pending_;
  Duration pulse_period_;
  Elapsed next_pulse_due_{};
  rtps::SequenceNumber next_sequence_;
  std::map<rtps::GuidPrefix, LivelinessEntry> liveliness_;  // at most max_tracked_participants
  rtps::GuidPrefix own_prefix_;
  rtps::VendorId vendor_id_;
  std::uint64_t undecodable_pulses_ = 0;
};

}  // namespace nimbrel::discovery
