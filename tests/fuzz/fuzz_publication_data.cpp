// Decodes arbitrary bytes as an SEDP publication. Publications have no encoder, so the fields they
// share with subscriptions go through the subscription encoder and must decode back the same.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "cdr/buffer.hpp"
#include "rtps/publication_data.hpp"
#include "rtps/subscription_data.hpp"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace nimbrel::rtps;
  auto decoded =
      decode_bytes<PublicationBuiltinTopicData>(std::as_bytes(std::span(data, size)), true);
  if (!decoded) return 0;
  check(decoded->partition.size() <= size / 5);

  const EndpointBuiltinTopicData& shared = *decoded;
  SubscriptionBuiltinTopicData sub;
  static_cast<EndpointBuiltinTopicData&>(sub) = shared;
  auto encoded = encode_bytes(sub, true);
  if (!encoded) {
    nimbrel::cdr::BufferWriter writer;
    check(shared.type_identifier.has_value() && !shared.type_identifier->encode(writer));
    return 0;
  }
  auto again = decode_bytes<PublicationBuiltinTopicData>(*encoded, true);
  check(again.has_value() && static_cast<const EndpointBuiltinTopicData&>(*again) == shared);
  return 0;
}
