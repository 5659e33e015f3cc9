#include "dcps/runtime/receive.hpp"

#include <optional>
#include <vector>

#include "dcps/builtin/secure_builtin.hpp"
#include "dcps/builtin/standard_type_lookup.hpp"
#include "dcps/builtin/type_lookup.hpp"
#include "dcps/discovery_events/apply.hpp"
#include "dcps/participant/metrics_feed.hpp"
#include "dcps/readers/user_receive.hpp"
#include "monitor/metric_groups.hpp"

namespace nimbrel::dcps {
namespace {

void handle_sedp(RuntimeState& state, const rtps::ReceivedDatagram& datagram, Elapsed now) {
  std::optional<discovery::SedpEvents> events;
  if (auto sedp = state.participant.sedp.lock()) events = (*sedp)->handle_datagram(datagram, now);
  if (events) on_sedp_events(state, *events);
}

void handle_wlp(RuntimeState& state, const rtps::ReceivedDatagram& datagram, Elapsed now) {
  if (auto wlp = state.participant.wlp.lock()) (*wlp)->handle_datagram(datagram, now);
}

// The receiver's own counts, added into the registry by the thread that owns it.
struct ReceiverFeeds {
  CounterFeed unknown{monitor::rtps_metrics().unknown_submessages};
  CounterFeed invalid{monitor::rtps_metrics().invalid_submessages};

  void update(const rtps::ReceiverCounters& counters) {
    unknown.update(counters.unknown_submessages);
    invalid.update(counters.invalid_submessages);
  }
};

// A participant that is heard is alive, whatever became of its announcements: any traffic renews
// its lease, as standard peers do, so that lost or late announcements under load never expire a
// live peer (and leave its reliable writers waiting on a reader we forgot). At most once a second
// per source and thread, so the hot path rarely takes the cache's lock.
constexpr Duration renewal_interval = std::chrono::seconds(1);
constexpr std::size_t max_renewal_entries = 256;

void renew_leases(RuntimeState& state, ReceiveThreadState& thread,
                  const rtps::ReceivedDatagram& datagram, Elapsed now) {
  const rtps::GuidPrefix* last_source = nullptr;
  for (const auto& received : datagram.submessages) {
    const rtps::GuidPrefix& source = received.state.source_prefix;
    if (last_source != nullptr && *last_source == source) continue;
    last_source = &source;
    auto it = thread.renewed.find(source);
    if (it != thread.renewed.end() && now - it->second < renewal_interval) continue;
    if (it == thread.renewed.end() && thread.renewed.size() >= max_renewal_entries) {
      thread.renewed.clear();
    }
    thread.renewed[source] = now;
    if (auto participants = state.participant.participants.lock())
      (*participants)->renew(source, now);
  }
}

void receive_loop(const std::shared_ptr<RuntimeState>& state, const transport::Transport& socket) {
  ReceiveThreadState thread(state->participant.prefix);
  ReceiverFeeds feeds;
  std::vector<transport::RawDatagram> batch;
  while (!state->stop.load(std::memory_order_acquire)) {
    const Elapsed now = state->participant.elapsed();
    batch.clear();
    // Time-outs included, errors only bring the stop check around.
    if (!socket.recv_batch(batch)) continue;
    // One reading serves the batch: every datagram in it was there when the call returned.
    const std::uint64_t reception_ns = wall_clock_now().unix_ns;
    for (const auto& received : batch)
      receive_datagram(*state, thread, received, now, reception_ns);
    feeds.update(thread.receiver.counters());
  }
}

}  // namespace

void dispatch_datagram(RuntimeState& state, const rtps::ReceivedDatagram& datagram, Elapsed now) {
  if (datagram.has(rtps::Consumer::Spdp)) handle_spdp(state, datagram, now);
  if (datagram.has(rtps::Consumer::Sedp)) handle_sedp(state, datagram, now);
  if (datagram.has(rtps::Consumer::Wlp)) handle_wlp(state, datagram, now);
  if (datagram.has(rtps::Consumer::TypeLookup)) {
    handle_type_lookup(state.participant, datagram);
    handle_standard_type_lookup(state.participant, datagram, now);
  }
  if (datagram.has(rtps::Consumer::SecureStateless) ||
      datagram.has(rtps::Consumer::SecureVolatile)) {
    handle_secure(state.participant, datagram, now);
  }
  if (datagram.has(rtps::Consumer::User)) {
    handle_user_datagram(state.readers, *state.participant.sockets.user_rx, datagram, now);
    handle_user_acknowledgements(state.participant, state.writers, datagram, now);
  }
}

void receive_datagram(RuntimeState& state, ReceiveThreadState& thread,
                      const transport::RawDatagram& datagram, Elapsed now,
                      std::uint64_t reception_ns) {
  rtps::ReceivedDatagram received = thread.receiver.receive(datagram.data);
  if (received.submessages.empty()) return;
  received.source = datagram.source;
  received.reception_ns = reception_ns;
  renew_leases(state, thread, received, now);
  dispatch_datagram(state, received, now);
}

void recv_spdp_multicast_loop(const std::shared_ptr<RuntimeState>& state) {
  receive_loop(state, *state->participant.sockets.spdp_multicast_rx);
}

void recv_metatraffic_loop(const std::shared_ptr<RuntimeState>& state) {
  receive_loop(state, *state->participant.sockets.metatraffic_rx);
}

void recv_user_loop(const std::shared_ptr<RuntimeState>& state) {
  receive_loop(state, *state->participant.sockets.user_rx);
}

}  // namespace nimbrel::dcps
