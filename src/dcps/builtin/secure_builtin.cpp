#include "dcps/builtin/secure_builtin.hpp"

#include <utility>
#include <vector>

#include "dcps/participant/outbound.hpp"

namespace nimbrel::dcps {

void secure_on_participant_discovered(RuntimeState& state,
                                      const discovery::DiscoveredParticipant& participant) {
  if (!state.secure) return;
  if (auto stack = state.secure->lock()) (*stack)->handle_remote_endpoints(participant);
}

void secure_on_participants_removed(RuntimeState& state, const std::set<rtps::GuidPrefix>& gone) {
  if (!state.secure || gone.empty()) return;
  if (auto stack = state.secure->lock()) (*stack)->on_participants_removed(gone);
}

void handle_secure(RuntimeState& state, const rtps::ReceivedDatagram& datagram, Elapsed now) {
  if (!state.secure) return;
  if (auto stack = state.secure->lock())
    static_cast<void>((*stack)->handle_datagram(datagram, now));
}

void tick_secure(RuntimeState& state, Elapsed now) {
  if (!state.secure) return;
  std::vector<rtps::OutboundDatagram> datagrams;
  if (auto stack = state.secure->lock()) {
    if (auto polled = (*stack)->poll(now)) datagrams = std::move(*polled);
  }
  send_to_udp_v4_destinations(*state.sockets.multicast_tx, datagrams);
}

}  // namespace nimbrel::dcps
