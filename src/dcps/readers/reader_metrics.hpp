// The metric series of user readers: per topic, what was received and what was lost by reason; and
// the same losses in the protocol layer's dropped-samples series, by the kind of the writer.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>

#include "monitor/registry.hpp"
#include "rtps/sample_loss.hpp"

namespace nimbrel::dcps {

class TopicSeries {
 public:
  // Registers the topic's series in the default registry (a topic read twice shares them).
  explicit TopicSeries(std::string_view topic);

  void received(std::uint64_t samples) const { received_->inc(samples); }
  void lost(const rtps::LostRange& range, bool reliable_writer) const;

 private:
  std::shared_ptr<monitor::Counter> received_;
  std::array<std::shared_ptr<monitor::Counter>, rtps::all_loss_reasons.size()> lost_;
};

}  // namespace nimbrel::dcps
