// Decodes arbitrary bytes as an SEDP subscription. What decodes must re-encode and decode back to
// the same record; encoding may only fail for a type identifier its own encoder refuses (the
// decoder does not apply the strongly-connected-component check).
#include <cstdint>
#include <cstdlib>
#include <span>

#include "cdr/buffer.hpp"
#include "rtps/subscription_data.hpp"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using nimbrel::rtps::SubscriptionBuiltinTopicData;
  auto decoded = nimbrel::rtps::decode_bytes<SubscriptionBuiltinTopicData>(
      std::as_bytes(std::span(data, size)), true);
  if (!decoded) return 0;
  check(decoded->partition.size() <= size / 5);

  auto encoded = nimbrel::rtps::encode_bytes(*decoded, true);
  if (!encoded) {
    nimbrel::cdr::BufferWriter writer;
    check(decoded->type_identifier.has_value() && !decoded->type_identifier->encode(writer));
    return 0;
  }
  auto again = nimbrel::rtps::decode_bytes<SubscriptionBuiltinTopicData>(*encoded, true);
  check(again.has_value() && *again == *decoded);
  return 0;
}
