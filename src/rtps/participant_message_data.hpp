// The payload of writer liveliness messages (DDSI-RTPS 2.5 section 9.6.2.1): which participant is
// alive, a kind and opaque data. This system writes a 16-byte participant GUID; the decoder also
// reads the standard form with only the 12-byte GUID prefix, told apart by the payload's length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "rtps/wire_cursor.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::rtps {

struct ParticipantMessageData {
  static constexpr std::size_t max_data_len = 4096;

  Guid participant_guid{};
  std::uint32_t kind = 0;
  std::vector<std::byte> data{};

  // CDR_LE or CDR_BE encapsulation, as the writer's byte order; 28 bytes plus the data, unpadded.
  CodecResult<void> encode(WireWriter& writer) const;
  // Accepts CDR and XCDR2 in either byte order, whatever the reader's.
  static CodecResult<ParticipantMessageData> decode(WireReader& reader);

  friend bool operator==(const ParticipantMessageData&, const ParticipantMessageData&) = default;
};

}  // namespace nimbrel::rtps
