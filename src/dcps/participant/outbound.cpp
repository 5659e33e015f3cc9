#include "dcps/participant/outbound.hpp"

namespace nimbrel::dcps {

void send_to_udp_v4_destinations(const transport::Transport& transport,
                                 std::span<const rtps::OutboundDatagram> datagrams) {
  for (const auto& datagram : datagrams) {
    if (!datagram.destinations) continue;
    for (const auto& destination : *datagram.destinations) {
      if (destination.kind != rtps::locator_kind::udp_v4) continue;
      static_cast<void>(transport.send(destination, datagram.bytes));
    }
  }
}

}  // namespace nimbrel::dcps
