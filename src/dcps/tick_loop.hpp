// The tick thread: all time-driven work of the participant, once per tick: SPDP announcements,
// SEDP heartbeats and repairs, the writer liveliness pulse, and the acknowledgements and QoS timers
// of the user readers. `TickLoop` is one tick on an injected clock; `tick_loop` runs it with a
// pause of `tick_period` after each tick until the stop flag is set.
#pragma once

#include <functional>
#include <memory>

#include "dcps/runtime_state.hpp"
#include "foundation/time.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::dcps {

using MonoClock = std::function<MonoInstant()>;

// 7400 + 250 x domain id on the SPDP group, or port 7400 where that sum is no port.
rtps::Locator spdp_destination(const RuntimeState& state);

class TickLoop {
 public:
  // The first announcement is due at once, so it leaves on the first tick.
  TickLoop(RuntimeState& state, MonoClock clock);

  // One tick of work; the caller pauses between ticks.
  void tick();

 private:
  void announce_participant();
  void tick_sedp(Elapsed now);
  void tick_wlp(Elapsed now);
  // Acknowledgements of every user reader, then its requested deadline and liveliness timers.
  void tick_user_readers(Elapsed now);

  RuntimeState& state_;
  MonoClock clock_;
  rtps::Locator spdp_destination_;
  MonoInstant next_announcement_;
};

void tick_loop(const std::shared_ptr<RuntimeState>& state);

}  // namespace nimbrel::dcps
