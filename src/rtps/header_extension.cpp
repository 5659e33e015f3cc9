#include "rtps/header_extension.hpp"

namespace nimbrel::rtps {

namespace {

CodecResult<HeChecksum> read_checksum(WireReader& r, std::uint8_t kind) {
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

std::uint8_t HeaderExtension::flags(bool le) const {
  return static_cast<std::uint8_t>(
      flag_if(le, endianness_flag) | flag_if(message_length.has_value(), flag_message_length) |
      flag_if(timestamp.has_value(), flag_timestamp) |
      flag_if(uextension4.has_value(), flag_uextension4) |
      flag_if(wextension8.has_value(), flag_wextension8) | (checksum.index() << checksum_shift) |
      flag_if(parameters.has_value(), flag_parameters));
}

CodecResult<void> HeaderExtension::encode(WireWriter& w) const {
  const std::size_t start = w.size();
  if (message_length) w.write_u32(*message_length);
  if (timestamp) {
    w.write_u32(timestamp->seconds);
    w.write_u32(timestamp->fraction);
  }
  if (uextension4) w.write_bytes(std::span(*uextension4));
  if (wextension8) w.write_bytes(std::span(*wextension8));
  if (const auto* crc32 = std::get_if<std::uint32_t>(&checksum)) w.write_u32(*crc32);
  if (const auto* crc64 = std::get_if<std::uint64_t>(&checksum)) w.write_u64(*crc64);
  if (const auto* md5 = std::get_if<std::array<std::uint8_t, 16>>(&checksum)) {
    w.write_bytes(std::span(*md5));
  }
  if (parameters) {
    if (auto ok = parameters->encode(w); !ok) return ok;
  }
  if (w.size() - start > max_he_length) {
    return std::unexpected(CodecError::resource_limit("HE body exceeds MAX_HE_LENGTH"));
  }
  return {};
}

CodecResult<HeaderExtension> HeaderExtension::decode(WireReader& r, std::uint8_t flags) {
  if (r.remaining() > max_he_length) {
    return std::unexpected(
        CodecError::resource_limit("HE body exceeds MAX_HE_LENGTH", r.position()));
  }
  HeaderExtension he;
  he.little_endian = r.little_endian();
  if ((flags & flag_message_length) != 0) {
    NIMBREL_READ_OR_RETURN(he.message_length, r.read_u32());
  }
  if ((flags & flag_timestamp) != 0) {
    // Both halves are reported missing together.
    if (!r.has(8)) return std::unexpected(CodecError::eof(8, r.position()));
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
    WireReader list_reader = r.rest(he.little_endian);
    NIMBREL_READ_OR_RETURN(he.parameters, ParameterList::decode(list_reader));
    if (auto ok = he.parameters->validate_must_understand_in_data_pipeline(); !ok) {
      return std::unexpected(ok.error());
    }
    r.seek(r.position() + list_reader.position());
  } else if (r.remaining() != 0) {
    return std::unexpected(CodecError::malformed("HE trailing bytes without P-flag", r.position()));
  }
  return he;
}

}  // namespace nimbrel::rtps
