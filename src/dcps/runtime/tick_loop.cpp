#include "dcps/runtime/tick_loop.hpp"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <iterator>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "dcps/builtin/secure_builtin.hpp"
#include "dcps/builtin/standard_type_lookup.hpp"
#include "dcps/builtin/type_lookup.hpp"
#include "dcps/discovery_events/departures.hpp"
#include "dcps/participant/outbound.hpp"
#include "dcps/writers/writer_tick.hpp"
#include "discovery/spdp.hpp"
#include "foundation/fatal.hpp"
#include "foundation/saturating.hpp"
#include "monitor/metric_groups.hpp"

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

std::uint64_t ns_since(Elapsed then, Elapsed now) {
  const auto ns = (now - then).count();
  return ns < 0 ? 0 : static_cast<std::uint64_t>(ns);
}

// At most one miss per tick; the next period counts from the miss.
void check_requested_deadline(UserReaderSlot& reader, Elapsed now) {
  if (reader.deadline_ns == 0) return;
  if (ns_since(reader.last_sample_time, now) < reader.deadline_ns) return;
  saturating_increment(reader.requested_deadline_missed);
  reader.last_sample_time = now;
}

// Counted once per silence; the next delivered sample makes the writer alive again.
void check_reader_liveliness(UserReaderSlot& reader, Elapsed now) {
  if (reader.liveliness_lease_ns == 0 || !reader.writer_alive) return;
  if (ns_since(reader.last_sample_time, now) < reader.liveliness_lease_ns) return;
  reader.writer_alive = false;
  saturating_increment(reader.not_alive);
}

}  // namespace

rtps::Locator spdp_destination(const Participant& participant) {
  const auto port =
      discovery::spdp_multicast_port(participant.domain_id).value_or(fallback_spdp_port);
  return rtps::Locator::udp_v4(participant.config.spdp_multicast_group, port);
}

TickLoop::TickLoop(RuntimeState& state, MonoClock clock)
    : state_(state),
      clock_(std::move(clock)),
      spdp_destination_(spdp_destination(state.participant)),
      next_announcement_(clock_()) {}

void TickLoop::tick() {
  const MonoInstant now = clock_();
  const Elapsed elapsed = state_.participant.elapsed_since_start(now);
  const bool newcomer = state_.participant.announce_soon.exchange(false, std::memory_order_acq_rel);
  if (now >= next_announcement_ || newcomer) announce_participant();
  expire_participants(state_, elapsed);
  tick_sedp(elapsed);
  tick_secure(state_.participant, elapsed);
  tick_wlp(elapsed);
  tick_user_writers(state_.participant, state_.writers, elapsed);
  tick_user_readers(elapsed);
  expire_type_lookups(state_.participant, elapsed);
  tick_standard_type_lookup(state_.participant, elapsed);
}

void TickLoop::announce_participant() {
  std::optional<std::vector<std::byte>> announcement;
  if (auto beacon = state_.participant.beacon.lock()) {
    if (auto bytes = (*beacon)->serialize()) announcement = std::move(*bytes);
    feeds_.announcements.update((*beacon)->announcements);
  }
  if (announcement) {
    static_cast<void>(
        state_.participant.sockets.multicast_tx->send(spdp_destination_, *announcement));
  }
  // A failed announcement waits for the next period, like a sent one.
  const auto& config = state_.participant.config;
  const bool early = ++announced_ < config.initial_announcements;
  next_announcement_ = deadline_after(
      clock_(), early ? std::min(config.initial_announcement_period, config.spdp_period)
                      : config.spdp_period);
}

void TickLoop::tick_sedp(Elapsed now) {
  std::vector<rtps::OutboundDatagram> datagrams;
  if (auto sedp = state_.participant.sedp.lock()) {
    if (auto ticked = (*sedp)->tick(now)) datagrams = std::move(*ticked);
    publish_counts(**sedp);
  }
  send_to_udp_v4_destinations(*state_.participant.sockets.multicast_tx, datagrams);
}

void TickLoop::publish_counts(const discovery::SedpStack& sedp) {
  // Both announcers together: the only writers of this participant.
  const rtps::WriterCounters& a = sedp.publications_writer().counters();
  const rtps::WriterCounters& b = sedp.subscriptions_writer().counters();
  feeds_.heartbeats_sent.update(saturating_add(a.heartbeats_sent, b.heartbeats_sent));
  feeds_.acknacks_received.update(saturating_add(a.acknacks_received, b.acknacks_received));
  feeds_.retransmits.update(saturating_add(a.retransmits, b.retransmits));
  feeds_.fragmented_samples.update(saturating_add(a.fragmented_samples, b.fragmented_samples));
  feeds_.samples_dropped.update(saturating_add(sedp.publications_writer().history().evicted(),
                                               sedp.subscriptions_writer().history().evicted()));
  feeds_.publication_updates.update(sedp.publication_updates());
  feeds_.subscription_updates.update(sedp.subscription_updates());
  const auto& metrics = monitor::discovery_metrics();
  metrics.writers_known->set(static_cast<std::int64_t>(sedp.cache().publications().size()));
  metrics.readers_known->set(static_cast<std::int64_t>(sedp.cache().subscriptions().size()));
}

void TickLoop::tick_wlp(Elapsed now) {
  std::optional<std::vector<std::byte>> pulse;
  if (auto wlp = state_.participant.wlp.lock()) {
    if (auto ticked = (*wlp)->tick(now)) pulse = std::move(*ticked);
  }
  if (pulse)
    static_cast<void>(state_.participant.sockets.multicast_tx->send(spdp_destination_, *pulse));
}

void TickLoop::tick_user_readers(Elapsed now) {
  std::vector<rtps::OutboundDatagram> datagrams;
  // Slots are never removed, so the sum never falls.
  std::uint64_t fragmented = 0;
  for (const auto& [id, shared] : state_.readers.slots.snapshot()) {
    auto slot = shared->lock();
    if (!slot) continue;
    UserReaderSlot& reader = **slot;
    fragmented = saturating_add(fragmented, reader.reader.fragmented_sample_count());
    // A reader whose queue is filling up keeps its answer until there is room again: asked for
    // now, the writer would send more than the queue can take.
    if (!(reader.queue && reader.queue->holding_answers())) {
      if (auto out = reader.reader.tick_outbound(now)) {
        datagrams.insert(datagrams.end(), std::make_move_iterator(out->begin()),
                         std::make_move_iterator(out->end()));
      }
    }
    check_requested_deadline(reader, now);
    check_reader_liveliness(reader, now);
  }
  feeds_.user_fragmented_samples.update(fragmented);
  // Sent after every slot is released, so a slow send never holds up the receive thread.
  send_to_udp_v4_destinations(*state_.participant.sockets.user_rx, datagrams);
}

void tick_loop(const std::shared_ptr<RuntimeState>& state) {
  TickLoop loop(*state, [] { return std::chrono::steady_clock::now(); });
  while (!state->stop.load(std::memory_order_acquire)) {
    loop.tick();
    pause_for(state->participant.config.tick_period);
  }
}

}  // namespace nimbrel::dcps
