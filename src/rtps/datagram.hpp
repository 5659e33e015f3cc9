// RTPS message framing (DDSI-RTPS 2.5 sections 8.3.3 and 9.4.1): `ParsedDatagram::decode` splits
// a received datagram into typed submessages, all or nothing; `DatagramPrefix::decode` keeps what
// precedes a submessage that fails, as a receiver must; the builders make whole datagrams without
// an MTU (one or more DATA, or a reply addressed with INFO_DST). MTU-bound packing is
// `MessageBuilder`'s job.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "foundation/shared_bytes.hpp"
#include "rtps/header_extension.hpp"
#include "rtps/submessages.hpp"
#include "rtps/wire_cursor.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::rtps {

inline constexpr std::size_t rtps_header_size = 20;
inline constexpr std::size_t submessage_header_size = 4;
inline constexpr std::size_t max_submessage_body = 0xFFFF;

using ParsedSubmessage =
    std::variant<DataSubmessage, DataFragSubmessage, HeartbeatSubmessage, HeartbeatFragSubmessage,
                 AckNackSubmessage, NackFragSubmessage, GapSubmessage, HeaderExtension,
                 InfoSourceSubmessage, InfoDestinationSubmessage, InfoReplySubmessage,
                 InfoTimestampSubmessage, UnknownSubmessage>;

struct ParsedDatagram {
  ProtocolVersion version{};
  VendorId vendor_id{};
  GuidPrefix guid_prefix{};
  std::vector<ParsedSubmessage> submessages{};  // in arrival order

  // From the reader's position to its end, whatever its byte order. Payloads and fragments are
  // views of the reader's buffer when it was made over a SharedBytes.
  static CodecResult<ParsedDatagram> decode(WireReader& reader);

  friend bool operator==(const ParsedDatagram&, const ParsedDatagram&) = default;
};

// The submessages before the first one that does not decode, and that one's error. Only a bad
// RTPS header fails the whole datagram.
struct DatagramPrefix {
  ParsedDatagram datagram;
  std::optional<CodecError> stopped_by{};

  // As `ParsedDatagram::decode`.
  static CodecResult<DatagramPrefix> decode(WireReader& reader);
};

// "RTPS", version, vendor id, prefix.
void write_rtps_header(std::vector<std::byte>& out, ProtocolVersion version, VendorId vendor_id,
                       const GuidPrefix& prefix);
// Submessage header and body; octetsToNextHeader follows the E bit of `flags`. A body over
// 65,535 bytes fails with `too_long_message`.
CodecResult<void> write_submessage(std::vector<std::byte>& out, std::uint8_t id, std::uint8_t flags,
                                   std::span<const std::byte> body, const char* too_long_message);

// The header and one little-endian DATA per entry.
CodecResult<std::vector<std::byte>> build_data_datagram(const GuidPrefix& prefix,
                                                        ProtocolVersion version, VendorId vendor_id,
                                                        std::span<const DataSubmessage> data);

// A reader's reply to one remote writer: header (version 2.5, the reader's vendor id and prefix),
// INFO_DST naming the writer's prefix, then the submessage with the given flags.
CodecResult<std::vector<std::byte>> build_reply_datagram(const GuidPrefix& reader_prefix,
                                                         VendorId vendor_id,
                                                         const GuidPrefix& writer_prefix,
                                                         std::uint8_t id, std::uint8_t flags,
                                                         std::span<const std::byte> body);

}  // namespace nimbrel::rtps
