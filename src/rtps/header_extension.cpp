#include "rtps/header_extension.hpp"

namespace nimbrel::rtps {

namespace {

WireResult<HeChecksum> read_checksum(WireReader& r, std::uint8_t kind) {
  switch (static_cast<ChecksumKind>(kind)) {
    case ChecksumKind::None:
      return HeChecksum{};
    case ChecksumKind::Crc32: {
      std::uint32_t crc = 0;
      NIMBREL_READ_OR_RETURN(crc, r.read_u32());
      return HeChecksum{std::in_place_type<std::uint32_t>, crc};
    }
    case ChecksumKind::Crc64: {
      std::uint64_t crc = 0;
      NIMBREL_READ_OR_RETURN(crc, r.read_u64());
      return HeChecksum{std::in_place_type<std::uint64_t>, crc};
    }
    case ChecksumKind::Md5: {
      std::array<std::uint8_t, 16> md5{};
      NIMBREL_READ_OR_RETURN(md5, r.read_array<16>());
      return HeChecksum{md5};
    }
  }
  return HeChecksum{};
}

}  // namespace

WireResult<EncodedBody> HeaderExtension::write_body() const {
  EncodedBody out;
  std::uint8_t flags = little_endian ? endianness_flag : 0;
  WireWriter w(out.bytes, little_endian);
  if (message_length) {
    flags |= flag_message_length;
    w.write_u32(*message_length);
  }
  if (timestamp) {
    flags |= flag_timestamp;
    w.write_u32(timestamp->seconds);
    w.write_u32(timestamp->fraction);
  }
  if (uextension4) {
    flags |= flag_uextension4;
    w.write_bytes(std::span(*uextension4));
  }
  if (wextension8) {
    flags |= flag_wextension8;
    w.write_bytes(std::span(*wextension8));
  }
  flags = static_cast<std::uint8_t>(flags | (checksum.index() << checksum_shift));
  if (const auto* crc32 = std::get_if<std::uint32_t>(&checksum)) w.write_u32(*crc32);
  if (const auto* crc64 = std::get_if<std::uint64_t>(&checksum)) w.write_u64(*crc64);
  if (const auto* md5 = std::get_if<std::array<std::uint8_t, 16>>(&checksum)) {
    w.write_bytes(std::span(*md5));
  }
  if (parameters) {
    flags |= flag_parameters;
    if (auto ok = parameters->write_to(w); !ok) return std::unexpected(ok.error());
  }
  if (out.bytes.size() > max_he_length) {
    return std::unexpected(WireError::resource_limit("HE body exceeds MAX_HE_LENGTH"));
  }
  out.flags = flags;
  return out;
}

WireResult<HeaderExtension> HeaderExtension::read_body(std::span<const std::byte> body,
                                                       std::uint8_t flags) {
  if (body.size() > max_he_length) {
    return std::unexpected(WireError::resource_limit("HE body exceeds MAX_HE_LENGTH"));
  }
  HeaderExtension he;
  he.little_endian = is_little_endian(flags);
  WireReader r(body, he.little_endian);
  if ((flags & flag_message_length) != 0) {
    NIMBREL_READ_OR_RETURN(he.message_length, r.read_u32());
  }
  if ((flags & flag_timestamp) != 0) {
    // Both halves are reported missing together.
    if (!r.has(8)) return std::unexpected(WireError::eof(8, r.position()));
    HeTimestamp timestamp;
    NIMBREL_READ_OR_RETURN(timestamp.seconds, r.read_u32());
    NIMBREL_READ_OR_RETURN(timestamp.fraction, r.read_u32());
    he.timestamp = timestamp;
  }
  if ((flags & flag_uextension4) != 0) NIMBREL_READ_OR_RETURN(he.uextension4, r.read_array<4>());
  if ((flags & flag_wextension8) != 0) NIMBREL_READ_OR_RETURN(he.wextension8, r.read_array<8>());
  NIMBREL_READ_OR_RETURN(
      he.checksum,
      read_checksum(r, static_cast<std::uint8_t>((flags & checksum_mask) >> checksum_shift)));

  if ((flags & flag_parameters) != 0) {
    // Offsets in the list's errors count from the list's start.
    WireReader list_reader(body.subspan(r.position()), he.little_endian);
    NIMBREL_READ_OR_RETURN(he.parameters, ParameterList::read_from(list_reader));
    if (auto ok = he.parameters->validate_must_understand_in_data_pipeline(); !ok) {
      return std::unexpected(ok.error());
    }
  } else if (r.remaining() != 0) {
    return std::unexpected(WireError::malformed("HE trailing bytes without P-flag"));
  }
  return he;
}

}  // namespace nimbrel::rtps
