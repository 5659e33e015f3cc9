#include "discovery/spdp.hpp"

#include <algorithm>
#include <limits>
#include <variant>

#include "foundation/saturating.hpp"
#include "rtps/submessages.hpp"

namespace nimbrel::discovery {

namespace {

constexpr std::uint64_t spdp_port_base = 7400;
constexpr std::uint64_t spdp_domain_gain = 250;
constexpr std::uint64_t max_udp_port = 65535;
constexpr std::int64_t ns_per_second = 1'000'000'000;

}  // namespace

std::optional<std::uint32_t> spdp_multicast_port(std::uint32_t domain_id) {
  // In 64 bits, so that no domain id can wrap around into a valid port.
  const std::uint64_t port = spdp_port_base + spdp_domain_gain * domain_id;
  if (port > max_udp_port) return std::nullopt;
  return static_cast<std::uint32_t>(port);
}

rtps::RtpsDuration to_rtps_duration(Duration duration) {
  const std::int64_t ns = duration.count() < 0 ? 0 : duration.count();
  const std::int64_t seconds = ns / ns_per_second;
  const auto sub_second = static_cast<std::uint64_t>(ns % ns_per_second);
  constexpr std::int64_t max_seconds = std::numeric_limits<std::int32_t>::max();
  return rtps::RtpsDuration{
      .seconds = static_cast<std::int32_t>(std::min(seconds, max_seconds)),
      // Below 2^30 * 2^32, so the product fits in 64 bits.
      .fraction = static_cast<std::uint32_t>((sub_second << 32) / ns_per_second),
  };
}

rtps::ParticipantBuiltinTopicData local_participant_data(const LocalParticipant& local) {
  rtps::ParticipantBuiltinTopicData data;
  data.participant_guid = rtps::Guid{local.prefix, rtps::entity_ids::participant};
  data.protocol_version = rtps::protocol_version_2_5;
  data.vendor_id = rtps::nimbrel_vendor_id;
  data.domain_id = local.domain_id;
  data.default_unicast_locator = local.default_unicast;
  data.metatraffic_unicast_locator = local.metatraffic_unicast;
  data.metatraffic_multicast_locator =
      rtps::Locator::udp_v4(local.spdp_multicast_group, local.spdp_port);
  data.lease_duration = to_rtps_duration(local.lease_duration);
  data.builtin_endpoint_set =
      local.secure_builtin_endpoints ? builtin_endpoints_secure : builtin_endpoints_plain;
  data.user_data = local.user_data;
  return data;
}

rtps::WireResult<std::vector<std::byte>> SpdpBeacon::serialize() {
  saturating_increment(announcements);
  auto payload = data.to_pl_cdr_le();
  if (next_sequence == std::numeric_limits<rtps::SequenceNumber>::max()) {
    return std::unexpected(rtps::WireError::malformed("spdp beacon sequence overflow"));
  }
  rtps::DataSubmessage announcement;
  announcement.reader_id = rtps::entity_ids::spdp_reader;
  announcement.writer_id = rtps::entity_ids::spdp_writer;
  announcement.writer_sn = next_sequence++;
  announcement.serialized_payload = SharedBytes::adopt(std::move(payload));
  return rtps::encode_data_datagram(data.participant_guid.prefix, rtps::protocol_version_2_5,
                                    vendor_id, std::span(&announcement, 1));
}

std::string to_string(const SpdpError& error) {
  switch (error.kind) {
    case SpdpError::Kind::Wire:
      return rtps::to_string(error.wire);
    case SpdpError::Kind::NoParticipantData:
      break;
  }
  return "datagram holds no SPDP participant data";
}

std::expected<DiscoveredParticipant, SpdpError> SpdpReader::parse(
    const rtps::ReceiverState& state, const rtps::DataSubmessage& data) {
  if (data.writer_id != rtps::entity_ids::spdp_writer) {
    return std::unexpected(SpdpError::no_participant_data());
  }
  auto participant = rtps::ParticipantBuiltinTopicData::from_pl_cdr_le(data.serialized_payload);
  if (!participant) return std::unexpected(SpdpError::from(participant.error()));
  return DiscoveredParticipant{std::move(*participant), state.source_prefix,
                               state.source_vendor_id};
}

std::vector<DiscoveredParticipant> SpdpReader::participants_in(
    const rtps::ReceivedDatagram& datagram, std::uint64_t& undecodable) {
  std::vector<DiscoveredParticipant> found;
  for (const auto& received : datagram.submessages) {
    if (received.consumer != rtps::Consumer::Spdp) continue;
    const auto* data = std::get_if<rtps::DataSubmessage>(&received.body);
    if (data == nullptr || data->writer_id != rtps::entity_ids::spdp_writer) continue;
    auto participant = parse(received.state, *data);
    if (participant) {
      found.push_back(std::move(*participant));
    } else {
      saturating_increment(undecodable);
    }
  }
  return found;
}

bool DiscoveredParticipantsCache::insert(DiscoveredParticipant participant) {
  const auto key = participant.data.participant_guid.prefix;
  auto [it, inserted] = entries_.try_emplace(key, std::move(participant));
  if (!inserted) it->second = std::move(participant);
  return inserted;
}

const DiscoveredParticipant* DiscoveredParticipantsCache::find(
    const rtps::GuidPrefix& prefix) const {
  const auto it = entries_.find(prefix);
  return it == entries_.end() ? nullptr : &it->second;
}

}  // namespace nimbrel::discovery
