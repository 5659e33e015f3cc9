#include "security/generic_message.hpp"

#include <algorithm>

#include "cdr/buffer.hpp"
#include "rtps/wire_cursor.hpp"

namespace nimbrel::security {
namespace {

using Message = ParticipantGenericMessage;
using Reader = rtps::WireReader;

std::unexpected<SecurityError> fail(const char* text) {
  return std::unexpected(SecurityError{text});
}

constexpr const char* truncated = "generic_message: truncated";

std::expected<rtps::Guid, SecurityError> read_guid(Reader& in) {
  auto raw = in.read_array<16>();
  if (!raw) return fail(truncated);
  return rtps::Guid::from_bytes(*raw);
}

std::expected<std::uint32_t, SecurityError> read_u32(Reader& in) {
  in.align(4);
  auto value = in.read_u32();
  if (!value) return fail(truncated);
  return *value;
}

std::expected<MessageIdentity, SecurityError> read_identity(Reader& in) {
  MessageIdentity identity;
  NIMBREL_READ_OR_RETURN(identity.source_guid, read_guid(in));
  in.align(8);
  auto sequence = in.read_u64();
  if (!sequence) return fail(truncated);
  identity.sequence_number = static_cast<std::int64_t>(*sequence);
  return identity;
}

std::expected<std::string, SecurityError> read_string(Reader& in) {
  std::uint32_t length = 0;
  NIMBREL_READ_OR_RETURN(length, read_u32(in));
  if (length == 0) return fail("generic_message: zero-length string (no NUL)");
  if (length > Message::max_class_id_length) return fail("generic_message: string > cap");
  const auto raw = in.read_bytes(length);
  if (!raw) return fail(truncated);
  if (raw->back() != std::byte{0}) return fail("generic_message: missing terminating NUL");
  const auto text = raw->first(length - 1);
  if (!cdr::is_valid_utf8(text)) return fail("generic_message: non-utf8");
  return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

}  // namespace

std::expected<Message, SecurityError> Message::from_cdr_le(std::span<const std::byte> body) {
  if (body.size() > max_body_bytes) return fail("generic_message: payload exceeds DoS cap");
  Reader in(body, /*little_endian=*/true);
  Message message;
  NIMBREL_READ_OR_RETURN(message.message_identity, read_identity(in));
  NIMBREL_READ_OR_RETURN(message.related_message_identity, read_identity(in));
  NIMBREL_READ_OR_RETURN(message.destination_participant_guid, read_guid(in));
  NIMBREL_READ_OR_RETURN(message.destination_endpoint_guid, read_guid(in));
  NIMBREL_READ_OR_RETURN(message.source_endpoint_guid, read_guid(in));
  NIMBREL_READ_OR_RETURN(message.message_class_id, read_string(in));

  std::uint32_t count = 0;
  NIMBREL_READ_OR_RETURN(count, read_u32(in));
  if (count > max_message_data) return fail("generic_message: message_data sequence too long");
  // Each entry takes at least its 4-byte length.
  message.message_data.reserve(std::min<std::size_t>(count, in.remaining() / 4));
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t length = 0;
    NIMBREL_READ_OR_RETURN(length, read_u32(in));
    if (length > max_octet_seq) return fail("generic_message: octet_seq > cap");
    const auto raw = in.read_bytes(length);
    if (!raw) return fail(truncated);
    auto holder = token::decode(*raw);
    if (!holder) return std::unexpected(holder.error());
    message.message_data.push_back(std::move(*holder));
  }
  return message;
}

std::expected<Message, SecurityError> decode_generic_message_payload(
    std::span<const std::byte> payload) {
  if (payload.size() < 4) return fail("generic_message: encapsulation-header truncated");
  if (payload[0] != std::byte{0x00} || payload[1] != std::byte{0x01}) {
    return fail("generic_message: only CDR_LE encapsulation supported");
  }
  return Message::from_cdr_le(payload.subspan(4));
}

}  // namespace nimbrel::security
