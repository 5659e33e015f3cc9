// Where what the discovery stacks report is acted upon, in one place: participants announced or
// gone, endpoints announced or disposed. Each component is locked on its own, one after the
// other, and released before the next.
#pragma once

#include "dcps/discovery_events/targets.hpp"
#include "discovery/sedp/stack.hpp"
#include "foundation/time.hpp"
#include "rtps/receiver.hpp"

namespace nimbrel::dcps {

// Lets go of the participants that said goodbye, records those announced in the datagram and
// starts endpoint discovery with new ones. Our own announcement, looped back by multicast,
// changes nothing.
void handle_spdp(EventTargets targets, const rtps::ReceivedDatagram& datagram, Elapsed now);

// Where the endpoints discovered by one datagram are acted upon: an event with at least one
// endpoint matches every local user reader against the cache again and feeds the builtin topics.
void on_sedp_events(EventTargets targets, const discovery::SedpEvents& events);

}  // namespace nimbrel::dcps
