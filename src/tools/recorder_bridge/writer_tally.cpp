#include "tools/recorder_bridge/writer_tally.hpp"

#include <algorithm>
#include <numeric>

#include "tools/common/json.hpp"

namespace nimbrel::bridge {

std::uint64_t WriterCounts::lost_total() const {
  return std::accumulate(lost.begin(), lost.end(), std::uint64_t{0});
}

void WriterTally::received(const recorder::TopicKey& topic, const rtps::Guid& writer) {
  ++writers_[{&topic, writer}].received;
}

void WriterTally::recorded(const recorder::TopicKey& topic, const rtps::Guid& writer) {
  ++writers_[{&topic, writer}].recorded;
}

bool WriterTally::lost(const recorder::TopicKey& topic, const rtps::Guid& writer,
                       rtps::LossReason reason, std::uint64_t samples) {
  auto& count = writers_[{&topic, writer}].lost[static_cast<std::size_t>(reason)];
  const bool first = count == 0;
  count += samples;
  return first && reason == rtps::LossReason::TooLarge;
}

void WriterTally::unrecorded(const recorder::TopicKey& topic, const rtps::Guid& writer,
                             rtps::LossReason reason, std::uint64_t samples) {
  auto& counts = writers_[{&topic, writer}];
  counts.recorded -= std::min(counts.recorded, samples);
  counts.lost[static_cast<std::size_t>(reason)] += samples;
}

const WriterCounts* WriterTally::find(const recorder::TopicKey& topic,
                                      const rtps::Guid& writer) const {
  auto it = writers_.find({&topic, writer});
  return it == writers_.end() ? nullptr : &it->second;
}

std::vector<std::string> WriterTally::loss_lines() const {
  std::vector<std::string> lines;
  for (const auto& [key, counts] : writers_) {
    if (counts.lost_total() == 0) continue;
    std::string line = "recorder-bridge lost: topic " + tools::json_string(key.first->name) +
                       " writer " + rtps::to_string(key.second) +
                       " received=" + std::to_string(counts.received) +
                       " recorded=" + std::to_string(counts.recorded) +
                       " lost=" + std::to_string(counts.lost_total()) + " (";
    const char* separator = "";
    for (const auto reason : rtps::all_loss_reasons) {
      const auto n = counts.lost[static_cast<std::size_t>(reason)];
      if (n == 0) continue;
      line.append(separator).append(to_string(reason)).append("=").append(std::to_string(n));
      separator = " ";
    }
    lines.push_back(line + ")");
  }
  return lines;
}

std::string too_large_line(const recorder::TopicKey& topic, const rtps::Guid& writer) {
  return "recorder-bridge: topic " + tools::json_string(topic.name) + " writer " +
         rtps::to_string(writer) +
         " sends samples larger than --max-sample-size: they are lost as too large";
}

}  // namespace nimbrel::bridge
