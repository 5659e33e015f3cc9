#include "dcps/builtin/secure_builtin.hpp"

#include <utility>
#include <vector>

#include "dcps/participant/outbound.hpp"

namespace nimbrel::dcps {

void secure_on_participant_discovered(Participant& participant,
                                      const discovery::DiscoveredParticipant& remote) {
  if (!participant.secure) return;
  if (auto stack = participant.secure->lock()) (*stack)->handle_remote_endpoints(remote);
}

void secure_on_participants_removed(Participant& participant,
                                    const std::set<rtps::GuidPrefix>& gone) {
  if (!participant.secure || gone.empty()) return;
  if (auto stack = participant.secure->lock()) (*stack)->on_participants_removed(gone);
}

void handle_secure(Participant& participant, const rtps::ReceivedDatagram& datagram, Elapsed now) {
  if (!participant.secure) return;
  if (auto stack = participant.secure->lock())
    static_cast<void>((*stack)->handle_datagram(datagram, now));
}

void tick_secure(Participant& participant, Elapsed now) {
  if (!participant.secure) return;
  std::vector<rtps::OutboundDatagram> datagrams;
  if (auto stack = participant.secure->lock()) {
    if (auto polled = (*stack)->poll(now)) datagrams = std::move(*polled);
  }
  send_to_udp_v4_destinations(*participant.sockets.multicast_tx, datagrams);
}

}  // namespace nimbrel::dcps
