// Data representation ids of an endpoint (DDS-XTypes 1.3 section 7.6.3.1.1): the list carried in
// PID_DATA_REPRESENTATION and `negotiate`, which picks the representation a writer-reader pair
// uses. Matching calls `negotiate` with the writer's offered and the reader's accepted ids.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "rtps/wire_cursor.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::rtps::data_representation {

inline constexpr std::int16_t xcdr1 = 0;
inline constexpr std::int16_t xml = 1;
inline constexpr std::int16_t xcdr2 = 2;

struct Negotiation {
  bool found = false;
  std::int16_t representation = xcdr1;
  friend bool operator==(const Negotiation&, const Negotiation&) = default;
};

// An empty list on either side stands for [xcdr1]. Without `search` only the writer's first id is
// considered; with it the writer's ids are tried in order, and a failed search reports the last.
Negotiation negotiate(std::span<const std::int16_t> writer_offered,
                      std::span<const std::int16_t> reader_accepted, bool search);

// Count, then the ids unpadded (the parameter list pads the value).
CodecResult<void> write_list(WireWriter& writer, std::span<const std::int16_t> ids);
// Lenient: a value under 4 bytes is the empty list; ids are read while whole ones remain, at
// most as many as the count claims.
std::vector<std::int16_t> read_list(WireReader& reader);

}  // namespace nimbrel::rtps::data_representation
