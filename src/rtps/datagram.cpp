#include "rtps/datagram.hpp"

#include <algorithm>

namespace nimbrel::rtps {

namespace {

constexpr std::array<std::uint8_t, 4> rtps_magic{'R', 'T', 'P', 'S'};
constexpr std::uint8_t must_understand_flag = 0x80;

bool has_header_extension(ProtocolVersion v) {
  return v.major > 2 || (v.major == 2 && v.minor >= 5);
}

template <typename T>
CodecResult<ParsedSubmessage> decode_as(WireReader& body, std::uint8_t flags) {
  auto decoded = T::decode(body, flags);
  if (!decoded) return std::unexpected(decoded.error());
  return ParsedSubmessage{std::move(*decoded)};
}

CodecResult<ParsedSubmessage> decode_submessage(std::uint8_t id, std::uint8_t flags,
                                                WireReader& body, bool header_extensions,
                                                bool first) {
  switch (id) {
    case submessage_id::acknack:
      return decode_as<AckNackSubmessage>(body, flags);
    case submessage_id::heartbeat:
      return decode_as<HeartbeatSubmessage>(body, flags);
    case submessage_id::gap:
      return decode_as<GapSubmessage>(body, flags);
    case submessage_id::info_ts:
      return decode_as<InfoTimestampSubmessage>(body, flags);
    case submessage_id::info_src:
      return decode_as<InfoSourceSubmessage>(body, flags);
    case submessage_id::info_dst:
      return decode_as<InfoDestinationSubmessage>(body, flags);
    case submessage_id::info_reply:
      return decode_as<InfoReplySubmessage>(body, flags);
    case submessage_id::nack_frag:
      return decode_as<NackFragSubmessage>(body, flags);
    case submessage_id::heartbeat_frag:
      return decode_as<HeartbeatFragSubmessage>(body, flags);
    case submessage_id::data:
      return decode_as<DataSubmessage>(body, flags);
    case submessage_id::data_frag:
      return decode_as<DataFragSubmessage>(body, flags);
    default:
      break;
  }
  if (id == submessage_id::header_extension && header_extensions) {
    if (!first) {
      return std::unexpected(
          CodecError::malformed("HeaderExtension must appear directly after the RTPS header"));
    }
    return decode_as<HeaderExtension>(body, flags);
  }
  if ((flags & must_understand_flag) != 0) {
    return std::unexpected(
        CodecError::malformed("Unknown submessage id with must-understand flag"));
  }
  return ParsedSubmessage{UnknownSubmessage{id, flags}};
}

}  // namespace

CodecResult<ParsedDatagram> ParsedDatagram::decode(WireReader& reader) {
  auto prefix = DatagramPrefix::decode(reader);
  if (!prefix) return std::unexpected(prefix.error());
  if (prefix->stopped_by) return std::unexpected(*prefix->stopped_by);
  return std::move(prefix->datagram);
}

CodecResult<DatagramPrefix> DatagramPrefix::decode(WireReader& r) {
  const std::size_t start = r.position();
  if (!r.has(rtps_header_size)) return std::unexpected(CodecError::eof(rtps_header_size, start));
  CodecError bad_magic{.kind = CodecError::Kind::BadMagic, .offset = start};
  NIMBREL_READ_OR_RETURN(bad_magic.magic, r.read_array<4>());
  if (!std::ranges::equal(bad_magic.magic, rtps_magic)) return std::unexpected(bad_magic);
  DatagramPrefix result;
  ParsedDatagram& parsed = result.datagram;
  std::array<std::uint8_t, 2> version{};
  NIMBREL_READ_OR_RETURN(version, r.read_array<2>());
  NIMBREL_READ_OR_RETURN(parsed.vendor_id, r.read_array<2>());
  NIMBREL_READ_OR_RETURN(parsed.guid_prefix, r.read_guid_prefix());
  parsed.version = {version[0], version[1]};
  const bool header_extensions = has_header_extension(parsed.version);

  // One allocation for a typical datagram instead of one per growth step.
  parsed.submessages.reserve(std::min<std::size_t>(16, r.remaining() / submessage_header_size));
  while (r.remaining() > 0) {
    const std::size_t offset = r.position();
    if (!r.has(submessage_header_size)) {
      result.stopped_by = CodecError::eof(submessage_header_size, offset);
      break;
    }
    std::uint8_t id = 0;
    std::uint8_t flags = 0;
    NIMBREL_READ_OR_RETURN(id, r.read_u8());
    NIMBREL_READ_OR_RETURN(flags, r.read_u8());
    const bool little_endian = is_little_endian(flags);
    std::uint16_t octets_to_next = 0;
    NIMBREL_READ_OR_RETURN(octets_to_next, r.with_byte_order(little_endian).read_u16());
    const std::size_t body_start = offset + submessage_header_size;
    // 0 is how the last submessage may say it runs to the end of the message, except for PAD and
    // INFO_TS, whose bodies may be empty (DDSI-RTPS 2.5 section 9.4.5.1.3).
    const bool to_end =
        octets_to_next == 0 && id != submessage_id::pad && id != submessage_id::info_ts;
    const std::size_t end = to_end ? r.size() : body_start + octets_to_next;
    if (end > r.size()) {
      result.stopped_by = CodecError::eof(end - r.size(), body_start);
      break;
    }
    r.seek(body_start);
    WireReader body = r.window(end - body_start, little_endian);
    auto submessage =
        decode_submessage(id, flags, body, header_extensions, parsed.submessages.empty());
    if (!submessage) {
      result.stopped_by = submessage.error();
      break;
    }
    parsed.submessages.push_back(std::move(*submessage));
    r.seek(end);
  }
  return result;
}

void write_rtps_header(std::vector<std::byte>& out, ProtocolVersion version, VendorId vendor_id,
                       const GuidPrefix& prefix) {
  WireWriter w(out, /*little_endian=*/true);
  w.write_bytes(std::span(rtps_magic));
  w.write_u8(version.major);
  w.write_u8(version.minor);
  w.write_bytes(std::span(vendor_id));
  w.write_bytes(std::span(prefix));
}

CodecResult<void> write_submessage(std::vector<std::byte>& out, std::uint8_t id, std::uint8_t flags,
                                   std::span<const std::byte> body, const char* too_long_message) {
  if (body.size() > max_submessage_body) {
    return std::unexpected(CodecError::resource_limit(too_long_message));
  }
  WireWriter w(out, is_little_endian(flags));
  w.write_u8(id);
  w.write_u8(flags);
  w.write_u16(static_cast<std::uint16_t>(body.size()));
  w.write_bytes(body);
  return {};
}

CodecResult<std::vector<std::byte>> build_data_datagram(const GuidPrefix& prefix,
                                                        ProtocolVersion version, VendorId vendor_id,
                                                        std::span<const DataSubmessage> data) {
  std::vector<std::byte> out;
  write_rtps_header(out, version, vendor_id, prefix);
  for (const auto& submessage : data) {
    auto body = encode_body(submessage, /*little_endian=*/true);
    if (!body) return std::unexpected(body.error());
    if (auto ok = write_submessage(out, submessage_id::data, body->flags, body->bytes,
                                   "DATA submessage body exceeds u16::MAX");
        !ok) {
      return std::unexpected(ok.error());
    }
  }
  return out;
}

CodecResult<std::vector<std::byte>> build_reply_datagram(const GuidPrefix& reader_prefix,
                                                         VendorId vendor_id,
                                                         const GuidPrefix& writer_prefix,
                                                         std::uint8_t id, std::uint8_t flags,
                                                         std::span<const std::byte> body) {
  if (body.size() > max_submessage_body) {
    return std::unexpected(CodecError::resource_limit("submessage body exceeds u16::MAX"));
  }
  std::vector<std::byte> out;
  out.reserve(rtps_header_size + 2 * submessage_header_size + writer_prefix.size() + body.size());
  write_rtps_header(out, protocol_version_2_5, vendor_id, reader_prefix);
  const EncodedBody info_dst = encode_body(InfoDestinationSubmessage{writer_prefix}, true);
  (void)write_submessage(out, submessage_id::info_dst, info_dst.flags, info_dst.bytes, "");
  (void)write_submessage(out, id, flags, body, "submessage body exceeds u16::MAX");
  return out;
}

}  // namespace nimbrel::rtps
