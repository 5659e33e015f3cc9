// Decodes arbitrary bytes as an SPDP payload. What decodes must re-encode and decode back to the
// same record, except properties the property encoder refuses (texts holding a NUL), which the
// participant encoder leaves out.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "rtps/participant_data.hpp"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using nimbrel::rtps::ParticipantBuiltinTopicData;
  const auto input = std::as_bytes(std::span(data, size));
  auto decoded = nimbrel::rtps::decode_bytes<ParticipantBuiltinTopicData>(input, true);
  if (!decoded) return 0;
  check(decoded->user_data.size() <= size);
  check(decoded->properties.properties.size() <= nimbrel::rtps::WirePropertyList::max_properties);

  auto expected = *decoded;
  if (!nimbrel::rtps::encode_bytes(expected.properties, /*little_endian=*/true)) {
    expected.properties = {};
  }
  auto again = nimbrel::rtps::decode_bytes<ParticipantBuiltinTopicData>(
      nimbrel::rtps::encode_bytes(*decoded, true), true);
  check(again.has_value() && *again == expected);
  return 0;
}
