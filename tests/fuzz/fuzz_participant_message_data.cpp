// Decodes arbitrary bytes as a liveliness message. What decodes must re-encode in both byte orders
// and decode back to the same message.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "rtps/participant_message_data.hpp"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using nimbrel::rtps::ParticipantMessageData;
  auto decoded = nimbrel::rtps::decode_bytes<ParticipantMessageData>(
      std::as_bytes(std::span(data, size)), true);
  if (!decoded) return 0;
  check(decoded->data.size() <= ParticipantMessageData::max_data_len);
  for (const bool le : {true, false}) {
    auto encoded = encode_bytes(*decoded, le);
    check(encoded.has_value() && encoded->size() == 28 + decoded->data.size());
    auto again = nimbrel::rtps::decode_bytes<ParticipantMessageData>(*encoded, true);
    check(again.has_value() && *again == *decoded);
  }
  return 0;
}
