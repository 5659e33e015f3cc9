// The recorder's own series: samples recorded and dropped and bytes written, mirrored from the
// recording output's atomic counters into the metrics registry whenever it is scraped.
#pragma once

#include <memory>

#include "monitor/registry.hpp"
#include "tools/recorder_bridge/recording_output.hpp"

namespace nimbrel::bridge {

class RecorderMetrics {
 public:
  // Registers the series (and the protocol layers' groups, so that every series shows from the
  // first scrape on) in `registry`.
  explicit RecorderMetrics(monitor::Registry& registry);

  // Brings the series up to the session's counters; call from one thread at a time.
  void sync(const RecordingOutput& session) const;

 private:
  std::shared_ptr<monitor::Counter> recorded_;
  std::shared_ptr<monitor::Counter> dropped_;
  std::shared_ptr<monitor::Counter> bytes_;
};

}  // namespace nimbrel::bridge
