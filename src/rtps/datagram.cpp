#include "rtps/datagram.hpp"

#include <algorithm>

namespace nimbrel::rtps {

namespace {

constexpr std::array<std::byte, 4> rtps_magic{std::byte{'R'}, std::byte{'T'}, std::byte{'P'},
                                              std::byte{'S'}};
constexpr std::uint8_t must_understand_flag = 0x80;

bool has_header_extension(ProtocolVersion v) {
  return v.major > 2 || (v.major == 2 && v.minor >= 5);
}

template <typename T>
WireResult<ParsedSubmessage> wrap(WireResult<T>&& decoded) {
  if (!decoded) return std::unexpected(decoded.error());
  return ParsedSubmessage{std::move(*decoded)};
}

WireResult<ParsedSubmessage> decode_submessage(std::uint8_t id, std::uint8_t flags,
                                               const SharedBytes& body, bool header_extensions,
                                               bool first) {
  const auto bytes = body.span();
  switch (id) {
    case submessage_id::acknack:
      return wrap(AckNackSubmessage::read_body(bytes, flags));
    case submessage_id::heartbeat:
      return wrap(HeartbeatSubmessage::read_body(bytes, flags));
    case submessage_id::gap:
      return wrap(GapSubmessage::read_body(bytes, flags));
    case submessage_id::info_ts:
      return wrap(InfoTimestampSubmessage::read_body(bytes, flags));
    case submessage_id::info_src:
      return wrap(InfoSourceSubmessage::read_body(bytes, flags));
    case submessage_id::info_dst:
      return wrap(InfoDestinationSubmessage::read_body(bytes, flags));
    case submessage_id::info_reply:
      return wrap(InfoReplySubmessage::read_body(bytes, flags));
    case submessage_id::nack_frag:
      return wrap(NackFragSubmessage::read_body(bytes, flags));
    case submessage_id::heartbeat_frag:
      return wrap(HeartbeatFragSubmessage::read_body(bytes, flags));
    case submessage_id::data:
      return wrap(DataSubmessage::read_body_with_flags(body, flags));
    case submessage_id::data_frag:
      return wrap(DataFragSubmessage::read_body(body, flags));
    default:
      break;
  }
  if (id == submessage_id::header_extension && header_extensions) {
    if (!first) {
      return std::unexpected(
          WireError::malformed("HeaderExtension must appear directly after the RTPS header"));
    }
    return wrap(HeaderExtension::read_body(bytes, flags));
  }
  if ((flags & must_understand_flag) != 0) {
    return std::unexpected(WireError::malformed("Unknown submessage id with must-understand flag"));
  }
  return ParsedSubmessage{UnknownSubmessage{id, flags}};
}

}  // namespace

WireResult<ParsedDatagram> decode_datagram(const SharedBytes& datagram) {
  auto prefix = decode_datagram_prefix(datagram);
  if (!prefix) return std::unexpected(prefix.error());
  if (prefix->stopped_by) return std::unexpected(*prefix->stopped_by);
  return std::move(prefix->datagram);
}

WireResult<DatagramPrefix> decode_datagram_prefix(const SharedBytes& datagram) {
  const auto input = datagram.span();
  if (input.size() < rtps_header_size) {
    return std::unexpected(WireError::eof(rtps_header_size, 0));
  }
  if (!std::ranges::equal(input.first(4), rtps_magic)) {
    WireError error{.kind = WireError::Kind::BadMagic};
    std::ranges::transform(input.first(4), error.magic.begin(),
                           [](std::byte b) { return std::to_integer<std::uint8_t>(b); });
    return std::unexpected(error);
  }
  WireReader header(input.first(rtps_header_size), /*little_endian=*/true);
  header.seek(rtps_magic.size());
  DatagramPrefix result;
  ParsedDatagram& parsed = result.datagram;
  std::array<std::uint8_t, 2> version{};
  NIMBREL_READ_OR_RETURN(version, header.read_array<2>());
  NIMBREL_READ_OR_RETURN(parsed.vendor_id, header.read_array<2>());
  NIMBREL_READ_OR_RETURN(parsed.guid_prefix, header.read_guid_prefix());
  parsed.version = {version[0], version[1]};
  const bool header_extensions = has_header_extension(parsed.version);

  // One allocation for a typical datagram instead of one per growth step.
  parsed.submessages.reserve(
      std::min<std::size_t>(16, (input.size() - rtps_header_size) / submessage_header_size));
  std::size_t offset = rtps_header_size;
  while (offset < input.size()) {
    if (input.size() - offset < submessage_header_size) {
      result.stopped_by = WireError::eof(submessage_header_size, offset);
      break;
    }
    const auto id = std::to_integer<std::uint8_t>(input[offset]);
    const auto flags = std::to_integer<std::uint8_t>(input[offset + 1]);
    auto octets_to_next =
        WireReader(input.subspan(offset + 2, 2), is_little_endian(flags)).read_u16();
    if (!octets_to_next) {
      result.stopped_by = octets_to_next.error();
      break;
    }
    const std::size_t body_start = offset + submessage_header_size;
    // 0 is how the last submessage may say it runs to the end of the message, except for PAD and
    // INFO_TS, whose bodies may be empty (DDSI-RTPS 2.5 section 9.4.5.1.3).
    const bool to_end =
        *octets_to_next == 0 && id != submessage_id::pad && id != submessage_id::info_ts;
    const std::size_t end = to_end ? input.size() : body_start + *octets_to_next;
    if (end > input.size()) {
      result.stopped_by = WireError::eof(end - input.size(), body_start);
      break;
    }
    auto submessage = decode_submessage(id, flags, datagram.slice(body_start, end - body_start),
                                        header_extensions, parsed.submessages.empty());
    if (!submessage) {
      result.stopped_by = submessage.error();
      break;
    }
    parsed.submessages.push_back(std::move(*submessage));
    offset = end;
  }
  return result;
}

void write_rtps_header(std::vector<std::byte>& out, ProtocolVersion version, VendorId vendor_id,
                       const GuidPrefix& prefix) {
  WireWriter w(out, /*little_endian=*/true);
  w.write_bytes(std::span<const std::byte>(rtps_magic));
  w.write_u8(version.major);
  w.write_u8(version.minor);
  w.write_bytes(std::span(vendor_id));
  w.write_bytes(std::span(prefix));
}

WireResult<void> write_submessage(std::vector<std::byte>& out, std::uint8_t id, std::uint8_t flags,
                                  std::span<const std::byte> body, const char* too_long_message) {
  if (body.size() > max_submessage_body) {
    return std::unexpected(WireError::resource_limit(too_long_message));
  }
  WireWriter w(out, is_little_endian(flags));
  w.write_u8(id);
  w.write_u8(flags);
  w.write_u16(static_cast<std::uint16_t>(body.size()));
  w.write_bytes(body);
  return {};
}

WireResult<std::vector<std::byte>> encode_data_datagram(const GuidPrefix& prefix,
                                                        ProtocolVersion version, VendorId vendor_id,
                                                        std::span<const DataSubmessage> data) {
  std::vector<std::byte> out;
  write_rtps_header(out, version, vendor_id, prefix);
  for (const auto& submessage : data) {
    auto body = submessage.write_body(/*little_endian=*/true);
    if (!body) return std::unexpected(body.error());
    if (auto ok = write_submessage(out, submessage_id::data, body->flags, body->bytes,
                                   "DATA submessage body exceeds u16::MAX");
        !ok) {
      return std::unexpected(ok.error());
    }
  }
  return out;
}

WireResult<std::vector<std::byte>> encode_reply_datagram(const GuidPrefix& reader_prefix,
                                                         VendorId vendor_id,
                                                         const GuidPrefix& writer_prefix,
                                                         std::uint8_t id, std::uint8_t flags,
                                                         std::span<const std::byte> body) {
  if (body.size() > max_submessage_body) {
    return std::unexpected(WireError::resource_limit("submessage body exceeds u16::MAX"));
  }
  std::vector<std::byte> out;
  out.reserve(rtps_header_size + 2 * submessage_header_size + writer_prefix.size() + body.size());
  write_rtps_header(out, protocol_version_2_5, vendor_id, reader_prefix);
  const EncodedBody info_dst = InfoDestinationSubmessage{writer_prefix}.write_body(true);
  (void)write_submessage(out, submessage_id::info_dst, info_dst.flags, info_dst.bytes, "");
  (void)write_submessage(out, id, flags, body, "submessage body exceeds u16::MAX");
  return out;
}

}  // namespace nimbrel::rtps
