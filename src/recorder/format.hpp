// The `.nbrlrec` recording file: a little-endian header naming the participants and topics, then
// one frame per recorded sample, back to back until the end of the file. The encoders append to a
// wire cursor's buffer, little-endian whatever its byte order; `RecordingWriter` moves the result
// to a sink. Reading back is `reader`'s.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "rtps/wire_cursor.hpp"

namespace nimbrel::recorder {

inline constexpr std::array<std::byte, 4> file_magic{std::byte{'N'}, std::byte{'B'}, std::byte{'R'},
                                                     std::byte{'L'}};
inline constexpr std::uint32_t format_version = 1;
inline constexpr std::byte frame_tag{0x46};
inline constexpr std::size_t frame_overhead = 22;
// Every length and count field is 32 bits wide.
inline constexpr std::uint64_t max_field_value = 0xFFFF'FFFF;

struct ParticipantEntry {
  std::string name;
  std::array<std::uint8_t, 16> guid{};
};

struct TopicKey {
  std::string name;
  std::string type_name;
  friend bool operator==(const TopicKey&, const TopicKey&) = default;
};

struct ReadError;  // `reader`'s, where it is complete

struct Header {
  std::vector<ParticipantEntry> participants;
  std::vector<TopicKey> topics;
  std::uint64_t start_ns = 0;

  // A list or string longer than a 32-bit field can state is cut to what the field states, so the
  // output always parses.
  void encode(rtps::WireWriter& writer) const;
  // From the reader's position, little-endian whatever its byte order; leaves the reader where
  // the frames start.
  static std::expected<Header, ReadError> decode(rtps::WireReader& reader);
};

// Borrows its payload: a frame is encoded as soon as it is built.
struct Frame {
  std::span<const std::byte> payload;
  std::uint64_t time = 0;  // nanoseconds since the header's start_ns
  std::uint32_t participant_idx = 0;
  std::uint32_t topic_idx = 0;
  std::uint8_t kind = 0;

  // A payload past the 32-bit length is cut to it; `RecordingWriter` refuses such frames first.
  void encode(rtps::WireWriter& writer) const;
  // Everything before the payload, so that the payload can be written from where it lies.
  std::array<std::byte, frame_overhead> prefix() const;
};

}  // namespace nimbrel::recorder
