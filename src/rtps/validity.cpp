#include "rtps/validity.hpp"

#include <cstdint>
#include <variant>

namespace nimbrel::rtps {
namespace {

using Reason = std::optional<const char*>;

// Up to 3 bytes of alignment padding may follow a sample's last fragment.
constexpr std::uint64_t max_fragment_padding = 3;

Reason check(const DataSubmessage& data) {
  if (data.writer_sn < 1) return "DATA writerSN < 1";
  return std::nullopt;
}

Reason check(const DataFragSubmessage& frag) {
  if (frag.writer_sn < 1) return "DATA_FRAG writerSN < 1";
  if (frag.fragment_starting_num < 1) return "DATA_FRAG fragmentStartingNum < 1";
  if (frag.fragment_size == 0) return "DATA_FRAG fragmentSize 0";
  if (frag.fragment_size > frag.sample_size) return "DATA_FRAG fragmentSize exceeds sampleSize";
  if (frag.fragments_in_submessage == 0) return "DATA_FRAG carries no fragment";
  const std::uint64_t total =
      (std::uint64_t{frag.sample_size} + frag.fragment_size - 1) / frag.fragment_size;
  const std::uint64_t last =
      std::uint64_t{frag.fragment_starting_num} + frag.fragments_in_submessage - 1;
  if (last > total) return "DATA_FRAG fragment beyond the sample";
  const std::uint64_t room =
      std::uint64_t{frag.fragments_in_submessage} * frag.fragment_size + max_fragment_padding;
  if (frag.fragments.size() > room) return "DATA_FRAG carries more than its fragments";
  return std::nullopt;
}

Reason check(const HeartbeatSubmessage& heartbeat) {
  if (heartbeat.first_sn < 1) return "HEARTBEAT firstSN < 1";
  if (heartbeat.last_sn < 0) return "HEARTBEAT lastSN < 0";
  // firstSN - 1 cannot overflow: firstSN >= 1 here.
  if (heartbeat.last_sn < heartbeat.first_sn - 1) return "HEARTBEAT lastSN < firstSN - 1";
  return std::nullopt;
}

Reason check(const HeartbeatFragSubmessage& heartbeat) {
  if (heartbeat.writer_sn < 1) return "HEARTBEAT_FRAG writerSN < 1";
  if (heartbeat.last_fragment_num < 1) return "HEARTBEAT_FRAG lastFragmentNum < 1";
  return std::nullopt;
}

Reason check(const GapSubmessage& gap) {
  if (gap.gap_start < 1) return "GAP gapStart < 1";
  if (gap.gap_list.base < 1) return "GAP gapList base < 1";
  return std::nullopt;
}

Reason check(const AckNackSubmessage& acknack) {
  if (acknack.reader_sn_state.base < 1) return "ACKNACK readerSNState base < 1";
  return std::nullopt;
}

Reason check(const NackFragSubmessage& nack) {
  if (nack.writer_sn < 1) return "NACK_FRAG writerSN < 1";
  if (nack.fragment_number_state.base < 1) return "NACK_FRAG fragmentNumberState base < 1";
  return std::nullopt;
}

// Interpreter submessages and unknown ones: what decodes is valid.
template <typename Other>
Reason check(const Other&) {
  return std::nullopt;
}

}  // namespace

std::optional<const char*> invalid_reason(const ParsedSubmessage& submessage) {
  return std::visit([](const auto& body) { return check(body); }, submessage);
}

}  // namespace nimbrel::rtps
