#include "tools/recorder_bridge/nbrlrec_output.hpp"

#include <array>

namespace nimbrel::bridge {
namespace {

// The tool records every sample under the single participant of its header.
constexpr std::array<std::uint8_t, 16> recorder_participant_guid{};

}  // namespace

std::vector<BatchLoss> NbrlrecOutput::record(std::span<const TakenSample> samples) {
  pending_.clear();
  for (const auto& taken : samples) {
    pending_.push_back(recorder::PendingSample{
        .topic = taken.topic, .payload = taken.sample.body(), .timestamp_ns = taken.wall_ns});
  }
  std::vector<BatchLoss> out;
  for (auto& [position, error] : session_.record_batch(recorder_participant_guid, pending_)) {
    out.push_back(BatchLoss{.position = position,
                            .reason = rtps::LossReason::WriteFailed,
                            .error = recorder::to_string(error)});
  }
  return out;
}

}  // namespace nimbrel::bridge
