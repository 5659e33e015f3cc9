// Decodes arbitrary bytes as one type lookup message body, chosen at build time by
// NIMBREL_LOOKUP_BODY, in both byte orders.
#include "type_round_trip.hpp"
#include "types/type_lookup.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return nimbrel::fuzz::fuzz_both_orders<nimbrel::types::NIMBREL_LOOKUP_BODY>(data, size);
}
