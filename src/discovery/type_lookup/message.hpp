// Type lookup messages as they travel between the builtin type lookup endpoints: a request or reply
// body behind a 4-byte plain CDR encapsulation, in one DATA whose writer sequence number ties a
// reply to its request. Shared by the server and the client.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "foundation/shared_bytes.hpp"
#include "rtps/datagram.hpp"
#include "rtps/wire_types.hpp"
#include "transport/transport.hpp"
#include "types/type_lookup.hpp"

namespace nimbrel::discovery {

using TypeLookupRequest = std::variant<types::GetTypesRequest, types::GetTypeDependenciesRequest>;
using TypeLookupReply = std::variant<types::GetTypesReply, types::GetTypeDependenciesReply>;

// RTPS header, DATA header with its fixed 20-byte body start, encapsulation: a body past this
// would not fit one UDP datagram.
inline constexpr std::size_t max_lookup_body =
    transport::max_udp_payload - rtps::rtps_header_size - rtps::submessage_header_size - 20 - 4;

struct LookupBody {
  std::span<const std::byte> bytes;
  bool little_endian = true;
};

// The body of a plain CDR payload (big- or little-endian), without the trailing padding its
// encapsulation options declare; nothing for any other encapsulation.
std::optional<LookupBody> lookup_body(const SharedBytes& payload);

// One DATA from our reply writer to the requester's reply reader, numbered as the request.
CodecResult<std::vector<std::byte>> build_type_lookup_reply(const rtps::GuidPrefix& own,
                                                            const TypeLookupReply& reply,
                                                            rtps::SequenceNumber request_sn);

// INFO_DST naming the replier, then one DATA from our request writer to its request reader.
CodecResult<std::vector<std::byte>> build_type_lookup_request(const rtps::GuidPrefix& own,
                                                              const rtps::GuidPrefix& replier,
                                                              const TypeLookupRequest& request,
                                                              rtps::SequenceNumber sn);

}  // namespace nimbrel::discovery
