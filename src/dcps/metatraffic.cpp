#include "dcps/metatraffic.hpp"

#include <optional>

#include "dcps/matching.hpp"

namespace nimbrel::dcps {
namespace {

void record_liveliness(RuntimeState& state, const SharedBytes& datagram, Elapsed now) {
  if (auto wlp = state.wlp.lock()) {
    // Datagrams that are no liveliness pulse are expected here; their errors mean nothing.
    static_cast<void>((*wlp)->handle_datagram(datagram, now));
  }
}

}  // namespace

void handle_spdp_datagram(RuntimeState& state, const SharedBytes& datagram) {
  auto parsed = discovery::SpdpReader::parse_datagram(datagram);
  if (!parsed) return;
  if (parsed->sender_prefix == state.prefix) return;

  std::optional<discovery::DiscoveredParticipant> is_new;
  if (auto participants = state.participants.lock()) {
    if ((*participants)->insert(*parsed)) is_new = std::move(*parsed);
  }
  // The cache lock is released before the stack is locked: never two component locks at once.
  if (is_new) {
    if (auto sedp = state.sedp.lock()) (*sedp)->on_participant_discovered(*is_new);
    state.announce_soon.store(true, std::memory_order_release);
  }
  // The secure builtin stack and the builtin participant topic, once they exist, take the
  // participant from here as well.
}

void on_sedp_events(RuntimeState& state, const discovery::SedpEvents& events) {
  if (events.publications.empty() && events.subscriptions.empty()) return;
  // Every reader again: a writer skipped earlier for want of its participant's locator may be
  // matchable now. No local user writers exist, so subscriptions match nothing here.
  match_local_readers_against_cache(state);
}

void handle_metatraffic_datagram(RuntimeState& state, const SharedBytes& datagram, Elapsed now) {
  handle_spdp_datagram(state, datagram);

  std::optional<discovery::SedpEvents> events;
  if (auto sedp = state.sedp.lock()) {
    if (auto handled = (*sedp)->handle_datagram(datagram, now)) events = std::move(*handled);
  }
  if (events) on_sedp_events(state, *events);

  record_liveliness(state, datagram, now);
}

void recv_spdp_multicast_loop(const std::shared_ptr<RuntimeState>& state) {
  while (!state->stop.load(std::memory_order_acquire)) {
    const Elapsed now = state->elapsed();
    auto received = state->sockets.spdp_multicast_rx->recv();
    if (!received) continue;  // time-outs included: they only bring the stop check around
    handle_spdp_datagram(*state, received->data);
    record_liveliness(*state, received->data, now);
  }
}

void recv_metatraffic_loop(const std::shared_ptr<RuntimeState>& state) {
  while (!state->stop.load(std::memory_order_acquire)) {
    const Elapsed now = state->elapsed();
    auto received = state->sockets.metatraffic_rx->recv();
    if (!received) continue;
    handle_metatraffic_datagram(*state, received->data, now);
  }
}

}  // namespace nimbrel::dcps
