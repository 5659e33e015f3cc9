#include "rtps/wire_cursor.hpp"

#include "cdr/buffer.hpp"

namespace nimbrel::rtps {

WireReader WireReader::window(std::size_t n, bool little_endian) const {
  const std::size_t start = std::min(pos_, input_.size());
  WireReader out(input_.subspan(start, std::min(n, input_.size() - start)), little_endian);
  out.owner_ = owner_;
  return out;
}

CodecResult<SharedBytes> WireReader::read_shared(std::size_t n) {
  if (!has(n)) return std::unexpected(CodecError::eof(n, pos_));
  const std::byte* first = input_.data() + pos_;
  pos_ += n;
  if (owner_ == nullptr) return SharedBytes::copy_of({first, n});
  return owner_->slice(static_cast<std::size_t>(first - owner_->data()), n);
}

CodecResult<std::span<const std::byte>> WireReader::read_bytes(std::size_t n) {
  if (!has(n)) return std::unexpected(CodecError::eof(n, pos_));
  const auto out = input_.subspan(pos_, n);
  pos_ += n;
  return out;
}

CodecResult<std::int32_t> WireReader::read_i32() {
  auto v = read_u32();
  if (!v) return std::unexpected(v.error());
  return static_cast<std::int32_t>(*v);
}

CodecResult<EntityId> WireReader::read_entity_id() {
  auto raw = read_array<4>();
  if (!raw) return std::unexpected(raw.error());
  return EntityId::from_bytes(*raw);
}

CodecResult<GuidPrefix> WireReader::read_guid_prefix() {
  return read_array<12>();
}

CodecResult<Guid> WireReader::read_guid() {
  auto raw = read_array<16>();
  if (!raw) return std::unexpected(raw.error());
  return Guid::from_bytes(*raw);
}

CodecResult<SequenceNumber> WireReader::read_sequence_number() {
  if (!has(8)) return std::unexpected(CodecError::eof(8, pos_));
  // high * 2^32 + low with a signed high half is exactly the 64-bit two's complement pattern.
  const std::uint64_t high = load<std::uint32_t>();
  const std::uint64_t low = load<std::uint32_t>();
  return static_cast<SequenceNumber>((high << 32) | low);
}

CodecResult<Locator> WireReader::read_locator() {
  if (!has(24)) return std::unexpected(CodecError::eof(24, pos_));
  Locator locator;
  locator.kind = static_cast<std::int32_t>(load<std::uint32_t>());
  locator.port = load<std::uint32_t>();
  NIMBREL_READ_OR_RETURN(locator.address, read_array<16>());
  return locator;
}

CodecResult<std::string> WireReader::read_cdr_string(std::size_t max_length,
                                                     const char* too_long_message) {
  const std::size_t start = pos_;
  std::uint32_t length = 0;
  NIMBREL_READ_OR_RETURN(length, read_u32());
  if (length == 0) {
    return std::unexpected(
        CodecError::malformed("CDR string length 0 (missing null terminator)", start));
  }
  if (length > max_length) {
    return std::unexpected(CodecError::resource_limit(too_long_message, start));
  }
  std::span<const std::byte> raw;
  NIMBREL_READ_OR_RETURN(raw, read_bytes(length));
  if (raw.back() != std::byte{0}) {
    return std::unexpected(CodecError::malformed("CDR string missing null terminator", start));
  }
  const auto text = raw.first(length - 1);
  if (!cdr::is_valid_utf8(text)) {
    return std::unexpected(CodecError::malformed("CDR string is not valid UTF-8", start));
  }
  return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

void WireWriter::write_bytes(std::span<const std::uint8_t> bytes) {
  for (auto b : bytes)
    out_.push_back(std::byte{b});
}

void WireWriter::write_entity_id(const EntityId& id) {
  const auto bytes = id.to_bytes();
  write_bytes(std::span<const std::uint8_t>(bytes));
}

void WireWriter::write_guid(const Guid& guid) {
  const auto bytes = guid.to_bytes();
  write_bytes(std::span<const std::uint8_t>(bytes));
}

void WireWriter::write_sequence_number(SequenceNumber sn) {
  const auto bits = static_cast<std::uint64_t>(sn);
  write_u32(static_cast<std::uint32_t>(bits >> 32));
  write_u32(static_cast<std::uint32_t>(bits & 0xFFFFFFFFu));
}

void WireWriter::write_locator(const Locator& locator) {
  write_i32(locator.kind);
  write_u32(locator.port);
  write_bytes(std::span(locator.address));
}

CodecResult<void> WireWriter::write_cdr_string(std::string_view text) {
  if (text.size() >= std::numeric_limits<std::uint32_t>::max()) {
    return std::unexpected(CodecError::resource_limit("CDR string length exceeds u32::MAX"));
  }
  write_u32(static_cast<std::uint32_t>(text.size() + 1));
  write_bytes(text_bytes(text));
  write_u8(0);
  return {};
}

void WireWriter::pad_to(std::size_t n, std::size_t origin) {
  const std::size_t used = (out_.size() - origin) % n;
  if (used != 0) write_zeros(n - used);
}

void WireWriter::patch_u16(std::size_t offset, std::uint16_t v) {
  const auto lo = static_cast<std::byte>(v & 0xFFu);
  const auto hi = static_cast<std::byte>(v >> 8);
  out_[offset] = little_endian_ ? lo : hi;
  out_[offset + 1] = little_endian_ ? hi : lo;
}

}  // namespace nimbrel::rtps
