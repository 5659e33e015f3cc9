// A histogram with fixed upper bounds, updated with atomics. Kept for exporters; the recorder
// itself registers none.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace nimbrel::monitor {

class LabeledHistogram {
 public:
  static constexpr std::array<double, 10> upper_bounds = {0.0001, 0.0005, 0.001, 0.005, 0.01,
                                                          0.05,   0.1,    0.5,   1.0,   5.0};

  void observe(double value);
  std::uint64_t bucket_count(std::size_t bucket) const { return buckets_[bucket].load(); }
  std::uint64_t total_count() const { return total_.load(); }

 private:
  std::array<std::atomic<std::uint64_t>, upper_bounds.size() + 1> buckets_{};  // last: +Inf
  std::atomic<std::uint64_t> total_{0};
};

}  // namespace nimbrel::monitor
