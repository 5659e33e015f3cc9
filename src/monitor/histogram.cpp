#include "monitor/histogram.hpp"

namespace nimbrel::monitor {

void LabeledHistogram::observe(double value) {
  std::size_t bucket = 0;
  while (bucket < upper_bounds.size() && value > upper_bounds[bucket])
    ++bucket;
  buckets_[bucket].fetch_add(1, std::memory_order_relaxed);
  total_.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace nimbrel::monitor
