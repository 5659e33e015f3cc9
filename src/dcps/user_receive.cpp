#include "dcps/user_receive.hpp"

namespace nimbrel::dcps {

void handle_user_datagram(RuntimeState& state, const SharedBytes& datagram, Elapsed now) {
  static_cast<void>(state);
  static_cast<void>(datagram);
  static_cast<void>(now);
}

void recv_user_loop(const std::shared_ptr<RuntimeState>& state) {
  while (!state->stop.load(std::memory_order_acquire)) {
    const Elapsed now = state->elapsed();
    auto received = state->sockets.user_rx->recv();
    if (!received) continue;  // time-outs included: they only bring the stop check around
    // Type lookup requests and replies are taken out before this once that service runs.
    handle_user_datagram(*state, received->data, now);
  }
}

}  // namespace nimbrel::dcps
