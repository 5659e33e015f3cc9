// Decodes arbitrary bytes as an SEDP type information value (either peer's form) in both byte
// orders; what decodes encodes to XCDR2 that decodes to the same value and encodes the same again.
#include <cstdint>
#include <span>
#include <string_view>

#include "type_round_trip.hpp"
#include "types/type_information.hpp"

namespace {

using namespace nimbrel;

void round_trip(std::span<const std::byte> input, bool little_endian) {
  auto decoded = types::decode_type_information(input, little_endian);
  if (!decoded) return;
  auto encoded = types::encode_type_information(*decoded, little_endian);
  if (!encoded) {
    // Only an identifier the encoder refuses, as in the private form.
    fuzz::check(std::string_view(encoded.error().message) == "SCC scc_length/scc_index invalid");
    return;
  }
  auto again = types::decode_type_information(*encoded, little_endian);
  fuzz::check(again.has_value() && *again == *decoded);
  auto canonical = types::encode_type_information(*again, little_endian);
  fuzz::check(canonical.has_value() && *canonical == *encoded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto input = std::as_bytes(std::span(data, size));
  round_trip(input, /*little_endian=*/true);
  round_trip(input, /*little_endian=*/false);
  return 0;
}
