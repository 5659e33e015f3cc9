// Decodes arbitrary bytes as an XCDR2 type object in both byte orders; what decodes re-encodes
// to bytes that decode to the same object, encode the same again, and name themselves by hash.
#include <cstdint>
#include <span>
#include <string_view>

#include "type_round_trip.hpp"
#include "types/type_object_xcdr2.hpp"

namespace {

using namespace nimbrel;

void round_trip(std::span<const std::byte> input, bool little_endian) {
  auto decoded = types::decode_xcdr2(input, little_endian);
  if (!decoded) return;
  auto encoded = types::encode_xcdr2(*decoded, little_endian);
  if (!encoded) {
    // Only an identifier the encoder refuses, as in the private form.
    fuzz::check(std::string_view(encoded.error().message) == "SCC scc_length/scc_index invalid");
    return;
  }
  auto again = types::decode_xcdr2(*encoded, little_endian);
  fuzz::check(again.has_value() && *again == *decoded);
  auto canonical = types::encode_xcdr2(*again, little_endian);
  fuzz::check(canonical.has_value() && *canonical == *encoded);
  auto id = types::type_identifier_of_xcdr2(*encoded);
  fuzz::check(id.has_value() && types::xcdr2_matches_identifier(*encoded, *id));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto input = std::as_bytes(std::span(data, size));
  round_trip(input, /*little_endian=*/true);
  round_trip(input, /*little_endian=*/false);
  return 0;
}
