// Sending what the protocol objects produced: each datagram to each of its UDPv4 destinations.
// Callers send only after releasing the lock that produced the datagrams. A failed send loses that
// datagram; the reliable endpoints repeat what matters on later ticks.
#pragma once

#include <span>

#include "rtps/wire_types.hpp"
#include "transport/transport.hpp"

namespace nimbrel::dcps {

// Destinations of other kinds are skipped; send errors are ignored.
void send_to_udp_v4_destinations(const transport::Transport& transport,
                                 std::span<const rtps::OutboundDatagram> datagrams);

}  // namespace nimbrel::dcps
