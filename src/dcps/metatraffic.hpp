// The receive paths of discovery traffic: the SPDP multicast thread and the metatraffic unicast
// thread. Every datagram is offered to each handler (SPDP, SEDP, writer liveliness), and each
// ignores what is not addressed to it. Handlers take one component lock at a time.
#pragma once

#include <memory>

#include "dcps/runtime_state.hpp"
#include "discovery/sedp/stack.hpp"
#include "foundation/shared_bytes.hpp"
#include "foundation/time.hpp"

namespace nimbrel::dcps {

// Records a remote participant's announcement and starts endpoint discovery with a new one. Our
// own announcement, looped back by multicast, and datagrams without SPDP data change nothing.
void handle_spdp_datagram(RuntimeState& state, const SharedBytes& datagram);

// Offers one metatraffic unicast datagram to SPDP, SEDP and writer liveliness.
void handle_metatraffic_datagram(RuntimeState& state, const SharedBytes& datagram, Elapsed now);

// Where the endpoints discovered by one datagram are acted upon: an event with at least one
// endpoint matches every local user reader against the cache again. Builtin-topic samples would
// attach here too.
void on_sedp_events(RuntimeState& state, const discovery::SedpEvents& events);

// Thread bodies; each returns at the first turn that finds the stop flag set.
void recv_spdp_multicast_loop(const std::shared_ptr<RuntimeState>& state);
void recv_metatraffic_loop(const std::shared_ptr<RuntimeState>& state);

}  // namespace nimbrel::dcps
