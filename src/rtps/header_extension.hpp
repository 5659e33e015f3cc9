// The RTPS 2.5 header extension (DDSI-RTPS 2.5 section 9.4.5.1.2, submessage id 0x80): optional
// message length, timestamp, raw extension words, checksum and parameters, each present when its
// flag is set. Recognised only in messages of version 2.5 and later, directly after the header.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>

#include "rtps/parameter_list.hpp"
#include "rtps/submessages.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::rtps {

struct HeTimestamp {
  std::uint32_t seconds = 0;
  std::uint32_t fraction = 0;
  friend bool operator==(const HeTimestamp&, const HeTimestamp&) = default;
};

// Numbered as flag bits 5-6 carry it.
enum class ChecksumKind : std::uint8_t { None = 0, Crc32 = 1, Crc64 = 2, Md5 = 3 };

// Indexed like ChecksumKind. Values are kept as received; this system never computes them.
using HeChecksum =
    std::variant<std::monostate, std::uint32_t, std::uint64_t, std::array<std::uint8_t, 16>>;

struct HeaderExtension {
  static constexpr std::size_t max_he_length = 16384;
  static constexpr std::uint8_t flag_message_length = 0x02;
  static constexpr std::uint8_t flag_timestamp = 0x04;
  static constexpr std::uint8_t flag_uextension4 = 0x08;
  static constexpr std::uint8_t flag_wextension8 = 0x10;
  static constexpr std::uint8_t checksum_shift = 5;
  static constexpr std::uint8_t checksum_mask = 0x60;
  static constexpr std::uint8_t flag_parameters = 0x80;

  bool little_endian = true;
  std::optional<std::uint32_t> message_length{};
  std::optional<HeTimestamp> timestamp{};
  std::optional<std::array<std::uint8_t, 4>> uextension4;
  std::optional<std::array<std::uint8_t, 8>> wextension8;
  HeChecksum checksum{};
  std::optional<ParameterList> parameters{};

  ChecksumKind checksum_kind() const { return static_cast<ChecksumKind>(checksum.index()); }

  // The byte order is the writer's; `encode_body(he, he.little_endian)` keeps the record's own.
  // Fails past `max_he_length` or for an unframeable parameter.
  std::uint8_t flags(bool le) const;
  CodecResult<void> encode(WireWriter& writer) const;
  static CodecResult<HeaderExtension> decode(WireReader& reader, std::uint8_t flags);

  friend bool operator==(const HeaderExtension&, const HeaderExtension&) = default;
};

}  // namespace nimbrel::rtps
