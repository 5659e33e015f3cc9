#include "dcps/runtime/goodbye.hpp"

#include <optional>
#include <vector>

#include "dcps/participant/outbound.hpp"
#include "dcps/runtime/tick_loop.hpp"

namespace nimbrel::dcps {
namespace {

// A lost goodbye costs a peer a whole lease; sending it twice is cheap.
constexpr int participant_goodbyes = 2;

std::vector<rtps::Guid> local_subscriptions(RuntimeState& state) {
  std::vector<rtps::Guid> out;
  for (const auto& [id, shared] : state.readers.slots.snapshot()) {
    if (auto slot = shared->lock()) out.push_back((*slot)->subscription.endpoint_guid);
  }
  return out;
}

std::vector<rtps::Guid> local_publications(RuntimeState& state) {
  std::vector<rtps::Guid> out;
  for (const auto& [id, shared] : state.writers.slots.snapshot()) {
    if (auto slot = shared->lock()) out.push_back((*slot)->publication.endpoint_guid);
  }
  return out;
}

// The SPDP group and every known participant's metatraffic locator, in case multicast is lost.
std::vector<rtps::Locator> goodbye_destinations(RuntimeState& state) {
  std::vector<rtps::Locator> out{spdp_destination(state.participant)};
  if (auto participants = state.participant.participants.lock()) {
    for (const auto& [prefix, participant] : (*participants)->entries()) {
      const auto& locator = participant.data.metatraffic_unicast_locator;
      if (locator && locator->kind == rtps::locator_kind::udp_v4) out.push_back(*locator);
    }
  }
  return out;
}

}  // namespace

void say_goodbye(RuntimeState& state) {
  const auto subscriptions = local_subscriptions(state);
  const auto publications = local_publications(state);
  std::vector<rtps::OutboundDatagram> sedp_goodbyes;
  if (auto sedp = state.participant.sedp.lock()) {
    if (auto out = (*sedp)->announce_subscriptions_gone(subscriptions)) {
      sedp_goodbyes = std::move(*out);
    }
    if (auto out = (*sedp)->announce_publications_gone(publications)) {
      sedp_goodbyes.insert(sedp_goodbyes.end(), out->begin(), out->end());
    }
  }
  send_to_udp_v4_destinations(*state.participant.sockets.multicast_tx, sedp_goodbyes);

  const auto destinations =
      std::make_shared<const std::vector<rtps::Locator>>(goodbye_destinations(state));
  std::vector<rtps::OutboundDatagram> spdp_goodbyes;
  if (auto beacon = state.participant.beacon.lock()) {
    for (int i = 0; i < participant_goodbyes; ++i) {
      if (auto bytes = (*beacon)->serialize_goodbye()) {
        spdp_goodbyes.push_back({std::move(*bytes), destinations});
      }
    }
  }
  send_to_udp_v4_destinations(*state.participant.sockets.multicast_tx, spdp_goodbyes);
}

}  // namespace nimbrel::dcps
