#include "monitor/registry.hpp"

#include <limits>

#include "foundation/saturating.hpp"

namespace nimbrel::monitor {

namespace {

template <typename T, typename Map, typename Make>
std::shared_ptr<T> get_or_create(Guarded<Map>& guarded, std::string_view name, const Labels& labels,
                                 Make make) {
  MetricKey key{std::string(name), labels};
  auto map = guarded.lock();
  // A poisoned map still hands out a working, unregistered handle: metrics never stop the caller.
  if (!map) return make();
  auto [it, inserted] = (*map)->try_emplace(std::move(key));
  if (inserted) it->second = make();
  return it->second;
}

}  // namespace

void Counter::inc(std::uint64_t by) {
  saturating_increment(value_, by);
}

std::shared_ptr<Counter> Registry::counter(std::string_view name, const Labels& labels) {
  return get_or_create<Counter>(counters_, name, labels, [&] {
    return std::make_shared<Counter>(std::string(name), labels);
  });
}

std::shared_ptr<Gauge> Registry::gauge(std::string_view name, const Labels& labels) {
  return get_or_create<Gauge>(gauges_, name, labels, [] { return std::make_shared<Gauge>(); });
}

std::shared_ptr<LabeledHistogram> Registry::histogram(std::string_view name, const Labels& labels) {
  return get_or_create<LabeledHistogram>(histograms_, name, labels,
                                         [] { return std::make_shared<LabeledHistogram>(); });
}

void Registry::set_help(std::string_view name, std::string_view help) {
  auto map = help_.lock();
  if (!map) return;
  (**map)[std::string(name)] = std::string(help);
}

std::optional<std::string> Registry::help(std::string_view name) {
  auto map = help_.lock();
  if (!map) return std::nullopt;
  auto it = (*map)->find(std::string(name));
  if (it == (*map)->end()) return std::nullopt;
  return it->second;
}

Registry::Snapshot Registry::snapshot() {
  Snapshot out;
  const auto copy = [](auto& guarded, auto& series) {
    if (auto map = guarded.lock()) series.assign((*map)->begin(), (*map)->end());
  };
  copy(counters_, out.counters);
  copy(gauges_, out.gauges);
  copy(histograms_, out.histograms);
  if (auto map = help_.lock()) out.help = **map;
  return out;
}

Registry& default_registry() {
  static Registry registry;
  return registry;
}

}  // namespace nimbrel::monitor
