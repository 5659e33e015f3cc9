#include "security/generic_message.hpp"

#include <algorithm>

#include "cdr/buffer.hpp"
#include "rtps/wire_cursor.hpp"

namespace nimbrel::security {
namespace {

using Message = ParticipantGenericMessage;
using Reader = rtps::WireReader;

std::unexpected<CodecError> fail(const char* text, const Reader& in) {
  return std::unexpected(CodecError::rejected(text, in.position()));
}

constexpr const char* truncated = "generic_message: truncated";

CodecResult<rtps::Guid> read_guid(Reader& in) {
  auto guid = in.read_guid();
  if (!guid) return fail(truncated, in);
  return *guid;
}

CodecResult<std::uint32_t> read_u32(Reader& in) {
  in.align(4);
  auto value = in.read_u32();
  if (!value) return fail(truncated, in);
  return *value;
}

CodecResult<MessageIdentity> read_identity(Reader& in) {
  MessageIdentity identity;
  NIMBREL_READ_OR_RETURN(identity.source_guid, read_guid(in));
  in.align(8);
  auto sequence = in.read_u64();
  if (!sequence) return fail(truncated, in);
  identity.sequence_number = static_cast<std::int64_t>(*sequence);
  return identity;
}

CodecResult<std::string> read_string(Reader& in) {
  std::uint32_t length = 0;
  NIMBREL_READ_OR_RETURN(length, read_u32(in));
  if (length == 0) return fail("generic_message: zero-length string (no NUL)", in);
  if (length > Message::max_class_id_length) return fail("generic_message: string > cap", in);
  const auto raw = in.read_bytes(length);
  if (!raw) return fail(truncated, in);
  if (raw->back() != std::byte{0}) return fail("generic_message: missing terminating NUL", in);
  const auto text = raw->first(length - 1);
  if (!cdr::is_valid_utf8(text)) return fail("generic_message: non-utf8", in);
  return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

CodecResult<Message> decode_body(Reader& in) {
  if (in.remaining() > Message::max_body_bytes) {
    return fail("generic_message: payload exceeds DoS cap", in);
  }
  Message message;
  NIMBREL_READ_OR_RETURN(message.message_identity, read_identity(in));
  NIMBREL_READ_OR_RETURN(message.related_message_identity, read_identity(in));
  NIMBREL_READ_OR_RETURN(message.destination_participant_guid, read_guid(in));
  NIMBREL_READ_OR_RETURN(message.destination_endpoint_guid, read_guid(in));
  NIMBREL_READ_OR_RETURN(message.source_endpoint_guid, read_guid(in));
  NIMBREL_READ_OR_RETURN(message.message_class_id, read_string(in));

  std::uint32_t count = 0;
  NIMBREL_READ_OR_RETURN(count, read_u32(in));
  if (count > Message::max_message_data)
    return fail("generic_message: message_data sequence too long", in);
  // Each entry takes at least its 4-byte length.
  message.message_data.reserve(std::min<std::size_t>(count, in.remaining() / 4));
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t length = 0;
    NIMBREL_READ_OR_RETURN(length, read_u32(in));
    if (length > Message::max_octet_seq) return fail("generic_message: octet_seq > cap", in);
    if (!in.has(length)) return fail(truncated, in);
    // Alignment in a token counts from the token's start.
    Reader token_reader = in.window(length, /*little_endian=*/true);
    in.seek(in.position() + length);
    auto holder = DataHolder::decode(token_reader);
    if (!holder) return std::unexpected(holder.error());
    message.message_data.push_back(std::move(*holder));
  }
  return message;
}

}  // namespace

CodecResult<Message> Message::decode(Reader& reader) {
  if (!reader.has(4)) return fail("generic_message: encapsulation-header truncated", reader);
  std::array<std::uint8_t, 2> id{};
  NIMBREL_READ_OR_RETURN(id, reader.read_array<2>());
  if (id != std::array<std::uint8_t, 2>{0x00, 0x01}) {
    return fail("generic_message: only CDR_LE encapsulation supported", reader);
  }
  reader.seek(reader.position() + 2);
  Reader body = reader.rest(/*little_endian=*/true);
  auto message = decode_body(body);
  if (message) reader.seek(reader.position() + body.position());
  return message;
}

}  // namespace nimbrel::security
