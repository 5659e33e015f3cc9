#include "discovery/spdp.hpp"

#include <algorithm>
#include <limits>
#include <variant>

#include "discovery/detail/participant_datagram.hpp"
#include "foundation/saturating.hpp"
#include "rtps/lifecycle.hpp"
#include "rtps/submessages.hpp"

namespace nimbrel::discovery {

namespace {

constexpr std::uint64_t spdp_port_base = 7400;
constexpr std::uint64_t spdp_domain_gain = 250;
constexpr std::uint64_t max_udp_port = 65535;
constexpr std::int64_t ns_per_second = 1'000'000'000;

// An infinite lease (DDSI-RTPS 2.5 section 9.3.2) never runs out.
Elapsed lease_deadline(Elapsed now, rtps::RtpsDuration lease) {
  if (lease.seconds == std::numeric_limits<std::int32_t>::max()) {
    return Elapsed{Duration::max()};
  }
  const std::int64_t seconds = std::max(lease.seconds, std::int32_t{0});
  const auto fraction_ns =
      static_cast<std::int64_t>((std::uint64_t{lease.fraction} * ns_per_second) >> 32);
  return now + Duration(seconds * ns_per_second + fraction_ns);
}

CodecResult<std::vector<std::byte>> beacon_datagram(SpdpBeacon& beacon, rtps::DataSubmessage data) {
  data.reader_id = rtps::entity_ids::spdp_reader;
  data.writer_id = rtps::entity_ids::spdp_writer;
  return detail::participant_datagram(beacon.data.participant_guid.prefix, beacon.vendor_id,
                                      beacon.next_sequence, std::move(data),
                                      "spdp beacon sequence overflow");
}

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

CodecResult<std::vector<std::byte>> SpdpBeacon::serialize() {
  saturating_increment(announcements);
  rtps::DataSubmessage announcement;
  announcement.serialized_payload = SharedBytes::adopt(rtps::encode_bytes(data, true));
  return beacon_datagram(*this, std::move(announcement));
}

CodecResult<std::vector<std::byte>> SpdpBeacon::serialize_goodbye() {
  return beacon_datagram(*this,
                         rtps::builtin_goodbye(rtps::pid::participant_guid, data.participant_guid));
}

std::string to_string(const SpdpError& error) {
  switch (error.kind) {
    case SpdpError::Kind::Wire:
      return nimbrel::to_string(error.wire);
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
  auto participant =
      rtps::decode_bytes<rtps::ParticipantBuiltinTopicData>(data.serialized_payload, true);
  if (!participant) return std::unexpected(SpdpError::from(participant.error()));
  return DiscoveredParticipant{std::move(*participant), state.source_prefix,
                               state.source_vendor_id};
}

SpdpEvents SpdpReader::read(const rtps::ReceivedDatagram& datagram) {
  SpdpEvents events;
  for (const auto& received : datagram.submessages) {
    if (received.consumer != rtps::Consumer::Spdp) continue;
    const auto* data = std::get_if<rtps::DataSubmessage>(&received.body);
    if (data == nullptr || data->writer_id != rtps::entity_ids::spdp_writer) continue;
    if (rtps::change_kind_of(*data) != rtps::change_kind::alive) {
      if (auto prefix = departed_participant(*data)) events.departed.push_back(*prefix);
      continue;
    }
    auto participant = parse(received.state, *data);
    if (participant) {
      events.announced.push_back(std::move(*participant));
    } else {
      saturating_increment(events.undecodable);
    }
  }
  return events;
}

DiscoveredParticipantsCache::Insert DiscoveredParticipantsCache::insert(
    DiscoveredParticipant participant, Elapsed now) {
  const auto key = participant.data.participant_guid.prefix;
  const Elapsed deadline = lease_deadline(now, participant.data.lease_duration);
  auto it = entries_.find(key);
  if (it == entries_.end() && entries_.size() >= max_participants_) {
    saturating_increment(refused_);
    return Insert::Refused;
  }
  const bool is_new = it == entries_.end();
  if (is_new) {
    entries_.emplace(key, std::move(participant));
  } else {
    it->second = std::move(participant);
    deadlines_.erase({deadline_of_[key], key});
  }
  deadlines_.insert({deadline, key});
  deadline_of_[key] = deadline;
  return is_new ? Insert::New : Insert::Refreshed;
}

bool DiscoveredParticipantsCache::renew(const rtps::GuidPrefix& prefix, Elapsed now) {
  auto entry = entries_.find(prefix);
  if (entry == entries_.end()) return false;
  Elapsed& deadline = deadline_of_[prefix];
  deadlines_.erase({deadline, prefix});
  deadline = lease_deadline(now, entry->second.data.lease_duration);
  deadlines_.insert({deadline, prefix});
  return true;
}

bool DiscoveredParticipantsCache::erase(const rtps::GuidPrefix& prefix) {
  auto deadline = deadline_of_.find(prefix);
  if (deadline == deadline_of_.end()) return false;
  deadlines_.erase({deadline->second, prefix});
  deadline_of_.erase(deadline);
  entries_.erase(prefix);
  return true;
}

std::vector<rtps::GuidPrefix> DiscoveredParticipantsCache::expire(Elapsed now) {
  std::vector<rtps::GuidPrefix> expired;
  while (!deadlines_.empty() && deadlines_.begin()->first < now) {
    const rtps::GuidPrefix prefix = deadlines_.begin()->second;
    deadlines_.erase(deadlines_.begin());
    deadline_of_.erase(prefix);
    entries_.erase(prefix);
    expired.push_back(prefix);
  }
  return expired;
}

std::optional<rtps::GuidPrefix> departed_participant(const rtps::DataSubmessage& data) {
  if (data.writer_id != rtps::entity_ids::spdp_writer) return std::nullopt;
  if (rtps::change_kind_of(data) == rtps::change_kind::alive) return std::nullopt;
  const auto participant = rtps::builtin_instance(rtps::key_hash_of(data), data.serialized_payload,
                                                  rtps::pid::participant_guid);
  if (!participant) return std::nullopt;
  return participant->prefix;
}

const DiscoveredParticipant* DiscoveredParticipantsCache::find(
    const rtps::GuidPrefix& prefix) const {
  const auto it = entries_.find(prefix);
  return it == entries_.end() ? nullptr : &it->second;
}

std::vector<rtps::Locator> builtin_endpoint_locators(
    const rtps::ParticipantBuiltinTopicData& data) {
  if (data.metatraffic_unicast_locator) return {*data.metatraffic_unicast_locator};
  if (data.default_unicast_locator) return {*data.default_unicast_locator};
  return {};
}

}  // namespace nimbrel::discovery
