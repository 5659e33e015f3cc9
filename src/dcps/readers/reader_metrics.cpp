#include "dcps/readers/reader_metrics.hpp"

#include <cstddef>

#include "monitor/metric_groups.hpp"

namespace nimbrel::dcps {
namespace {

using ReasonSeries = std::array<std::shared_ptr<monitor::Counter>, rtps::all_loss_reasons.size()>;

ReasonSeries by_reason(std::string_view name, const monitor::Labels& labels) {
  ReasonSeries series;
  for (std::size_t i = 0; i < series.size(); ++i) {
    series[i] = monitor::default_registry().counter(
        name, labels.with("reason", to_string(rtps::all_loss_reasons[i])));
  }
  return series;
}

// Indexed by whether the writer is reliable; the group's help text stays its own.
const std::array<ReasonSeries, 2>& dropped_series() {
  static const std::array<ReasonSeries, 2> series = [] {
    static_cast<void>(monitor::rtps_metrics());
    return std::array<ReasonSeries, 2>{
        by_reason("dds_rtps_samples_dropped_total",
                  monitor::Labels{}.with("writer_kind", "best_effort")),
        by_reason("dds_rtps_samples_dropped_total",
                  monitor::Labels{}.with("writer_kind", "reliable"))};
  }();
  return series;
}

std::size_t index_of(rtps::LossReason reason) {
  return static_cast<std::size_t>(reason);
}

}  // namespace

TopicSeries::TopicSeries(std::string_view topic) {
  auto& registry = monitor::default_registry();
  registry.set_help("dds_reader_samples_received_total",
                    "Samples the user readers of a topic received, of every change kind");
  registry.set_help("dds_reader_samples_lost_total",
                    "Samples of a topic lost before its user readers handed them on, by reason");
  const auto labels = monitor::Labels{}.with("topic", topic);
  received_ = registry.counter("dds_reader_samples_received_total", labels);
  lost_ = by_reason("dds_reader_samples_lost_total", labels);
}

void TopicSeries::lost(const rtps::LostRange& range, bool reliable_writer) const {
  const auto count = static_cast<std::uint64_t>(range.count());
  lost_[index_of(range.reason)]->inc(count);
  dropped_series()[reliable_writer ? 1 : 0][index_of(range.reason)]->inc(count);
}

}  // namespace nimbrel::dcps
