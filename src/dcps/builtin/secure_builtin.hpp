// The runtime's side of the secure builtin endpoints, present only with
// `secure_builtin_endpoints`: new participants are matched, routed submessages handed over, and
// the reliable endpoints polled on every tick. Each call takes only the stack's lock.
#pragma once

#include <set>

#include "dcps/participant/participant.hpp"
#include "discovery/spdp.hpp"
#include "foundation/time.hpp"
#include "rtps/receiver.hpp"

namespace nimbrel::dcps {

void secure_on_participant_discovered(Participant& participant,
                                      const discovery::DiscoveredParticipant& remote);
void secure_on_participants_removed(Participant& participant,
                                    const std::set<rtps::GuidPrefix>& gone);
// The decoded messages are not acted upon yet; the stack counts what did not decode.
void handle_secure(Participant& participant, const rtps::ReceivedDatagram& datagram, Elapsed now);
// Sends the heartbeats and acknowledgements due, after the lock is released.
void tick_secure(Participant& participant, Elapsed now);

}  // namespace nimbrel::dcps
