// DDS-Security tokens (`DataHolder`, DDS-Security 1.2 section 7.2.4) as they travel inside
// participant generic messages: a class id, properties and binary properties. Every count and
// length is capped before anything is reserved, so a hostile token costs little memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "foundation/codec_error.hpp"
#include "rtps/wire_cursor.hpp"

namespace nimbrel::security {

struct Property {
  std::string name;
  std::string value;
  friend bool operator==(const Property&, const Property&) = default;
};

struct BinaryProperty {
  std::string name;
  std::vector<std::byte> value;
  friend bool operator==(const BinaryProperty&, const BinaryProperty&) = default;
};

struct DataHolder {
  std::string class_id;
  std::vector<Property> properties;
  std::vector<BinaryProperty> binary_properties;

  // Little-endian CDR, alignment counted from the reader's start: a reader over the token alone.
  // A string length of 0 is the empty text; bytes after the last binary property are not looked
  // at. Errors are Rejected, with texts of their own.
  static CodecResult<DataHolder> decode(rtps::WireReader& reader);

  friend bool operator==(const DataHolder&, const DataHolder&) = default;
};

namespace token {

inline constexpr std::size_t max_token_bytes = 65'536;
inline constexpr std::size_t max_properties = 256;
inline constexpr std::size_t max_binary_properties = 256;
inline constexpr std::size_t max_string_length = 8'192;  // NUL included
inline constexpr std::size_t max_binary_value = 8'192;

}  // namespace token
}  // namespace nimbrel::security
