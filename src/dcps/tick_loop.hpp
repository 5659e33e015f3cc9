// The tick thread: all time-driven work of the participant, once per tick. The periodic SPDP
// announcement, the heartbeats, repairs and acknowledgements of the SEDP endpoints, and the
// writer liveliness pulse. `TickLoop` is one tick on an injected clock; `tick_loop` runs it with
// the monotonic clock and a pause of `tick_period` after each tick until the stop flag is set.
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

  RuntimeState& state_;
  MonoClock clock_;
  rtps::Locator spdp_destination_;
  MonoInstant next_announcement_;
};

void tick_loop(const std::shared_ptr<RuntimeState>& state);

}  // namespace nimbrel::dcps
