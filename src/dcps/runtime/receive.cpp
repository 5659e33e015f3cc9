#include "dcps/runtime/receive.hpp"

#include <algorithm>
#include <optional>
#include <set>
#include <vector>

#include "dcps/builtin/builtin_delivery.hpp"
#include "dcps/discovery_events/departures.hpp"
#include "dcps/readers/reader_matching.hpp"
#include "dcps/participant/metrics_feed.hpp"
#include "dcps/builtin/secure_builtin.hpp"
#include "dcps/runtime/type_lookup.hpp"
#include "dcps/readers/user_receive.hpp"
#include "dcps/writers/writer_matching.hpp"
#include "monitor/metric_groups.hpp"

namespace nimbrel::dcps {
namespace {

void handle_sedp(RuntimeState& state, const rtps::ReceivedDatagram& datagram, Elapsed now) {
  std::optional<discovery::SedpEvents> events;
  if (auto sedp = state.sedp.lock()) events = (*sedp)->handle_datagram(datagram, now);
  if (events) on_sedp_events(state, *events);
}

void handle_wlp(RuntimeState& state, const rtps::ReceivedDatagram& datagram, Elapsed now) {
  if (auto wlp = state.wlp.lock()) (*wlp)->handle_datagram(datagram, now);
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
    if (auto participants = state.participants.lock()) (*participants)->renew(source, now);
  }
}

void receive_loop(const std::shared_ptr<RuntimeState>& state, const transport::Transport& socket) {
  ReceiveThreadState thread(state->prefix);
  ReceiverFeeds feeds;
  std::vector<transport::ReceivedDatagram> batch;
  while (!state->stop.load(std::memory_order_acquire)) {
    const Elapsed now = state->elapsed();
    batch.clear();
    // Time-outs included, errors only bring the stop check around.
    if (!socket.recv_batch(batch)) continue;
    for (const auto& received : batch)
      handle_datagram(*state, thread, received, now);
    feeds.update(thread.receiver.counters());
  }
}

}  // namespace

void handle_spdp(RuntimeState& state, const rtps::ReceivedDatagram& datagram, Elapsed now) {
  discovery::SpdpEvents events = discovery::SpdpReader::read(datagram);
  std::set<rtps::GuidPrefix> departed;
  for (const auto& prefix : events.departed) {
    if (auto participants = state.participants.lock()) {
      if ((*participants)->erase(prefix)) departed.insert(prefix);
    }
  }
  forget_participants(state, departed);

  for (auto& participant : events.announced) {
    if (participant.sender_prefix == state.prefix) continue;
    using Insert = discovery::DiscoveredParticipantsCache::Insert;
    Insert inserted = Insert::Refused;
    if (auto participants = state.participants.lock()) {
      inserted = (*participants)->insert(participant, now);
      monitor::discovery_metrics().participants_known->set(
          static_cast<std::int64_t>((*participants)->size()));
    }
    // The cache lock is released before the stack is locked: never two component locks at once.
    if (inserted == Insert::New) {
      if (auto sedp = state.sedp.lock()) (*sedp)->on_participant_discovered(participant);
      secure_on_participant_discovered(state, participant);
      state.announce_soon.store(true, std::memory_order_release);
    }
    if (inserted != Insert::Refused) push_participant_sample(state, participant.data);
  }
}

void on_sedp_events(RuntimeState& state, const discovery::SedpEvents& events) {
  forget_writers(state, events.removed_publications);
  forget_readers(state, events.removed_subscriptions);
  if (!events.brings_endpoints()) return;
  push_endpoint_samples(state, events);
  // Every endpoint again: a remote one skipped earlier for want of its participant's locator may
  // be matchable now.
  match_local_readers_against_cache(state);
  match_local_writers_against_cache(state);
}

void dispatch_datagram(RuntimeState& state, const rtps::ReceivedDatagram& datagram, Elapsed now) {
  if (datagram.has(rtps::Consumer::Spdp)) handle_spdp(state, datagram, now);
  if (datagram.has(rtps::Consumer::Sedp)) handle_sedp(state, datagram, now);
  if (datagram.has(rtps::Consumer::Wlp)) handle_wlp(state, datagram, now);
  if (datagram.has(rtps::Consumer::TypeLookup)) handle_type_lookup(state, datagram);
  if (datagram.has(rtps::Consumer::SecureStateless) ||
      datagram.has(rtps::Consumer::SecureVolatile)) {
    handle_secure(state, datagram, now);
  }
  if (datagram.has(rtps::Consumer::User)) handle_user_datagram(state, datagram, now);
}

void handle_datagram(RuntimeState& state, ReceiveThreadState& thread,
                     const transport::ReceivedDatagram& datagram, Elapsed now) {
  rtps::ReceivedDatagram received = thread.receiver.receive(datagram.data);
  if (received.submessages.empty()) return;
  received.source = datagram.source;
  renew_leases(state, thread, received, now);
  dispatch_datagram(state, received, now);
}

void recv_spdp_multicast_loop(const std::shared_ptr<RuntimeState>& state) {
  receive_loop(state, *state->sockets.spdp_multicast_rx);
}

void recv_metatraffic_loop(const std::shared_ptr<RuntimeState>& state) {
  receive_loop(state, *state->sockets.metatraffic_rx);
}

void recv_user_loop(const std::shared_ptr<RuntimeState>& state) {
  receive_loop(state, *state->sockets.user_rx);
}

}  // namespace nimbrel::dcps
