// Counters that stop at their largest value instead of wrapping: a wrapped count reads as "almost
// nothing happened" after the busiest stretch of a long run.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace nimbrel {

template <typename T>
requires std::is_unsigned_v<T>
constexpr T saturating_add(T a, T b) {
  return b > std::numeric_limits<T>::max() - a ? std::numeric_limits<T>::max()
                                               : static_cast<T>(a + b);
}

template <typename T>
requires std::is_unsigned_v<T>
constexpr void saturating_increment(T& counter, T by = 1) {
  counter = saturating_add(counter, by);
}

template <typename T>
requires std::is_unsigned_v<T>
void saturating_increment(std::atomic<T>& counter, T by = 1) {
  T seen = counter.load(std::memory_order_relaxed);
  while (
      seen != std::numeric_limits<T>::max() &&
      !counter.compare_exchange_weak(seen, saturating_add(seen, by), std::memory_order_relaxed)) {
  }
}

}  // namespace nimbrel
