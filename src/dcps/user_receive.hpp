// The receive path of user traffic: the thread on the user unicast socket, whose locator is
// announced as the participant's default unicast locator. Remote writers send their samples and
// heartbeats here; local user readers are what they are delivered to.
#pragma once

#include <memory>

#include "dcps/runtime_state.hpp"
#include "foundation/shared_bytes.hpp"
#include "foundation/time.hpp"

namespace nimbrel::dcps {

// DATA, DATA_FRAG, GAP and HEARTBEAT go to the addressed user reader, or, addressed to no reader,
// to every user reader matched with the sending writer; released samples are delivered, and the
// acknowledgements a HEARTBEAT calls for are sent at once. Anything malformed or unknown is
// dropped.
void handle_user_datagram(RuntimeState& state, const SharedBytes& datagram, Elapsed now);

// Thread body; returns at the first turn that finds the stop flag set.
void recv_user_loop(const std::shared_ptr<RuntimeState>& state);

}  // namespace nimbrel::dcps
