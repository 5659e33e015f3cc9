#include "discovery/wlp.hpp"

#include <variant>

#include "discovery/detail/participant_datagram.hpp"
#include "foundation/fatal.hpp"
#include "foundation/saturating.hpp"
#include "rtps/participant_message_data.hpp"
#include "rtps/submessages.hpp"

namespace nimbrel::discovery {

namespace {

Elapsed add_or_die(Elapsed at, Duration period) {
  Duration::rep sum = 0;
  if (__builtin_add_overflow(at.since_start.count(), period.count(), &sum)) {
    fatal("overflow when adding durations");
  }
  return Elapsed{Duration(sum)};
}

constexpr rtps::GuidPrefix unknown_prefix{};

}  // namespace

Duration wlp_pulse_period(Duration liveliness_period, Duration lease_duration) {
  if (liveliness_period != Duration::zero()) return liveliness_period;
  return lease_duration / 3;
}

WlpEndpoint::WlpEndpoint(rtps::GuidPrefix own_prefix, Duration pulse_period,
                         rtps::VendorId vendor_id, rtps::SequenceNumber first_sequence)
    : pulse_period_(pulse_period),
      next_sequence_(first_sequence),
      own_prefix_(own_prefix),
      vendor_id_(vendor_id) {}

CodecResult<std::optional<std::vector<std::byte>>> WlpEndpoint::tick(Elapsed now) {
  if (!pending_.empty()) {
    const WlpPulse pulse = std::move(pending_.front());
    pending_.pop_front();
    auto datagram = encode_pulse(pulse);
    if (!datagram) return std::unexpected(datagram.error());
    return std::move(*datagram);
  }
  if (pulse_period_ == Duration::zero() || now < next_pulse_due_) return std::nullopt;
  auto datagram = encode_pulse(WlpPulse{});
  if (!datagram) return std::unexpected(datagram.error());
  next_pulse_due_ = add_or_die(now, pulse_period_);
  return std::move(*datagram);
}

CodecResult<std::vector<std::byte>> WlpEndpoint::encode_pulse(const WlpPulse& pulse) {
  const rtps::ParticipantMessageData message{
      .participant_guid = {own_prefix_, rtps::entity_ids::participant},
      .kind = pulse.kind,
      .data = pulse.data,
  };
  auto payload = rtps::encode_bytes(message, /*little_endian=*/true);
  if (!payload) return std::unexpected(payload.error());
  rtps::DataSubmessage submessage;
  submessage.reader_id = rtps::entity_ids::participant_message_reader;
  submessage.writer_id = rtps::entity_ids::participant_message_writer;
  submessage.serialized_payload = SharedBytes::adopt(std::move(*payload));
  return detail::participant_datagram(own_prefix_, vendor_id_, next_sequence_,
                                      std::move(submessage), "wlp sequence overflow");
}

bool WlpEndpoint::handle_datagram(const rtps::ReceivedDatagram& datagram, Elapsed now) {
  bool changed = false;
  for (const auto& received : datagram.submessages) {
    if (received.consumer != rtps::Consumer::Wlp) continue;
    const auto* data = std::get_if<rtps::DataSubmessage>(&received.body);
    if (data == nullptr || data->writer_id != rtps::entity_ids::participant_message_writer) {
      continue;
    }
    auto message = rtps::decode_bytes<rtps::ParticipantMessageData>(data->serialized_payload, true);
    if (!message) {
      saturating_increment(undecodable_pulses_);
      continue;
    }
    // Some writers leave the prefix zero and rely on the message source to name them.
    const auto& payload_prefix = message->participant_guid.prefix;
    const auto& prefix =
        payload_prefix == unknown_prefix ? received.state.source_prefix : payload_prefix;
    const LivelinessEntry entry{now, message->kind};
    if (auto it = liveliness_.find(prefix); it != liveliness_.end()) {
      it->second = entry;
    } else if (liveliness_.size() < max_tracked_participants) {
      liveliness_.emplace(prefix, entry);
    } else {
      continue;
    }
    changed = true;
  }
  return changed;
}

}  // namespace nimbrel::discovery
