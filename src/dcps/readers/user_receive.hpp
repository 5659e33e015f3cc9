// The user half of the receive path: DATA, DATA_FRAG, GAP and HEARTBEAT of remote writers, sent
// to the participant's default unicast locator, go to the local user readers; ACKNACK and
// NACK_FRAG of remote readers go to the local user writers.
#pragma once

#include "dcps/runtime/runtime_state.hpp"
#include "foundation/time.hpp"
#include "rtps/receiver.hpp"

namespace nimbrel::dcps {

// The user submessages of a received datagram go to the addressed user reader, or, addressed to
// no reader, to every user reader matched with the sending writer; released samples are
// delivered, and the acknowledgements a HEARTBEAT calls for are sent at once.
void handle_user_datagram(RuntimeState& state, const rtps::ReceivedDatagram& datagram, Elapsed now);

}  // namespace nimbrel::dcps
