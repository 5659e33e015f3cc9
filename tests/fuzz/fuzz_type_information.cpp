// Decodes arbitrary bytes as an SEDP type information value (either peer's form) in both byte
// orders; what decodes round-trips through the XCDR2 form.
#include "standard_round_trip.hpp"
#include "types/type_information.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace nimbrel;
  return fuzz::in_both_orders(data, size, [](std::span<const std::byte> input, bool little) {
    fuzz::standard_round_trip(
        input, little,
        [](std::span<const std::byte> b, bool le) { return types::decode_type_information(b, le); },
        [](const types::TypeInformation& i, bool le) {
          return types::encode_type_information(i, le);
        });
  });
}
