// The unicast locators a participant announces: a socket bound to 0.0.0.0 is announced with the
// address of the interface that routes outward, so that peers on other hosts can reach it; a
// host without such a route falls back to the configured interface or loopback.
#pragma once

#include "rtps/wire_types.hpp"
#include "transport/udp_transport.hpp"

namespace nimbrel::dcps {

// `local` is what the socket was bound to; the port is always kept.
rtps::Locator announce_locator(const rtps::Locator& local, transport::Ipv4Address interface);

}  // namespace nimbrel::dcps
