#include "rtps/participant_message_data.hpp"

#include "rtps/participant_data.hpp"
#include "rtps/wire_cursor.hpp"

namespace nimbrel::rtps {

namespace {

constexpr std::size_t header_size = 4;
// GUID prefix, kind and data length: the standard form.
constexpr std::size_t short_form_size = 20;
// Full GUID, kind and data length: the form this system writes.
constexpr std::size_t long_form_size = 24;

CodecError data_too_long(std::size_t offset) {
  return CodecError::resource_limit("ParticipantMessageData.data exceeds MAX_DATA_LEN", offset);
}

}  // namespace

CodecResult<void> ParticipantMessageData::encode(WireWriter& w) const {
  if (data.size() > max_data_len) return std::unexpected(data_too_long(0));
  w.reserve(header_size + long_form_size + data.size());
  const auto id = w.little_endian() ? encapsulation::cdr_le : encapsulation::cdr_be;
  w.write_bytes(std::span<const std::uint8_t>(id));
  w.write_u16(0);
  w.write_guid(participant_guid);
  w.write_u32(kind);
  w.write_u32(static_cast<std::uint32_t>(data.size()));
  w.write_bytes(std::span<const std::byte>(data));
  return {};
}

CodecResult<ParticipantMessageData> ParticipantMessageData::decode(WireReader& reader) {
  const std::size_t start = reader.position();
  if (!reader.has(header_size)) return std::unexpected(CodecError::eof(header_size, start));
  std::array<std::uint8_t, 2> id{};
  NIMBREL_READ_OR_RETURN(id, reader.read_array<2>());
  if (id != encapsulation::cdr_be && id != encapsulation::cdr_le && id != encapsulation::cdr2_be &&
      id != encapsulation::cdr2_le) {
    return std::unexpected(unsupported_encapsulation(id, start));
  }
  const bool le = id == encapsulation::cdr_le || id == encapsulation::cdr2_le;
  WireReader r = reader.with_byte_order(le);
  r.seek(start + header_size);
  const std::size_t body = r.remaining();
  if (body < short_form_size) {
    return std::unexpected(CodecError::eof(short_form_size, start + header_size));
  }
  const bool long_form = body >= long_form_size;
  ParticipantMessageData message;
  NIMBREL_READ_OR_RETURN(message.participant_guid.prefix, r.read_guid_prefix());
  message.participant_guid.entity_id = entity_ids::participant;
  if (long_form) NIMBREL_READ_OR_RETURN(message.participant_guid.entity_id, r.read_entity_id());
  NIMBREL_READ_OR_RETURN(message.kind, r.read_u32());
  std::uint32_t length = 0;
  NIMBREL_READ_OR_RETURN(length, r.read_u32());
  if (length > max_data_len) return std::unexpected(data_too_long(r.position() - 4));
  std::span<const std::byte> bytes;
  NIMBREL_READ_OR_RETURN(bytes, r.read_bytes(length));
  message.data.assign(bytes.begin(), bytes.end());
  reader.seek(r.position());
  return message;
}

}  // namespace nimbrel::rtps
