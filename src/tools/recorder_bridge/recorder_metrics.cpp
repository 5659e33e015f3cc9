#include "tools/recorder_bridge/recorder_metrics.hpp"

#include "monitor/metric_groups.hpp"

namespace nimbrel::bridge {
namespace {

std::shared_ptr<monitor::Counter> counter(monitor::Registry& registry, const char* name,
                                          const char* help) {
  registry.set_help(name, help);
  return registry.counter(name, monitor::Labels{});
}

// Counters only go up: the session's counters never fall, so the difference is what is new.
void catch_up(monitor::Counter& counter, std::uint64_t value) {
  const std::uint64_t current = counter.value();
  if (value > current) counter.inc(value - current);
}

}  // namespace

RecorderMetrics::RecorderMetrics(monitor::Registry& registry)
    : recorded_(counter(registry, "dds_recorder_samples_recorded_total", "Aufgezeichnete Samples")),
      dropped_(counter(registry, "dds_recorder_samples_dropped_total",
                       "Verworfene Samples (Topic nicht im Header oder Schreibfehler)")),
      bytes_(counter(registry, "dds_recorder_bytes_written_total",
                     "Bytes in der Aufzeichnung, Header eingeschlossen")) {
  (void)monitor::transport_metrics();
  (void)monitor::rtps_metrics();
  (void)monitor::discovery_metrics();
}

void RecorderMetrics::sync(const RecordingOutput& session) const {
  catch_up(*recorded_, session.recorded());
  catch_up(*dropped_, session.dropped());
  catch_up(*bytes_, session.bytes());
}

}  // namespace nimbrel::bridge
