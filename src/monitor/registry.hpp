// The process's metrics: counters, gauges and histograms, each identified by a name and labels,
// plus a help text per name. Handles are obtained once and then updated without the registry.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "foundation/guarded.hpp"
#include "monitor/histogram.hpp"
#include "monitor/labels.hpp"

namespace nimbrel::monitor {

// A monotonic counter that saturates at the largest 64-bit value instead of wrapping.
class Counter {
 public:
  Counter(std::string name, Labels labels) : name_(std::move(name)), labels_(std::move(labels)) {}

  void inc(std::uint64_t by = 1);
  std::uint64_t value() const { return value_.load(std::memory_order_relaxed); }
  const std::string& name() const { return name_; }
  const Labels& labels() const { return labels_; }

 private:
  std::atomic<std::uint64_t> value_{0};
  std::string name_;
  Labels labels_;
};

class Gauge {
 public:
  void set(std::int64_t value) { value_.store(value, std::memory_order_relaxed); }
  std::int64_t value() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::int64_t> value_{0};
};

class Registry {
 public:
  std::shared_ptr<Counter> counter(std::string_view name, const Labels& labels);
  std::shared_ptr<Gauge> gauge(std::string_view name, const Labels& labels);
  std::shared_ptr<LabeledHistogram> histogram(std::string_view name, const Labels& labels);

  // Stores or replaces the help text; does nothing when the help map is poisoned.
  void set_help(std::string_view name, std::string_view help);
  std::optional<std::string> help(std::string_view name);

  // Every series and help text at one moment, for exporters; a poisoned map contributes nothing.
  struct Snapshot {
    template <typename T>
    using Series = std::vector<std::pair<MetricKey, std::shared_ptr<T>>>;
    Series<Counter> counters;
    Series<Gauge> gauges;
    Series<LabeledHistogram> histograms;
    std::unordered_map<std::string, std::string> help;
  };
  Snapshot snapshot();

 private:
  template <typename T>
  using Map = std::unordered_map<MetricKey, std::shared_ptr<T>, MetricKeyHash>;

  Guarded<Map<Counter>> counters_;
  Guarded<Map<Gauge>> gauges_;
  Guarded<Map<LabeledHistogram>> histograms_;
  Guarded<std::unordered_map<std::string, std::string>> help_;
};

// The process-wide registry, created on first use.
Registry& default_registry();

}  // namespace nimbrel::monitor
