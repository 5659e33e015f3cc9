// The type objects an MCAP recording of this system keeps: one metadata record
// `nimbrel.type_object` per object (`type_identifier` and `data` in hex, `encoding` xcdr2), read
// back for decoding and replay. An object whose bytes do not hash to its identifier is left out.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "recorder/mcap_reader.hpp"
#include "types/type_identifier.hpp"

namespace nimbrel::tools {

inline constexpr std::string_view type_object_metadata = "nimbrel.type_object";

struct RecordedTypeObject {
  types::TypeIdentifier id{};
  std::vector<std::byte> bytes{};  // XCDR2, as it travelled
};

std::optional<std::vector<std::byte>> from_hex(std::string_view hex);
// The identifier of `identifier_hex`, or none for text that is not one.
std::optional<types::TypeIdentifier> identifier_from_hex(std::string_view hex);

// Those of the records from `first` on, in file order.
std::vector<RecordedTypeObject> recorded_type_objects(
    const std::vector<recorder::McapMetadata>& metadata, std::size_t first = 0);

// A value of a channel's or a record's metadata; empty when absent.
std::string_view metadata_value(const recorder::StringPairs& pairs, std::string_view key);

}  // namespace nimbrel::tools
