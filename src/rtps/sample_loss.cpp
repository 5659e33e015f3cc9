#include "rtps/sample_loss.hpp"

namespace nimbrel::rtps {

std::string_view to_string(LossReason reason) {
  switch (reason) {
    case LossReason::AtWriter:
      return "writer";
    case LossReason::Network:
      return "network";
    case LossReason::TooLarge:
      return "too_large";
    case LossReason::Malformed:
      return "malformed";
    case LossReason::QueueFull:
      return "queue_full";
    case LossReason::WriteFailed:
      return "write_failed";
    case LossReason::NotRecordable:
      return "not_recordable";
  }
  return "unknown";
}

}  // namespace nimbrel::rtps
