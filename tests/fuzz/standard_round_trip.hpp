// The property of the standard-form fuzz targets: what decodes encodes (unless it carries an
// identifier the encoder refuses), decodes back to the same value, and encodes the same again.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "type_round_trip.hpp"

namespace nimbrel::fuzz {

// Returns the encoding, for checks of its own, when the input decoded.
template <typename Decode, typename Encode>
std::optional<std::vector<std::byte>> standard_round_trip(std::span<const std::byte> input,
                                                          bool little_endian, Decode decode,
                                                          Encode encode) {
  auto decoded = decode(input, little_endian);
  if (!decoded) return std::nullopt;
  auto encoded = encode(*decoded, little_endian);
  if (!encoded) {
    check(std::string_view(encoded.error().message) == "SCC scc_length/scc_index invalid");
    return std::nullopt;
  }
  auto again = decode(std::span<const std::byte>(*encoded), little_endian);
  check(again.has_value() && *again == *decoded);
  auto canonical = encode(*again, little_endian);
  check(canonical.has_value() && *canonical == *encoded);
  return std::move(*encoded);
}

template <typename Check>
int in_both_orders(const std::uint8_t* data, std::size_t size, Check check_one) {
  const auto input = std::as_bytes(std::span(data, size));
  check_one(input, /*little_endian=*/true);
  check_one(input, /*little_endian=*/false);
  return 0;
}

}  // namespace nimbrel::fuzz
