// Metric labels: (key, value) pairs kept sorted by key, each key at most once, so that two label
// sets built in different orders compare equal.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nimbrel::monitor {

class Labels {
 public:
  // Replaces the value of an existing key, or adds the pair in key order.
  Labels with(std::string_view key, std::string_view value) const;

  const std::vector<std::pair<std::string_view, std::string>>& pairs() const { return pairs_; }
  friend bool operator==(const Labels&, const Labels&) = default;

 private:
  std::vector<std::pair<std::string_view, std::string>> pairs_;  // keys are static texts
};

struct MetricKey {
  std::string name;
  Labels labels;
  friend bool operator==(const MetricKey&, const MetricKey&) = default;
};

struct MetricKeyHash {
  std::size_t operator()(const MetricKey& key) const;
};

}  // namespace nimbrel::monitor
