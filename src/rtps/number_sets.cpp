// SequenceNumberSet and FragmentNumberSet (DDSI-RTPS 2.5 sections 9.4.2.6 and 9.4.2.8): one
// bitmap layout behind a base of either width.
#include <algorithm>
#include <limits>
#include <type_traits>

#include "rtps/submessages.hpp"

namespace nimbrel::rtps {

namespace {

std::size_t words_for(std::uint32_t num_bits) {
  return (std::size_t{num_bits} + 31) / 32;
}

// Position of `n` in a set starting at `base`, computed unsigned so that far-apart values of a
// signed base cannot overflow.
template <typename N>
std::optional<std::uint32_t> bit_index(N base, std::uint32_t num_bits, N n) {
  if (n < base) return std::nullopt;
  const auto diff = static_cast<std::uint64_t>(n) - static_cast<std::uint64_t>(base);
  if (diff >= num_bits) return std::nullopt;
  return static_cast<std::uint32_t>(diff);
}

bool test_bit(const std::vector<std::uint32_t>& bitmap, std::uint32_t k) {
  const std::size_t word = k / 32;
  return word < bitmap.size() && (bitmap[word] & (0x80000000u >> (k % 32))) != 0;
}

// Grows a bitmap that holds fewer words than its width; callers keep k below 256.
void set_bit(std::vector<std::uint32_t>& bitmap, std::uint32_t k) {
  const std::size_t word = k / 32;
  if (word >= bitmap.size()) bitmap.resize(word + 1, 0);
  bitmap[word] |= 0x80000000u >> (k % 32);
}

template <typename N>
constexpr bool is_sequence_number = std::is_same_v<N, SequenceNumber>;

}  // namespace

template <typename N>
NumberSet<N> NumberSet<N>::empty_range(N base, std::uint32_t num_bits) {
  num_bits = std::min(num_bits, rtps_bitmap_max_bits);
  return {base, num_bits, std::vector<std::uint32_t>(words_for(num_bits), 0)};
}

template <typename N>
NumberSet<N> NumberSet<N>::from_members(N base, std::span<const N> members) {
  std::uint32_t width = 0;
  for (N n : members) {
    if (auto k = bit_index(base, rtps_bitmap_max_bits, n)) width = std::max(width, *k + 1);
  }
  NumberSet set = empty_range(base, width);
  for (N n : members)
    set.insert(n);
  return set;
}

template <typename N>
bool NumberSet<N>::contains(N n) const {
  auto k = bit_index(base, num_bits, n);
  return k && test_bit(bitmap, *k);
}

template <typename N>
bool NumberSet<N>::insert(N n) {
  auto k = bit_index(base, std::min(num_bits, rtps_bitmap_max_bits), n);
  if (!k) return false;
  set_bit(bitmap, *k);
  return true;
}

template <typename N>
std::vector<N> NumberSet<N>::members() const {
  // A hostile base near the top of the range must not wrap into small numbers.
  const std::uint64_t room =
      static_cast<std::uint64_t>(std::numeric_limits<N>::max()) - static_cast<std::uint64_t>(base);
  std::vector<N> out;
  for (std::uint32_t k = 0; k < num_bits && k <= room; ++k) {
    if (test_bit(bitmap, k)) out.push_back(static_cast<N>(static_cast<std::uint64_t>(base) + k));
  }
  return out;
}

template <typename N>
void NumberSet<N>::encode(WireWriter& writer) const {
  if constexpr (is_sequence_number<N>) {
    writer.write_sequence_number(base);
  } else {
    writer.write_u32(base);
  }
  writer.write_u32(num_bits);
  for (auto word : bitmap)
    writer.write_u32(word);
}

template <typename N>
CodecResult<NumberSet<N>> NumberSet<N>::decode(WireReader& r) {
  NumberSet set;
  if constexpr (is_sequence_number<N>) {
    NIMBREL_READ_OR_RETURN(set.base, r.read_sequence_number());
  } else {
    NIMBREL_READ_OR_RETURN(set.base, r.read_u32());
  }
  NIMBREL_READ_OR_RETURN(set.num_bits, r.read_u32());
  if (set.num_bits > rtps_bitmap_max_bits) {
    return std::unexpected(CodecError::malformed(
        is_sequence_number<N> ? "SequenceNumberSet.numBits exceeds RTPS_BITMAP_MAX_BITS (256)"
                              : "FragmentNumberSet.numBits exceeds RTPS_BITMAP_MAX_BITS (256)",
        r.position() - 4));
  }
  // The whole bitmap is reported missing, not its first absent word.
  const std::size_t words = words_for(set.num_bits);
  if (!r.has(4 * words)) return std::unexpected(CodecError::eof(4 * words, r.position()));
  set.bitmap.resize(words);
  for (auto& word : set.bitmap)
    NIMBREL_READ_OR_RETURN(word, r.read_u32());
  return set;
}

template struct NumberSet<SequenceNumber>;
template struct NumberSet<FragmentNumber>;

}  // namespace nimbrel::rtps
