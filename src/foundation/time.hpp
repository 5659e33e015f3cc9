// The two time bases of the system. Protocol objects take `Elapsed` (time since the runtime's
// start instant, monotonic) as an argument and never read a clock; recordings stamp samples with
// `WallTime` (real-time clock). Only the runtime's threads and the tool read clocks.
#pragma once

#include <chrono>
#include <compare>
#include <cstdint>

namespace nimbrel {

using Duration = std::chrono::nanoseconds;
using MonoInstant = std::chrono::steady_clock::time_point;

struct Elapsed {
  Duration since_start{0};

  static constexpr Elapsed from_secs(std::int64_t s) { return {std::chrono::seconds(s)}; }
  static constexpr Elapsed from_millis(std::int64_t ms) { return {std::chrono::milliseconds(ms)}; }

  constexpr auto operator<=>(const Elapsed&) const = default;
  constexpr Elapsed operator+(Duration d) const { return {since_start + d}; }
  constexpr Duration operator-(Elapsed other) const { return since_start - other.since_start; }
};

// Monotonic `now` minus `start`, clamped at zero.
Elapsed elapsed_between(MonoInstant start, MonoInstant now);

struct WallTime {
  std::uint64_t unix_ns = 0;
  constexpr auto operator<=>(const WallTime&) const = default;
};

// Real-time clock as nanoseconds since the Unix epoch; 0 if the clock reads before the epoch.
WallTime wall_clock_now();

// `now + timeout`; an instant past the clock's range ends the process.
MonoInstant deadline_after(MonoInstant now, Duration timeout);

}  // namespace nimbrel
