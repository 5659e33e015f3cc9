#include "rtps/fragment_assembler.hpp"

#include <algorithm>
#include <cstring>

#include "foundation/saturating.hpp"

namespace nimbrel::rtps {

FragmentBuffer::FragmentBuffer(std::uint32_t sample_size, std::uint16_t fragment_size)
    : bytes_(std::make_shared_for_overwrite<std::byte[]>(sample_size)),
      received_(static_cast<std::size_t>((std::uint64_t{sample_size} + fragment_size - 1) /
                                         fragment_size)),
      total_(static_cast<std::uint32_t>(received_.size())),
      sample_size_(sample_size),
      fragment_size_(fragment_size) {}

bool FragmentBuffer::has(FragmentNumber fragment) const {
  return fragment >= 1 && fragment <= total_ && received_[fragment - 1];
}

void FragmentBuffer::store(FragmentNumber first, std::uint32_t count,
                           std::span<const std::byte> fragments) {
  const std::size_t offset = std::size_t{fragment_size_} * (first - 1);
  std::memcpy(bytes_.get() + offset, fragments.data(), fragments.size());
  for (std::uint32_t k = 0; k < count; ++k) {
    const std::size_t index = first - 1 + k;
    if (!received_[index]) {
      received_[index] = true;
      ++received_count_;
    }
  }
  // Advances at most total times over the buffer's life.
  while (first_missing_ <= total_ && received_[first_missing_ - 1])
    ++first_missing_;
}

void FragmentAssembler::drop(FragmentDropReason reason) {
  saturating_increment(drop_count_);
  if (reason == FragmentDropReason::SampleTooLarge) saturating_increment(too_large_count_);
  last_drop_reason_ = reason;
}

FragmentAssembler::Pending::iterator FragmentAssembler::erase(Pending::iterator it) {
  pending_bytes_ -= it->second.sample_size();
  return pending_.erase(it);
}

bool FragmentAssembler::make_room(std::uint64_t size) {
  if (size > caps_.max_pending_bytes || caps_.max_pending_sns == 0) {
    drop(FragmentDropReason::NoRoom);
    return false;
  }
  while (pending_.size() >= caps_.max_pending_sns ||
         pending_bytes_ + size > caps_.max_pending_bytes) {
    erase(pending_.begin());
    drop(FragmentDropReason::EvictedOldest);
  }
  return true;
}

std::optional<AssembledSample> FragmentAssembler::insert(const DataFragSubmessage& frag) {
  using Reason = FragmentDropReason;
  const std::uint64_t fragment_size = frag.fragment_size;
  const std::uint64_t sample_size = frag.sample_size;
  const std::uint64_t count = frag.fragments_in_submessage;
  const std::uint64_t first = frag.fragment_starting_num;
  if (fragment_size == 0 || fragment_size > caps_.max_fragment_size) {
    drop(Reason::BadFragmentSize);
    return std::nullopt;
  }
  if (count == 0) {
    drop(Reason::NoFragments);
    return std::nullopt;
  }
  if (sample_size > caps_.max_sample_size) {
    drop(Reason::SampleTooLarge);
    return std::nullopt;
  }
  if (first == 0) {
    drop(Reason::FragmentNumberZero);
    return std::nullopt;
  }
  const std::uint64_t total = (sample_size + fragment_size - 1) / fragment_size;
  const std::uint64_t last = first + count - 1;
  if (last > total) {
    drop(Reason::BeyondLastFragment);
    return std::nullopt;
  }

  const SequenceNumber sn = frag.writer_sn;
  auto it = pending_.find(sn);
  if (it != pending_.end() &&
      (it->second.sample_size() != sample_size || it->second.fragment_size() != fragment_size)) {
    drop(Reason::InconsistentSizes);
    return std::nullopt;
  }
  // Only the sample's last fragment may be shorter than the fragment size.
  const std::uint64_t last_length = sample_size - fragment_size * (total - 1);
  const std::uint64_t expected =
      last == total ? (count - 1) * fragment_size + last_length : count * fragment_size;
  const std::uint64_t offset = fragment_size * (first - 1);
  // The submessage that ends the sample may carry up to 3 bytes of alignment padding
  // (DDSI-RTPS 2.5 section 9.4.1); they are not sample data.
  const std::uint64_t received = frag.fragments.size();
  const bool padded_end = last == total && received > expected && received - expected < 4;
  if ((received != expected && !padded_end) || offset + expected > sample_size) {
    drop(Reason::BadFragmentBytes);
    return std::nullopt;
  }

  // All caps are checked: only now is the sample buffer allocated.
  if (it == pending_.end()) {
    if (!make_room(sample_size)) return std::nullopt;
    pending_bytes_ += sample_size;
    it = pending_
             .emplace(sn, FragmentBuffer(static_cast<std::uint32_t>(sample_size),
                                         static_cast<std::uint16_t>(fragment_size)))
             .first;
  }
  it->second.store(static_cast<FragmentNumber>(first), static_cast<std::uint32_t>(count),
                   frag.fragments.span().first(static_cast<std::size_t>(expected)));
  if (!it->second.complete()) return std::nullopt;
  auto bytes = std::move(it->second).take_bytes();
  erase(it);
  return AssembledSample{.sequence_number = sn, .payload = std::move(bytes)};
}

FragmentNumberSet FragmentAssembler::missing_fragments(SequenceNumber sn) const {
  auto it = pending_.find(sn);
  if (it == pending_.end()) return FragmentNumberSet::empty_range(1, 0);
  const FragmentBuffer& buffer = it->second;
  const FragmentNumber base = buffer.first_missing();
  std::vector<FragmentNumber> missing;
  const std::uint64_t window_end =
      std::min<std::uint64_t>(buffer.total_fragments(), std::uint64_t{base} + 255);
  for (std::uint64_t f = base; f <= window_end; ++f) {
    if (!buffer.has(static_cast<FragmentNumber>(f)))
      missing.push_back(static_cast<FragmentNumber>(f));
  }
  return FragmentNumberSet::from_members(base, missing);
}

void FragmentAssembler::discard(SequenceNumber first, SequenceNumber last) {
  if (first > last) return;
  const auto end = pending_.upper_bound(last);
  for (auto it = pending_.lower_bound(first); it != end;)
    it = erase(it);
}

void FragmentAssembler::discard_up_to(SequenceNumber sn) {
  const auto end = pending_.upper_bound(sn);
  for (auto it = pending_.begin(); it != end;)
    it = erase(it);
}

}  // namespace nimbrel::rtps
