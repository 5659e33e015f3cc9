// Samples a writer sent that a reader does not hand on, with the reason. The reliable reader finds
// the first three; the layers above add what they refuse themselves, so that one list of reasons
// accounts for every sequence number a writer used.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "rtps/wire_types.hpp"

namespace nimbrel::rtps {

enum class LossReason : std::uint8_t {
  AtWriter,       // a GAP, or a HEARTBEAT whose first number passed them: the writer let them go
  Network,        // a best-effort writer's samples that never arrived
  TooLarge,       // above the reader's largest sample
  Malformed,      // a data change too short to hold its encapsulation header
  QueueFull,      // refused by the reader's full queue, or missing while it was (best-effort only)
  WriteFailed,    // the recording could not write them
  NotRecordable,  // the output format cannot hold them (an empty body in a .nbrlrec file)
};

inline constexpr std::array all_loss_reasons{
    LossReason::AtWriter,  LossReason::Network,     LossReason::TooLarge,     LossReason::Malformed,
    LossReason::QueueFull, LossReason::WriteFailed, LossReason::NotRecordable};

// The `reason` label of the metrics and the word of the reports: "writer", "network",
// "too_large", "malformed", "queue_full", "write_failed", "not_recordable".
std::string_view to_string(LossReason reason);

// Sequence numbers first to last of one writer, all lost for one reason.
struct LostRange {
  Guid writer{};
  SequenceNumber first = 0;
  SequenceNumber last = 0;
  LossReason reason = LossReason::AtWriter;

  SequenceNumber count() const { return last - first + 1; }
  friend bool operator==(const LostRange&, const LostRange&) = default;
};

// Extends `into` by `next` when `next` continues it (same writer and reason, the very next
// numbers); true if it did.
inline bool join(LostRange& into, const LostRange& next) {
  if (into.writer != next.writer || into.reason != next.reason || into.last + 1 != next.first)
    return false;
  into.last = next.last;
  return true;
}

}  // namespace nimbrel::rtps
