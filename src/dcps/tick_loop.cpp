#include "dcps/tick_loop.hpp"

#include <cerrno>
#include <ctime>
#include <optional>
#include <utility>
#include <vector>

#include "dcps/outbound.hpp"
#include "discovery/spdp.hpp"
#include "foundation/fatal.hpp"

namespace nimbrel::dcps {
namespace {

constexpr std::uint32_t fallback_spdp_port = 7400;
constexpr std::int64_t ns_per_second = 1'000'000'000;

// Resumes after a signal for the time that remains.
void pause_for(Duration period) {
  const auto ns = period.count() < 0 ? 0 : period.count();
  timespec remaining{.tv_sec = static_cast<std::time_t>(ns / ns_per_second),
                     .tv_nsec = static_cast<long>(ns % ns_per_second)};
  while (::nanosleep(&remaining, &remaining) != 0) {
    if (errno != EINTR) fatal("tick sleep failed");
  }
}

}  // namespace

rtps::Locator spdp_destination(const RuntimeState& state) {
  const auto port = discovery::spdp_multicast_port(state.domain_id).value_or(fallback_spdp_port);
  return rtps::Locator::udp_v4(state.config.spdp_multicast_group, port);
}

TickLoop::TickLoop(RuntimeState& state, MonoClock clock)
    : state_(state),
      clock_(std::move(clock)),
      spdp_destination_(spdp_destination(state)),
      next_announcement_(clock_()) {}

void TickLoop::tick() {
  const MonoInstant now = clock_();
  const Elapsed elapsed = state_.elapsed_since_start(now);
  const bool newcomer = state_.announce_soon.exchange(false, std::memory_order_acq_rel);
  if (now >= next_announcement_ || newcomer) announce_participant();
  tick_sedp(elapsed);
  tick_wlp(elapsed);
  // User writers and readers, and the deadline, lifespan and liveliness timers of user endpoints,
  // are ticked here once user endpoints exist.
}

void TickLoop::announce_participant() {
  std::optional<std::vector<std::byte>> announcement;
  if (auto beacon = state_.beacon.lock()) {
    if (auto bytes = (*beacon)->serialize()) announcement = std::move(*bytes);
  }
  if (announcement) {
    static_cast<void>(state_.sockets.multicast_tx->send(spdp_destination_, *announcement));
  }
  // A failed announcement waits for the next period, like a sent one.
  next_announcement_ = deadline_after(clock_(), state_.config.spdp_period);
}

void TickLoop::tick_sedp(Elapsed now) {
  std::vector<rtps::OutboundDatagram> datagrams;
  if (auto sedp = state_.sedp.lock()) {
    if (auto ticked = (*sedp)->tick(now)) datagrams = std::move(*ticked);
  }
  send_to_udp_v4_destinations(*state_.sockets.multicast_tx, datagrams);
}

void TickLoop::tick_wlp(Elapsed now) {
  std::optional<std::vector<std::byte>> pulse;
  if (auto wlp = state_.wlp.lock()) {
    if (auto ticked = (*wlp)->tick(now)) pulse = std::move(*ticked);
  }
  if (pulse) static_cast<void>(state_.sockets.multicast_tx->send(spdp_destination_, *pulse));
}

void tick_loop(const std::shared_ptr<RuntimeState>& state) {
  TickLoop loop(*state, [] { return std::chrono::steady_clock::now(); });
  while (!state->stop.load(std::memory_order_acquire)) {
    loop.tick();
    pause_for(state->config.tick_period);
  }
}

}  // namespace nimbrel::dcps
