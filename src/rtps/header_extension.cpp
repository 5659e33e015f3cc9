#include "rtps/header_extension.hpp"

namespace nimbrel::rtps {

namespace {

WireResult<HeChecksum> read_checksum(WireReader& r, std::uint8_t kind) {
  switch (static_cast<ChecksumKind>(kind)) {
    case ChecksumKind::None:
      return HeChecksum{};
    case ChecksumKind::Crc32: {
      auto v = r.read_u32();
      if (!v) return std::unexpected(v.error());
      return HeChecksum{std::in_place_type<std::uint32_t>, *v};
    }
    case ChecksumKind::Crc64: {
      auto v = r.read_u64();
      if (!v) return std::unexpected(v.error());
      return HeChecksum{std::in_place_type<std::uint64_t>, *v};
    }
    case ChecksumKind::Md5: {
      auto v = r.read_array<16>();
      if (!v) return std::unexpected(v.error());
      return HeChecksum{*v};
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
    if (auto ok = parameters->write_to(out.bytes, little_endian); !ok) {
      return std::unexpected(ok.error());
    }
  }
  if (out.bytes.size() > max_he_length) {
    return std::unexpected(WireError::malformed("HE body exceeds MAX_HE_LENGTH"));
  }
  out.flags = flags;
  return out;
}

WireResult<HeaderExtension> HeaderExtension::read_body(std::span<const std::byte> body,
                                                       std::uint8_t flags) {
  if (body.size() > max_he_length) {
    return std::unexpected(WireError::malformed("HE body exceeds MAX_HE_LENGTH"));
  }
  HeaderExtension he;
  he.little_endian = is_little_endian(flags);
  WireReader r(body, he.little_endian);
  if ((flags & flag_message_length) != 0) {
    auto length = r.read_u32();
    if (!length) return std::unexpected(length.error());
    he.message_length = *length;
  }
  if ((flags & flag_timestamp) != 0) {
    if (!r.has(8)) return std::unexpected(WireError::eof(8, r.position()));
    const auto seconds = *r.read_u32();
    he.timestamp = HeTimestamp{seconds, *r.read_u32()};
  }
  if ((flags & flag_uextension4) != 0) {
    auto raw = r.read_array<4>();
    if (!raw) return std::unexpected(raw.error());
    he.uextension4 = *raw;
  }
  if ((flags & flag_wextension8) != 0) {
    auto raw = r.read_array<8>();
    if (!raw) return std::unexpected(raw.error());
    he.wextension8 = *raw;
  }
  auto checksum =
      read_checksum(r, static_cast<std::uint8_t>((flags & checksum_mask) >> checksum_shift));
  if (!checksum) return std::unexpected(checksum.error());
  he.checksum = *checksum;

  if ((flags & flag_parameters) != 0) {
    auto list = ParameterList::from_bytes(body.subspan(r.position()), he.little_endian);
    if (!list) return std::unexpected(list.error());
    if (auto ok = list->validate_must_understand_in_data_pipeline(); !ok) {
      return std::unexpected(ok.error());
    }
    he.parameters = std::move(*list);
  } else if (r.remaining() != 0) {
    return std::unexpected(WireError::malformed("HE trailing bytes without P-flag"));
  }
  return he;
}

}  // namespace nimbrel::rtps
