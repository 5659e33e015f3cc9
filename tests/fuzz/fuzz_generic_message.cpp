// Decodes arbitrary bytes as a participant generic message payload (encapsulation header
// included); what decodes must stay within every cap.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "security/generic_message.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using nimbrel::security::ParticipantGenericMessage;
  const auto message = nimbrel::rtps::decode_bytes<ParticipantGenericMessage>(
      std::as_bytes(std::span(data, size)), /*little_endian=*/true);
  if (!message) return 0;
  if (message->message_data.size() > ParticipantGenericMessage::max_message_data ||
      message->message_class_id.size() >= ParticipantGenericMessage::max_class_id_length) {
    std::abort();
  }
  return 0;
}
