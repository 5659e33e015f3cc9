// Decodes arbitrary payloads as a standard type lookup request and as a reply; whatever decodes is
// encoded again and must decode to the same value.
#include <cstdlib>
#include <span>

#include "discovery/type_lookup/rpc.hpp"

namespace {

template <typename T, typename Decode>
void round_trip(std::span<const std::byte> payload, Decode decode) {
  auto value = decode(payload);
  if (!value) return;
  auto encoded = nimbrel::discovery::rpc::encode_payload(*value);
  // The identifier codec reads some values it will not write (a strongly connected component
  // with an invalid length or index): nothing to compare then.
  if (!encoded) return;
  auto again = decode(std::span<const std::byte>(*encoded));
  if (!again || !(*again == *value)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace rpc = nimbrel::discovery::rpc;
  const auto payload = std::as_bytes(std::span(data, size));
  round_trip<rpc::Request>(payload, [](auto bytes) { return rpc::decode_request(bytes); });
  round_trip<rpc::Reply>(payload, [](auto bytes) { return rpc::decode_reply(bytes); });
  return 0;
}
