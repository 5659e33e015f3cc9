// What the MCAP writer and reader both know of the format: the magic that opens and closes a
// file, the record opcodes, the CRC, and the schema and channel records as the tools handle them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace nimbrel::recorder {

inline constexpr std::array<std::byte, 8> mcap_magic{
    std::byte{0x89}, std::byte{'M'}, std::byte{'C'},  std::byte{'A'},
    std::byte{'P'},  std::byte{'0'}, std::byte{'\r'}, std::byte{'\n'}};

enum class McapOp : std::uint8_t {
  Header = 0x01,
  Footer = 0x02,
  Schema = 0x03,
  Channel = 0x04,
  Message = 0x05,
  Chunk = 0x06,
  MessageIndex = 0x07,
  ChunkIndex = 0x08,
  Attachment = 0x09,
  AttachmentIndex = 0x0A,
  Statistics = 0x0B,
  Metadata = 0x0C,
  MetadataIndex = 0x0D,
  SummaryOffset = 0x0E,
  DataEnd = 0x0F,
};

// The CRC-32 of MCAP's CRC fields, continued from `crc` (0 to start) over `bytes`.
std::uint32_t mcap_crc(std::uint32_t crc, std::span<const std::byte> bytes);

using StringPairs = std::vector<std::pair<std::string, std::string>>;

struct McapSchema {
  std::uint16_t id = 0;
  std::string name;
  std::string encoding;
  std::vector<std::byte> data;
};

struct McapChannel {
  std::uint16_t id = 0;
  std::uint16_t schema_id = 0;  // 0: none
  std::string topic;
  std::string message_encoding;
  StringPairs metadata;
};

}  // namespace nimbrel::recorder
