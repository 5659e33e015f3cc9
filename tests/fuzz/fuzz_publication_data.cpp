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
  auto decoded = PublicationBuiltinTopicData::from_pl_cdr_le(std::as_bytes(std::span(data, size)));
  if (!decoded) return 0;
  check(decoded->partition.size() <= size / 5);

  const EndpointBuiltinTopicData& shared = *decoded;
  SubscriptionBuiltinTopicData sub;
  static_cast<EndpointBuiltinTopicData&>(sub) = shared;
  auto encoded = sub.to_pl_cdr_le();
  if (!encoded) {
    nimbrel::cdr::BufferWriter writer;
    check(shared.type_identifier.has_value() && !shared.type_identifier->encode_into(writer));
    return 0;
  }
  auto again = PublicationBuiltinTopicData::from_pl_cdr_le(*encoded);
  check(again.has_value() && static_cast<const EndpointBuiltinTopicData&>(*again) == shared);
  return 0;
}
