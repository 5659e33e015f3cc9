#include "recorder/format.hpp"

#include <algorithm>

namespace nimbrel::recorder {
namespace {

std::uint32_t clamped(std::size_t n) {
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(n, max_field_value));
}

// Length first, then exactly as many bytes as the length states.
void write_sized(rtps::WireWriter& out, std::span<const std::byte> bytes) {
  const std::uint32_t n = clamped(bytes.size());
  out.write_u32(n);
  out.write_bytes(bytes.first(n));
}

}  // namespace

void Header::encode(rtps::WireWriter& writer) const {
  rtps::WireWriter out = writer.with_byte_order(/*little_endian=*/true);
  const std::uint32_t participant_count = clamped(participants.size());
  const std::uint32_t topic_count = clamped(topics.size());
  out.write_bytes(std::span<const std::byte>(file_magic));
  out.write_u32(format_version);
  out.write_u64(start_ns);
  out.write_u32(participant_count);
  out.write_u32(topic_count);
  for (std::size_t i = 0; i < participant_count; ++i) {
    const ParticipantEntry& p = participants[i];
    out.write_bytes(std::span<const std::uint8_t>(p.guid));
    write_sized(out, rtps::text_bytes(p.name));
  }
  for (std::size_t i = 0; i < topic_count; ++i) {
    write_sized(out, rtps::text_bytes(topics[i].type_name));
    write_sized(out, rtps::text_bytes(topics[i].name));
  }
}

void Frame::encode(rtps::WireWriter& writer) const {
  const auto head = prefix();
  writer.write_bytes(std::span<const std::byte>(head));
  writer.write_bytes(payload.first(clamped(payload.size())));
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
