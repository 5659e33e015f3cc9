// Listens on domain 0's SPDP multicast port for the announcements of other participants: a peer
// that has announced itself is up. Create it before starting the peers, which announce at once and
// then only every few seconds.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <set>

#include "discovery/spdp.hpp"
#include "rtps/wire_types.hpp"
#include "transport/udp_transport.hpp"

namespace nimbrel::testing {

class SpdpWatch {
 public:
  SpdpWatch() {
    auto bound = transport::UdpTransport::bind_multicast_v4(discovery::default_spdp_multicast_group,
                                                            7400, {0, 0, 0, 0});
    if (!bound) return;
    if (auto timed = std::move(*bound).with_timeout(std::chrono::seconds(1))) {
      socket_.emplace(std::move(*timed));
    }
  }

  // True once `count` distinct participants have announced themselves, within `limit`.
  bool wait_for(std::size_t count, std::chrono::steady_clock::duration limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (socket_ && announced_.size() < count && std::chrono::steady_clock::now() < deadline) {
      if (auto received = socket_->recv()) {
        const auto events = discovery::SpdpReader::read(rtps::Receiver({}).receive(received->data));
        for (const auto& participant : events.announced) {
          announced_.insert(participant.sender_prefix);
        }
      }
    }
    return announced_.size() >= count;
  }

 private:
  std::optional<transport::UdpTransport> socket_;
  std::set<rtps::GuidPrefix> announced_;
};

}  // namespace nimbrel::testing
