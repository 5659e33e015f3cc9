// Protocol objects count for themselves; the runtime adds their totals into the metrics registry.
// A feed remembers what it has already added, so one thread can hand it a running total at any
// pace and the registry series still counts every event exactly once.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "monitor/registry.hpp"

namespace nimbrel::dcps {

class CounterFeed {
 public:
  explicit CounterFeed(std::shared_ptr<monitor::Counter> series) : series_(std::move(series)) {}

  // `total` is the running total of what feeds this series; it never goes down.
  void update(std::uint64_t total) {
    if (total > fed_) series_->inc(total - fed_);
    fed_ = total;
  }

 private:
  std::shared_ptr<monitor::Counter> series_;
  std::uint64_t fed_ = 0;
};

}  // namespace nimbrel::dcps
