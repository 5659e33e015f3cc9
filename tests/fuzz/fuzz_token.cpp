// Decodes arbitrary bytes as a security token; what decodes must stay within every cap.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "security/token.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace token = nimbrel::security::token;
  const auto holder = nimbrel::rtps::decode_bytes<nimbrel::security::DataHolder>(
      std::as_bytes(std::span(data, size)), /*little_endian=*/true);
  if (!holder) return 0;
  if (holder->properties.size() > token::max_properties ||
      holder->binary_properties.size() > token::max_binary_properties ||
      size > token::max_token_bytes) {
    std::abort();
  }
  for (const auto& property : holder->binary_properties) {
    if (property.value.size() > token::max_binary_value) std::abort();
  }
  return 0;
}
