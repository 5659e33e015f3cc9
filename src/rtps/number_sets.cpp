// SequenceNumberSet and FragmentNumberSet (DDSI-RTPS 2.5 section 9.4.2.6 and 9.4.2.8). Both share
// one bitmap layout and differ only in the width of their base.
#include <algorithm>
#include <limits>

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

template <typename Set, typename N>
Set from_members_of(N base, std::span<const N> members) {
  std::uint32_t width = 0;
  for (N n : members) {
    if (auto k = bit_index(base, rtps_bitmap_max_bits, n)) width = std::max(width, *k + 1);
  }
  Set set = Set::empty_range(base, width);
  for (N n : members)
    set.insert(n);
  return set;
}

template <typename N>
std::vector<N> members_of(N base, std::uint32_t num_bits, const std::vector<std::uint32_t>& bm) {
  // A hostile base near the top of the range must not wrap into small numbers.
  const std::uint64_t room =
      static_cast<std::uint64_t>(std::numeric_limits<N>::max()) - static_cast<std::uint64_t>(base);
  std::vector<N> out;
  for (std::uint32_t k = 0; k < num_bits && k <= room; ++k) {
    if (test_bit(bm, k)) out.push_back(static_cast<N>(static_cast<std::uint64_t>(base) + k));
  }
  return out;
}

// Reads numBits and the words after a base that has already been read.
WireResult<std::pair<std::uint32_t, std::vector<std::uint32_t>>> read_bitmap(
    WireReader& r, const char* too_wide_message) {
  auto num_bits = r.read_u32();
  if (!num_bits) return std::unexpected(num_bits.error());
  if (*num_bits > rtps_bitmap_max_bits)
    return std::unexpected(WireError::malformed(too_wide_message));
  const std::size_t words = words_for(*num_bits);
  if (!r.has(4 * words)) return std::unexpected(WireError::eof(4 * words, r.position()));
  std::vector<std::uint32_t> bitmap;
  bitmap.reserve(words);
  for (std::size_t i = 0; i < words; ++i)
    bitmap.push_back(*r.read_u32());
  return std::pair{*num_bits, std::move(bitmap)};
}

void write_bitmap(WireWriter& w, std::uint32_t num_bits, const std::vector<std::uint32_t>& bm) {
  w.write_u32(num_bits);
  for (auto word : bm)
    w.write_u32(word);
}

}  // namespace

SequenceNumberSet SequenceNumberSet::empty_range(SequenceNumber base, std::uint32_t num_bits) {
  num_bits = std::min(num_bits, rtps_bitmap_max_bits);
  return {base, num_bits, std::vector<std::uint32_t>(words_for(num_bits), 0)};
}

SequenceNumberSet SequenceNumberSet::from_members(SequenceNumber base,
                                                  std::span<const SequenceNumber> members) {
  return from_members_of<SequenceNumberSet>(base, members);
}

bool SequenceNumberSet::contains(SequenceNumber sn) const {
  auto k = bit_index(base, num_bits, sn);
  return k && test_bit(bitmap, *k);
}

bool SequenceNumberSet::insert(SequenceNumber sn) {
  auto k = bit_index(base, std::min(num_bits, rtps_bitmap_max_bits), sn);
  if (!k) return false;
  set_bit(bitmap, *k);
  return true;
}

std::vector<SequenceNumber> SequenceNumberSet::members() const {
  return members_of(base, num_bits, bitmap);
}

void SequenceNumberSet::write_to(WireWriter& writer) const {
  writer.write_sequence_number(base);
  write_bitmap(writer, num_bits, bitmap);
}

WireResult<Decoded<SequenceNumberSet>> SequenceNumberSet::read_from(std::span<const std::byte> body,
                                                                    std::size_t offset,
                                                                    bool little_endian) {
  WireReader r(body, little_endian);
  r.seek(offset);
  if (offset > body.size() || !r.has(8)) return std::unexpected(WireError::eof(8, offset));
  SequenceNumberSet set;
  set.base = *r.read_sequence_number();
  auto bitmap = read_bitmap(r, "SequenceNumberSet.numBits exceeds RTPS_BITMAP_MAX_BITS (256)");
  if (!bitmap) return std::unexpected(bitmap.error());
  set.num_bits = bitmap->first;
  set.bitmap = std::move(bitmap->second);
  return Decoded<SequenceNumberSet>{std::move(set), r.position()};
}

FragmentNumberSet FragmentNumberSet::empty_range(FragmentNumber base, std::uint32_t num_bits) {
  num_bits = std::min(num_bits, rtps_bitmap_max_bits);
  return {base, num_bits, std::vector<std::uint32_t>(words_for(num_bits), 0)};
}

FragmentNumberSet FragmentNumberSet::from_members(FragmentNumber base,
                                                  std::span<const FragmentNumber> members) {
  return from_members_of<FragmentNumberSet>(base, members);
}

bool FragmentNumberSet::contains(FragmentNumber fragment) const {
  auto k = bit_index(base, num_bits, fragment);
  return k && test_bit(bitmap, *k);
}

bool FragmentNumberSet::insert(FragmentNumber fragment) {
  auto k = bit_index(base, std::min(num_bits, rtps_bitmap_max_bits), fragment);
  if (!k) return false;
  set_bit(bitmap, *k);
  return true;
}

std::vector<FragmentNumber> FragmentNumberSet::members() const {
  return members_of(base, num_bits, bitmap);
}

void FragmentNumberSet::write_to(WireWriter& writer) const {
  writer.write_u32(base);
  write_bitmap(writer, num_bits, bitmap);
}

WireResult<Decoded<FragmentNumberSet>> FragmentNumberSet::read_from(std::span<const std::byte> body,
                                                                    std::size_t offset,
                                                                    bool little_endian) {
  WireReader r(body, little_endian);
  r.seek(offset);
  if (offset > body.size() || !r.has(4)) return std::unexpected(WireError::eof(4, offset));
  FragmentNumberSet set;
  set.base = *r.read_u32();
  auto bitmap = read_bitmap(r, "FragmentNumberSet.numBits exceeds RTPS_BITMAP_MAX_BITS (256)");
  if (!bitmap) return std::unexpected(bitmap.error());
  set.num_bits = bitmap->first;
  set.bitmap = std::move(bitmap->second);
  return Decoded<FragmentNumberSet>{std::move(set), r.position()};
}

}  // namespace nimbrel::rtps
