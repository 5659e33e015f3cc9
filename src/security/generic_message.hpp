// DDS-Security participant generic messages (DDS-Security 1.2 section 7.2.6), the payload of what
// the stateless and volatile secure builtin endpoints carry: a 4-byte encapsulation header, CDR_LE
// only, then the body; each message data entry is an octet sequence holding one token.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "foundation/codec_error.hpp"
#include "rtps/wire_cursor.hpp"
#include "rtps/wire_types.hpp"
#include "security/token.hpp"

namespace nimbrel::security {

struct MessageIdentity {
  rtps::Guid source_guid{};
  std::int64_t sequence_number = 0;
  friend bool operator==(const MessageIdentity&, const MessageIdentity&) = default;
};

struct ParticipantGenericMessage {
  static constexpr std::size_t max_body_bytes = 262'144;
  static constexpr std::size_t max_class_id_length = 257;  // NUL included
  static constexpr std::size_t max_message_data = 64;
  static constexpr std::size_t max_octet_seq = 262'144;

  MessageIdentity message_identity{};
  MessageIdentity related_message_identity{};
  rtps::Guid destination_participant_guid{};
  rtps::Guid destination_endpoint_guid{};
  rtps::Guid source_endpoint_guid{};
  std::string message_class_id{};
  std::vector<DataHolder> message_data{};

  // The payload, whatever the reader's byte order; the body is little-endian with alignment
  // counted from its first byte. Errors are Rejected, with texts of their own; a token that fails
  // gives its own error.
  static CodecResult<ParticipantGenericMessage> decode(rtps::WireReader& reader);

  friend bool operator==(const ParticipantGenericMessage&,
                         const ParticipantGenericMessage&) = default;
};

}  // namespace nimbrel::security
