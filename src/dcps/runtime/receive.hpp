// The receive path of all three receive threads. Each thread owns a receiver that decodes every
// datagram once; the submessages then go, one component lock at a time, to the consumers that own
// their entity ids: SPDP, SEDP, writer liveliness, the type lookup service and the user readers,
// whatever socket brought them. The secure builtin endpoints get their place beside them.
#pragma once

#include <map>
#include <memory>

#include "dcps/runtime/runtime_state.hpp"
#include "discovery/sedp/stack.hpp"
#include "foundation/shared_bytes.hpp"
#include "foundation/time.hpp"
#include "rtps/receiver.hpp"
#include "transport/transport.hpp"

namespace nimbrel::dcps {

// Every consumer in turn, each under its own lock, released before the next.
void dispatch_datagram(RuntimeState& state, const rtps::ReceivedDatagram& datagram, Elapsed now);

// What one receive thread keeps between datagrams.
struct ReceiveThreadState {
  explicit ReceiveThreadState(const rtps::GuidPrefix& own) : receiver(own) {}

  rtps::Receiver receiver;
  // When each source last renewed its participant's lease from this thread; cleared when full.
  std::map<rtps::GuidPrefix, Elapsed> renewed{};
};

// Decodes once with the thread's receiver, renews the lease of the participants heard, then
// dispatches. `reception_ns` is the wall-clock time of its arrival.
void receive_datagram(RuntimeState& state, ReceiveThreadState& thread,
                      const transport::RawDatagram& datagram, Elapsed now,
                      std::uint64_t reception_ns = 0);

// Thread bodies; each returns at the first turn that finds the stop flag set.
void recv_spdp_multicast_loop(const std::shared_ptr<RuntimeState>& state);
void recv_metatraffic_loop(const std::shared_ptr<RuntimeState>& state);
void recv_user_loop(const std::shared_ptr<RuntimeState>& state);

}  // namespace nimbrel::dcps
