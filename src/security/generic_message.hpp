// DDS-Security participant generic messages (DDS-Security 1.2 section 7.2.6), the body of what
// the stateless and volatile secure builtin endpoints carry. `from_cdr_le` reads the body after
// the encapsulation header; each message data entry is an octet sequence holding one token.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "rtps/wire_types.hpp"
#include "security/security_error.hpp"
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

  // Little-endian, alignment counted from the body's first byte; a token that fails gives its
  // own error.
  static std::expected<ParticipantGenericMessage, SecurityError> from_cdr_le(
      std::span<const std::byte> body);

  friend bool operator==(const ParticipantGenericMessage&,
                         const ParticipantGenericMessage&) = default;
};

// A serialized payload: a 4-byte encapsulation header, CDR_LE only, then the body.
std::expected<ParticipantGenericMessage, SecurityError> decode_generic_message_payload(
    std::span<const std::byte> payload);

}  // namespace nimbrel::security
