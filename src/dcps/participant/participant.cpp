#include "dcps/participant/participant.hpp"

#include <utility>

namespace nimbrel::dcps {

Participant::Participant(std::uint32_t domain_id_in, const rtps::GuidPrefix& prefix_in,
                         RuntimeConfig config_in, RuntimeSockets sockets_in,
                         const rtps::ParticipantBuiltinTopicData& local_participant_in,
                         MonoInstant start_instant_in)
    : domain_id(domain_id_in),
      prefix(prefix_in),
      config(std::move(config_in)),
      sockets(std::move(sockets_in)),
      local_participant(local_participant_in),
      start_instant(start_instant_in),
      beacon(std::in_place, discovery::SpdpBeacon{.data = local_participant_in}),
      participants(std::in_place, config.max_participants),
      sedp(std::in_place, prefix_in, rtps::nimbrel_vendor_id),
      wlp(std::in_place, prefix_in,
          discovery::wlp_pulse_period(config.liveliness_period, config.lease_duration)),
      type_lookup_server(std::in_place, prefix_in),
      type_lookup_client(std::in_place, prefix_in),
      type_lookup_endpoints(std::in_place, prefix_in, rtps::nimbrel_vendor_id,
                            config.max_participants),
      type_exchange(std::in_place, prefix_in),
      secure(config.secure_builtin_endpoints
                 ? std::make_shared<Guarded<discovery::SecurityBuiltinStack>>(
                       std::in_place, prefix_in, rtps::nimbrel_vendor_id)
                 : nullptr) {}

}  // namespace nimbrel::dcps
