// The tick thread: all time-driven work of the participant, once per tick: SPDP announcements,
// SEDP heartbeats and repairs, the writer liveliness pulse, the repairs and QoS timers of the user
// writers, and the acknowledgements and QoS timers of the user readers. `TickLoop` is one tick on
// an injected clock; `tick_loop` runs it with a pause of `tick_period` after each tick until the
// stop flag is set.
#pragma once

#include <functional>
#include <memory>

#include "dcps/participant/metrics_feed.hpp"
#include "dcps/runtime/runtime_state.hpp"
#include "foundation/time.hpp"
#include "monitor/metric_groups.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::dcps {

using MonoClock = std::function<MonoInstant()>;

// 7400 + 250 x domain id on the SPDP group, or port 7400 where that sum is no port.
rtps::Locator spdp_destination(const Participant& participant);

class TickLoop {
 public:
  // The first announcement is due at once, so it leaves on the first tick; the next few follow at
  // the initial announcement period.
  TickLoop(RuntimeState& state, MonoClock clock);

  // One tick of work; the caller pauses between ticks.
  void tick();

 private:
  void announce_participant();
  void tick_sedp(Elapsed now);
  void publish_counts(const discovery::SedpStack& sedp);
  void tick_wlp(Elapsed now);
  // Acknowledgements of every user reader, then its requested deadline and liveliness timers.
  void tick_user_readers(Elapsed now);

  // The registry series that the components ticked here count into.
  struct Feeds {
    CounterFeed heartbeats_sent{monitor::rtps_metrics().heartbeats_sent};
    CounterFeed acknacks_received{monitor::rtps_metrics().acknacks_received};
    CounterFeed retransmits{monitor::rtps_metrics().retransmits};
    CounterFeed fragmented_samples{monitor::rtps_metrics().fragmented_samples};
    // The same series, for the samples the user readers reassembled.
    CounterFeed user_fragmented_samples{monitor::rtps_metrics().fragmented_samples};
    CounterFeed samples_dropped{monitor::rtps_metrics().samples_dropped};
    CounterFeed announcements{monitor::discovery_metrics().spdp_announcements_sent};
    CounterFeed publication_updates{monitor::discovery_metrics().sedp_publication_updates};
    CounterFeed subscription_updates{monitor::discovery_metrics().sedp_subscription_updates};
  };

  RuntimeState& state_;
  MonoClock clock_;
  Feeds feeds_;
  rtps::Locator spdp_destination_;
  MonoInstant next_announcement_;
  std::size_t announced_ = 0;
};

void tick_loop(const std::shared_ptr<RuntimeState>& state);

}  // namespace nimbrel::dcps
