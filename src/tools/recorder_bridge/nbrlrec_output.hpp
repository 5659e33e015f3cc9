// The .nbrlrec output: every data sample's body as one frame under the recorder's participant, in
// the topic of the header; what the format has no place for (writers, losses, lifecycle changes,
// empty bodies) stays out of the file.
#pragma once

#include <utility>

#include "recorder/session.hpp"
#include "tools/recorder_bridge/recording_output.hpp"

namespace nimbrel::bridge {

class NbrlrecOutput final : public RecordingOutput {
 public:
  NbrlrecOutput(recorder::RecordingWriter writer, recorder::Header header)
      : session_(std::move(writer), std::move(header)) {}

  std::vector<BatchLoss> record(std::span<const TakenSample> samples) override;
  bool takes_empty_bodies() const override { return false; }

  std::uint64_t recorded() const override { return session_.recorded(); }
  std::uint64_t dropped() const override { return session_.dropped(); }
  std::uint64_t failed() const override { return session_.failed(); }
  std::uint64_t bytes() const override { return session_.bytes(); }
  std::uint64_t start_ns() const override { return session_.start_ns(); }

 private:
  recorder::RecordingSession session_;
  std::vector<recorder::PendingSample> pending_;  // reused from pass to pass
};

}  // namespace nimbrel::bridge
