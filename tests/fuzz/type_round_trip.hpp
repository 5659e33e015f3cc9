// The property every type system fuzz target checks: what decodes re-encodes (unless it carries
// a strongly connected component the encoder refuses), decodes back to the same value, and that
// encoding is stable. Padding and surplus presence counts are not compared: the decoder skips or
// folds them and the encoder writes the canonical form.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

#include "cdr/buffer.hpp"

namespace nimbrel::fuzz {

inline void check(bool condition) {
  if (!condition) std::abort();
}

template <typename T>
void round_trip(std::span<const std::byte> input, bool little_endian) {
  cdr::BufferReader reader(input, little_endian);
  auto decoded = T::decode(reader);
  if (!decoded) return;
  check(reader.position() <= input.size());

  cdr::BufferWriter writer(little_endian);
  if (auto encoded = decoded->encode(writer); !encoded) {
    check(std::string_view(encoded.error().message) == "SCC scc_length/scc_index invalid");
    return;
  }
  cdr::BufferReader again(writer.bytes(), little_endian);
  auto redecoded = T::decode(again);
  check(redecoded.has_value());
  check(again.remaining() == 0);
  check(*redecoded == *decoded);

  cdr::BufferWriter canonical(little_endian);
  check(redecoded->encode(canonical).has_value());
  check(canonical.bytes() == writer.bytes());
}

template <typename T>
int fuzz_both_orders(const std::uint8_t* data, std::size_t size) {
  const auto input = std::as_bytes(std::span(data, size));
  round_trip<T>(input, /*little_endian=*/true);
  round_trip<T>(input, /*little_endian=*/false);
  return 0;
}

}  // namespace nimbrel::fuzz
