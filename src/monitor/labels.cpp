#include "monitor/labels.hpp"

#include <algorithm>
#include <functional>

namespace nimbrel::monitor {

Labels Labels::with(std::string_view key, std::string_view value) const {
  Labels out = *this;
  auto found = std::find_if(out.pairs_.begin(), out.pairs_.end(),
                            [&](const auto& pair) { return pair.first == key; });
  if (found != out.pairs_.end()) {
    found->second = std::string(value);
    return out;
  }
  out.pairs_.emplace_back(key, std::string(value));
  std::stable_sort(out.pairs_.begin(), out.pairs_.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  return out;
}

std::size_t MetricKeyHash::operator()(const MetricKey& key) const {
  std::size_t h = std::hash<std::string>{}(key.name);
  for (const auto& [k, v] : key.labels.pairs()) {
    h = h * 31 + std::hash<std::string_view>{}(k);
    h = h * 31 + std::hash<std::string>{}(v);
  }
  return h;
}

}  // namespace nimbrel::monitor
