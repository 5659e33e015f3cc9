// Decodes arbitrary bytes as an XCDR2 type object in both byte orders; what decodes round-trips
// and its encoding names itself by hash.
#include "standard_round_trip.hpp"
#include "types/type_object_xcdr2.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace nimbrel;
  return fuzz::in_both_orders(data, size, [](std::span<const std::byte> input, bool little) {
    auto decode = [](std::span<const std::byte> b, bool le) { return types::decode_xcdr2(b, le); };
    auto encode = [](const types::TypeObject& o, bool le) { return types::encode_xcdr2(o, le); };
    auto encoded = fuzz::standard_round_trip(input, little, decode, encode);
    if (!encoded) return;
    auto id = types::type_identifier_of_xcdr2(*encoded);
    fuzz::check(id.has_value() && types::xcdr2_matches_identifier(*encoded, *id));
  });
}
