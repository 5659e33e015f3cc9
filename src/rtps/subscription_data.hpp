// The SEDP subscription record (DDSI-RTPS 2.5 section 9.6.2.2.3): a remote reader to match local
// writers against, and the form in which this system announces its own readers. The shared fields
// and their codecs live in `publication_data`.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "rtps/publication_data.hpp"
#include "rtps/wire_cursor.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::rtps {

struct SubscriptionBuiltinTopicData : EndpointBuiltinTopicData {
  std::optional<ContentFilterProperty> content_filter{};

  // PL_CDR_LE whatever the writer's byte order; fails when a value cannot be encoded or framed.
  CodecResult<void> encode(WireWriter& writer) const;
  // Accepts PL_CDR_LE and PL_CDR_BE.
  static CodecResult<SubscriptionBuiltinTopicData> decode(
      WireReader& reader, VendorId sender_vendor = nimbrel_vendor_id);

  friend bool operator==(const SubscriptionBuiltinTopicData&,
                         const SubscriptionBuiltinTopicData&) = default;
};

}  // namespace nimbrel::rtps
