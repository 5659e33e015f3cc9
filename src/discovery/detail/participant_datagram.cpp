#include "discovery/detail/participant_datagram.hpp"

#include <limits>
#include <span>

#include "rtps/datagram.hpp"

namespace nimbrel::discovery::detail {

CodecResult<std::vector<std::byte>> participant_datagram(const rtps::GuidPrefix& prefix,
                                                         rtps::VendorId vendor_id,
                                                         rtps::SequenceNumber& next_sequence,
                                                         rtps::DataSubmessage data,
                                                         const char* overflow) {
  if (next_sequence == std::numeric_limits<rtps::SequenceNumber>::max()) {
    return std::unexpected(CodecError::malformed(overflow));
  }
  data.writer_sn = next_sequence++;
  return rtps::build_data_datagram(prefix, rtps::protocol_version_2_5, vendor_id,
                                   std::span(&data, 1));
}

}  // namespace nimbrel::discovery::detail
