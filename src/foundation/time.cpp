#include "foundation/time.hpp"

#include "foundation/fatal.hpp"

namespace nimbrel {

Elapsed elapsed_between(MonoInstant start, MonoInstant now) {
  if (now <= start) return {};
  return {std::chrono::duration_cast<Duration>(now - start)};
}

WallTime wall_clock_now() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
  return {ns < 0 ? 0 : static_cast<std::uint64_t>(ns)};
}

MonoInstant deadline_after(MonoInstant now, Duration timeout) {
  const auto rep = now.time_since_epoch().count();
  const auto add = std::chrono::duration_cast<MonoInstant::duration>(timeout).count();
  MonoInstant::rep sum = 0;
  if (__builtin_add_overflow(rep, add, &sum)) fatal("overflow when adding duration to instant");
  return MonoInstant(MonoInstant::duration(sum));
}

}  // namespace nimbrel
