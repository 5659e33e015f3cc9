#include "recorder/format.hpp"

#include <algorithm>
#include <string_view>

namespace nimbrel::recorder {
namespace {

void put_u32(std::vector<std::byte>& out, std::uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<std::byte>((v >> shift) & 0xFFU));
}

void put_u64(std::vector<std::byte>& out, std::uint64_t v) {
  for (int shift = 0; shift < 64; shift += 8)
    out.push_back(static_cast<std::byte>((v >> shift) & 0xFFU));
}

std::uint32_t clamped(std::size_t n) {
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(n, max_field_value));
}

void put_bytes(std::vector<std::byte>& out, std::span<const std::byte> bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

// Length first, then exactly as many bytes as the length states.
void put_sized(std::vector<std::byte>& out, std::span<const std::byte> bytes) {
  const std::uint32_t n = clamped(bytes.size());
  put_u32(out, n);
  put_bytes(out, bytes.first(n));
}

void put_string(std::vector<std::byte>& out, std::string_view s) {
  put_sized(out, std::as_bytes(std::span(s.data(), s.size())));
}

}  // namespace

void Header::write(std::vector<std::byte>& out) const {
  const std::uint32_t participant_count = clamped(participants.size());
  const std::uint32_t topic_count = clamped(topics.size());
  put_bytes(out, file_magic);
  put_u32(out, format_version);
  put_u64(out, start_ns);
  put_u32(out, participant_count);
  put_u32(out, topic_count);
  for (std::size_t i = 0; i < participant_count; ++i) {
    const ParticipantEntry& p = participants[i];
    put_bytes(out, std::as_bytes(std::span(p.guid)));
    put_string(out, p.name);
  }
  for (std::size_t i = 0; i < topic_count; ++i) {
    put_string(out, topics[i].type_name);
    put_string(out, topics[i].name);
  }
}

void Frame::write(std::vector<std::byte>& out) const {
  const auto head = prefix();
  out.insert(out.end(), head.begin(), head.end());
  put_bytes(out, payload.first(clamped(payload.size())));
}

std::array<std::byte, frame_overhead> Frame::prefix() const {
  std::array<std::byte, frame_overhead> out{};
  std::size_t at = 0;
  const auto put = [&](std::uint64_t v, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i)
      out[at++] = static_cast<std::byte>((v >> (8 * i)) & 0xFFU);
  };
  put(std::to_integer<std::uint64_t>(frame_tag), 1);
  put(time, 8);
  put(participant_idx, 4);
  put(topic_idx, 4);
  put(kind, 1);
  put(clamped(payload.size()), 4);
  return out;
}

}  // namespace nimbrel::recorder
