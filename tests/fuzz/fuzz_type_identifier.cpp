// Decodes arbitrary bytes as a TypeIdentifier in both byte orders. What decodes must re-encode to
// as many bytes as were consumed and decode back to the same value; padding is not compared,
// since the reader skips it unchecked and the writer always writes zeros.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

#include "types/type_identifier.hpp"

namespace {

using nimbrel::cdr::BufferReader;
using nimbrel::cdr::BufferWriter;
using nimbrel::types::TypeIdentifier;

void check(bool condition) {
  if (!condition) std::abort();
}

void round_trip(std::span<const std::byte> input, bool little_endian) {
  BufferReader reader(input, little_endian);
  auto decoded = TypeIdentifier::decode(reader);
  if (!decoded) return;
  const std::size_t consumed = reader.position();

  BufferWriter writer(little_endian);
  auto encoded = decoded->encode(writer);
  if (!encoded) {
    // The decoder carries strongly connected component ids that the encoder refuses.
    check(std::string_view(encoded.error().message) == "SCC scc_length/scc_index invalid");
    return;
  }
  check(writer.size() == consumed);

  BufferReader again(writer.bytes(), little_endian);
  auto redecoded = TypeIdentifier::decode(again);
  check(redecoded.has_value());
  check(again.remaining() == 0);
  check(*redecoded == *decoded);

  BufferWriter canonical(little_endian);
  check(redecoded->encode(canonical).has_value());
  check(canonical.bytes() == writer.bytes());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto input = std::as_bytes(std::span(data, size));
  round_trip(input, /*little_endian=*/true);
  round_trip(input, /*little_endian=*/false);
  return 0;
}
