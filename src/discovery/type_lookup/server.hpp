// The serving half of the XTypes type lookup service: answers remote getTypes and
// getTypeDependencies requests from the participant's own type registry. It keeps no state
// between requests (a continuation point carries the paging) and bounds what one request may
// cost: each identifier is answered once, the dependency walk and every reply are capped, and a
// reply always fits one UDP datagram. Bytes in, reply datagrams out; the owner sends them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <vector>

#include "cdr/buffer.hpp"
#include "rtps/submessages.hpp"
#include "rtps/wire_types.hpp"
#include "types/resolve.hpp"
#include "types/type_lookup.hpp"
#include "types/type_object.hpp"

namespace nimbrel::discovery {

struct TypeLookupServerCounters {
  std::uint64_t requests = 0;            // answered
  std::uint64_t malformed_requests = 0;  // neither request, or not plain CDR
  std::uint64_t types_left_out = 0;      // known types that did not fit their reply
  std::uint64_t ids_left_out = 0;        // identifiers past the dependency work of one request
};

class TypeLookupServer {
 public:
  static constexpr std::size_t default_page_size = 100;
  // Dependency hashes one request may walk, over all of its identifiers.
  static constexpr std::size_t max_dependency_work = 4096;

  explicit TypeLookupServer(const rtps::GuidPrefix& own, std::size_t page_size = default_page_size);

  // The caller names the hash: this system never computes one. An object that cannot be encoded
  // could never be served and is refused.
  CodecResult<void> add_type(const types::EquivalenceHash& hash, types::TypeObject object);
  const types::TypeRegistry& registry() const { return registry_; }

  // Known types in request order, each distinct identifier once, as many as fit one datagram.
  types::GetTypesReply handle_get_types(const types::GetTypesRequest& request);
  // One page of the sorted dependencies of the requested types, each with its serialized size.
  types::GetTypeDependenciesReply handle_get_type_dependencies(
      const types::GetTypeDependenciesRequest& request);

  // A DATA addressed to our request reader: the reply datagram, or nothing when the payload holds
  // no request. A body that decodes completely as getTypes is one; otherwise it is tried as
  // getTypeDependencies, whose continuation point follows the identifiers.
  std::optional<std::vector<std::byte>> handle_request(const rtps::DataSubmessage& request);

  const TypeLookupServerCounters& counters() const { return counters_; }

 private:
  std::uint32_t serialized_size(const types::EquivalenceHash& hash) const;

  rtps::GuidPrefix own_;
  std::size_t page_size_;
  types::TypeRegistry registry_{};
  // Tagged little-endian sizes, measured once when a type is added.
  std::map<types::EquivalenceHash, std::uint32_t> minimal_sizes_{};
  std::map<types::EquivalenceHash, std::uint32_t> complete_sizes_{};
  TypeLookupServerCounters counters_{};
};

}  // namespace nimbrel::discovery
