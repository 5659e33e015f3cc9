// The property sequence carried in PID_PROPERTY_LIST (DDS-Security 1.1 section 7.2.1):
// `WirePropertyList` holds the string properties; binary properties are checked on decode and
// dropped. Hard caps on counts and lengths keep a hostile list from forcing large allocations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "rtps/wire_cursor.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::rtps {

struct WireProperty {
  std::string name;
  std::string value;
  friend bool operator==(const WireProperty&, const WireProperty&) = default;
};

struct WirePropertyList {
  static constexpr std::size_t max_properties = 1024;
  // Texts of up to this many bytes encode; the decoder caps the length field (text plus NUL).
  static constexpr std::size_t max_property_string_len = 65536;
  static constexpr std::size_t max_binary_value_len = 65536;

  std::vector<WireProperty> properties;

  // Alignment counts from where the writer stands, the start of the parameter value.
  CodecResult<void> encode(WireWriter& writer) const;
  // Alignment counts from the reader's start: a reader over the parameter value.
  static CodecResult<WirePropertyList> decode(WireReader& reader);

  friend bool operator==(const WirePropertyList&, const WirePropertyList&) = default;
};

// A property's CDR string, its length field bounded by `max_property_string_len`; the reader is
// left just past the NUL (the caller aligns).
CodecResult<std::string> read_property_string(WireReader& reader);

}  // namespace nimbrel::rtps
