// The runtime's side of the secure builtin endpoints, present only with
// `secure_builtin_endpoints`: new participants are matched, routed submessages handed over, and
// the reliable endpoints polled on every tick. Each call takes only the stack's lock.
#pragma once

#include <set>

#include "dcps/runtime/runtime_state.hpp"
#include "discovery/spdp.hpp"
#include "foundation/time.hpp"
#include "rtps/receiver.hpp"

namespace nimbrel::dcps {

void secure_on_participant_discovered(RuntimeState& state,
                                      const discovery::DiscoveredParticipant& participant);
void secure_on_participants_removed(RuntimeState& state, const std::set<rtps::GuidPrefix>& gone);
// The decoded messages are not acted upon yet; the stack counts what did not decode.
void handle_secure(RuntimeState& state, const rtps::ReceivedDatagram& datagram, Elapsed now);
// Sends the heartbeats and acknowledgements due, after the lock is released.
void tick_secure(RuntimeState& state, Elapsed now);

}  // namespace nimbrel::dcps
