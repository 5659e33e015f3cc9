// What became of each writer's samples in this run: received, recorded, and lost by reason,
// wherever they were lost (at the writer, in the network, in the reader, in the file). Fed by the
// recording loop; tells the stop what to report.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "recorder/format.hpp"
#include "rtps/sample_loss.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::bridge {

struct WriterCounts {
  std::uint64_t received = 0;  // samples of every change kind the reader handed on
  std::uint64_t recorded = 0;
  std::array<std::uint64_t, rtps::all_loss_reasons.size()> lost{};

  std::uint64_t lost_total() const;
};

class WriterTally {
 public:
  // `topic` outlives the tally.
  void received(const recorder::TopicKey& topic, const rtps::Guid& writer);
  void recorded(const recorder::TopicKey& topic, const rtps::Guid& writer);
  // True the first time this writer loses samples as too large, so that it is said once.
  bool lost(const recorder::TopicKey& topic, const rtps::Guid& writer, rtps::LossReason reason,
            std::uint64_t samples);

  // `samples` counted as recorded were lost after all, with `reason`.
  void unrecorded(const recorder::TopicKey& topic, const rtps::Guid& writer,
                  rtps::LossReason reason, std::uint64_t samples);

  // One line per writer that lost samples, in topic and writer order; none when nothing was lost:
  // `recorder-bridge lost: topic "NAME" writer GUID received=N recorded=N lost=N (REASON=N ...)`.
  std::vector<std::string> loss_lines() const;

  const WriterCounts* find(const recorder::TopicKey& topic, const rtps::Guid& writer) const;

 private:
  using Key = std::pair<const recorder::TopicKey*, rtps::Guid>;
  std::map<Key, WriterCounts> writers_;
};

// The line said once per writer whose samples are above the largest one taken in.
std::string too_large_line(const recorder::TopicKey& topic, const rtps::Guid& writer);

}  // namespace nimbrel::bridge
