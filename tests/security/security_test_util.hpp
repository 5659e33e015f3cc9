// Builders of token and generic message bytes for the decoder tests: little-endian CDR with the
// padding counted from the start of what is being built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "rtps/wire_cursor.hpp"

namespace nimbrel::security::testing {

class CdrBuilder {
 public:
  CdrBuilder& u32(std::uint32_t v) {
    writer().pad_to(4);
    writer().write_u32(v);
    return *this;
  }
  // Length with the NUL, the text, the NUL.
  CdrBuilder& str(std::string_view text) {
    u32(static_cast<std::uint32_t>(text.size() + 1));
    return raw(rtps::text_bytes(text)).raw({std::byte{0}});
  }
  CdrBuilder& raw(std::span<const std::byte> bytes) {
    writer().write_bytes(bytes);
    return *this;
  }
  CdrBuilder& raw(std::initializer_list<std::byte> bytes) {
    return raw(std::span<const std::byte>(bytes.begin(), bytes.size()));
  }
  CdrBuilder& octets(const std::vector<std::byte>& bytes) {
    u32(static_cast<std::uint32_t>(bytes.size()));
    return raw(bytes);
  }
  CdrBuilder& zeros(std::size_t n) {
    writer().write_zeros(n);
    return *this;
  }
  const std::vector<std::byte>& bytes() const { return out_; }

 private:
  // Made per call, so that a copied builder writes into its own bytes.
  rtps::WireWriter writer() { return rtps::WireWriter(out_, /*little_endian=*/true); }

  std::vector<std::byte> out_;
};

}  // namespace nimbrel::security::testing
