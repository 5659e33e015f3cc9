// Decodes arbitrary bytes as a tagged type object (minimal or complete) in both byte orders.
#include "type_round_trip.hpp"
#include "types/type_object.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return nimbrel::fuzz::fuzz_both_orders<nimbrel::types::TypeObject>(data, size);
}
