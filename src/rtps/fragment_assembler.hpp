// Reassembly of samples sent as DATA_FRAG (large data, DDSI-RTPS 2.5), one assembler per remote
// writer. Every check runs before a sample buffer is allocated, refusals are counted with a reason
// code, and at most `max_pending_sns` samples and `max_pending_bytes` are in flight: a new sample
// evicts the oldest until it fits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "foundation/shared_bytes.hpp"
#include "rtps/submessages.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::rtps {

struct AssemblerCaps {
  std::size_t max_pending_sns = 64;
  std::uint32_t max_sample_size = 1'048'576;
  std::uint32_t max_fragment_size = 65'535;
  // What the partly received samples may take together; at least `max_sample_size`.
  std::uint64_t max_pending_bytes = 64 * std::uint64_t{1'048'576};
};

// The numeric values are the reason codes reported to monitoring.
enum class FragmentDropReason : std::uint8_t {
  SampleTooLarge = 0,
  BadFragmentSize = 1,
  FragmentNumberZero = 2,
  BeyondLastFragment = 3,
  BadFragmentBytes = 4,
  InconsistentSizes = 5,
  NoFragments = 6,
  EvictedOldest = 7,
  NoRoom = 8,
};

// One partly received sample.
class FragmentBuffer {
 public:
  FragmentBuffer(std::uint32_t sample_size, std::uint16_t fragment_size);

  std::uint32_t sample_size() const { return sample_size_; }
  std::uint16_t fragment_size() const { return fragment_size_; }
  std::uint32_t total_fragments() const { return total_; }
  std::uint32_t received_count() const { return received_count_; }
  bool complete() const { return received_count_ == total_; }
  bool has(FragmentNumber fragment) const;
  // The lowest fragment not yet received, total + 1 when complete.
  FragmentNumber first_missing() const { return first_missing_; }

  // Copies fragments `first`, `first + 1`, ...; the caller has checked that they fit.
  void store(FragmentNumber first, std::uint32_t count, std::span<const std::byte> fragments);
  // Every byte has been stored once the buffer is complete.
  SharedBytes take_bytes() && { return SharedBytes::adopt(std::move(bytes_), sample_size_); }

 private:
  // Left unfilled: each byte is written by the fragment that carries it before it is read.
  std::shared_ptr<std::byte[]> bytes_;
  std::vector<bool> received_;  // index = fragment number - 1
  std::uint32_t received_count_ = 0;
  std::uint32_t total_;
  std::uint32_t sample_size_;
  std::uint16_t fragment_size_;
  FragmentNumber first_missing_ = 1;
};

struct AssembledSample {
  SequenceNumber sequence_number = 0;
  SharedBytes payload{};
};

class FragmentAssembler {
 public:
  explicit FragmentAssembler(AssemblerCaps caps) : caps_(caps) {}

  // The whole sample once its last missing fragment arrives; nothing on refusal or while
  // fragments are still missing.
  std::optional<AssembledSample> insert(const DataFragSubmessage& frag);
  // The fragments of the pending sample `sn` still missing, from the first of them on (at most
  // 256 wide). Base 1 and no bits without a pending buffer.
  FragmentNumberSet missing_fragments(SequenceNumber sn) const;

  void discard(SequenceNumber first, SequenceNumber last);
  void discard_up_to(SequenceNumber sn);

  const std::map<SequenceNumber, FragmentBuffer>& pending() const { return pending_; }
  bool has_pending() const { return !pending_.empty(); }
  std::uint64_t drop_count() const { return drop_count_; }
  std::optional<FragmentDropReason> last_drop_reason() const { return last_drop_reason_; }
  // Fragments refused because their sample is above the largest one; each counts once.
  std::uint64_t too_large_count() const { return too_large_count_; }
  std::uint64_t pending_bytes() const { return pending_bytes_; }

 private:
  using Pending = std::map<SequenceNumber, FragmentBuffer>;

  void drop(FragmentDropReason reason);
  // Room for a new sample of `size` bytes, evicting the oldest; false when there can be none.
  bool make_room(std::uint64_t size);
  Pending::iterator erase(Pending::iterator it);

  AssemblerCaps caps_;
  Pending pending_;
  std::uint64_t pending_bytes_ = 0;
  std::uint64_t too_large_count_ = 0;
  std::uint64_t drop_count_ = 0;
  std::optional<FragmentDropReason> last_drop_reason_;
};

}  // namespace nimbrel::rtps
