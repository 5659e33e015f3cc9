#include "discovery/type_lookup/server.hpp"

#include <algorithm>
#include <limits>
#include <set>
#include <utility>
#include <variant>

#include "discovery/type_lookup/message.hpp"
#include "foundation/fatal.hpp"

namespace nimbrel::discovery {
namespace {

using types::EquivalenceHash;
using types::TypeIdentifier;

// A type object placed anywhere in a reply grows by at most its largest alignment (8) over its
// size measured at offset 0: the end position is monotone in the start and repeats every 8 bytes.
constexpr std::size_t max_alignment = 8;
constexpr std::size_t count_size = 4;
// A dependency entry: a minimal hash identifier (15 bytes), padding to 4, its u32 size.
constexpr std::size_t dependency_entry_size = 20;
constexpr std::size_t continuation_size = 4 + 8;
constexpr std::size_t max_dependencies_per_reply =
    (max_lookup_body - count_size - continuation_size) / dependency_entry_size;
constexpr std::size_t index_size = 8;

struct HashRef {
  EquivalenceHash hash;
  bool complete = false;
  friend auto operator<=>(const HashRef&, const HashRef&) = default;
};

std::optional<HashRef> hash_ref(const TypeIdentifier& id) {
  if (const auto* minimal = std::get_if<TypeIdentifier::EquivalenceHashMinimal>(&id.value)) {
    return HashRef{minimal->hash, false};
  }
  if (const auto* complete = std::get_if<TypeIdentifier::EquivalenceHashComplete>(&id.value)) {
    return HashRef{complete->hash, true};
  }
  return std::nullopt;
}

// The first 8 bytes of a continuation point, little-endian; a shorter point starts afresh.
std::size_t start_index(const types::ContinuationPoint& point) {
  if (point.bytes.size() < index_size) return 0;
  std::uint64_t index = 0;
  for (std::size_t i = 0; i < index_size; ++i)
    index |= std::uint64_t{point.bytes[i]} << (8 * i);
  return static_cast<std::size_t>(std::min<std::uint64_t>(index, SIZE_MAX));
}

types::ContinuationPoint continuation_at(std::uint64_t index) {
  types::ContinuationPoint point;
  for (std::size_t i = 0; i < index_size; ++i)
    point.bytes.push_back(static_cast<std::uint8_t>(index >> (8 * i)));
  return point;
}

template <typename Request>
std::optional<Request> decode_whole(const LookupBody& body, bool must_consume_all) {
  cdr::BufferReader reader(body.bytes, body.little_endian);
  auto request = Request::decode(reader);
  if (!request || (must_consume_all && reader.remaining() != 0)) return std::nullopt;
  return std::move(*request);
}

}  // namespace

TypeLookupServer::TypeLookupServer(const rtps::GuidPrefix& own, std::size_t page_size)
    : own_(own), page_size_(page_size) {
  if (page_size_ == 0) fatal("type lookup page size of 0");
}

CodecResult<void> TypeLookupServer::add_type(const EquivalenceHash& hash,
                                             types::TypeObject object) {
  auto bytes = cdr::encode_bytes(object, /*little_endian=*/true);
  if (!bytes) return std::unexpected(bytes.error());
  const auto size = static_cast<std::uint32_t>(
      std::min<std::size_t>(bytes->size(), std::numeric_limits<std::uint32_t>::max()));
  if (auto* minimal = std::get_if<types::MinimalTypeObject>(&object.value)) {
    registry_.minimal.insert_or_assign(hash, std::move(*minimal));
    minimal_sizes_.insert_or_assign(hash, size);
  } else {
    registry_.complete.insert_or_assign(
        hash, std::move(std::get<types::CompleteTypeObject>(object.value)));
    complete_sizes_.insert_or_assign(hash, size);
  }
  return {};
}

std::uint32_t TypeLookupServer::serialized_size(const EquivalenceHash& hash) const {
  if (auto it = minimal_sizes_.find(hash); it != minimal_sizes_.end()) return it->second;
  if (auto it = complete_sizes_.find(hash); it != complete_sizes_.end()) return it->second;
  return 0;
}

types::GetTypesReply TypeLookupServer::handle_get_types(const types::GetTypesRequest& request) {
  types::GetTypesReply reply;
  std::set<HashRef> answered;
  std::size_t budget = max_lookup_body - count_size;
  for (const auto& id : request.type_ids) {
    const auto ref = hash_ref(id);
    if (!ref || !answered.insert(*ref).second) continue;
    const auto& sizes = ref->complete ? complete_sizes_ : minimal_sizes_;
    const auto size = sizes.find(ref->hash);
    if (size == sizes.end()) continue;
    const std::size_t cost = std::size_t{size->second} + max_alignment;
    if (cost > budget) {
      ++counters_.types_left_out;
      continue;
    }
    budget -= cost;
    if (ref->complete) {
      reply.types.push_back({registry_.complete.at(ref->hash)});
    } else {
      reply.types.push_back({registry_.minimal.at(ref->hash)});
    }
  }
  return reply;
}

types::GetTypeDependenciesReply TypeLookupServer::handle_get_type_dependencies(
    const types::GetTypeDependenciesRequest& request) {
  // Ordered by hash, and each dependency once with the first size recorded for it.
  std::map<EquivalenceHash, std::uint32_t> found;
  std::set<EquivalenceHash> walked;
  std::size_t work_left = max_dependency_work;
  for (const auto& id : request.type_ids) {
    const auto ref = hash_ref(id);
    if (!ref || !walked.insert(ref->hash).second) continue;
    if (work_left == 0) {
      ++counters_.ids_left_out;
      continue;
    }
    const auto dependencies = registry_.transitive_dependencies(ref->hash, work_left);
    work_left -= std::max<std::size_t>(dependencies.size(), 1);
    for (const auto& hash : dependencies)
      found.try_emplace(hash, serialized_size(hash));
  }

  types::GetTypeDependenciesReply reply;
  const std::size_t start = start_index(request.continuation_point);
  if (start >= found.size()) return reply;
  const std::size_t page = std::min(page_size_, max_dependencies_per_reply);
  const std::size_t end = found.size() - start > page ? start + page : found.size();
  auto it = std::next(found.begin(), static_cast<std::ptrdiff_t>(start));
  for (std::size_t i = start; i < end; ++i, ++it) {
    // A minimal identifier also for hashes known only in complete form.
    reply.dependent_typeids.push_back({.type_id = TypeIdentifier::EquivalenceHashMinimal{it->first},
                                       .typeobject_serialized_size = it->second});
  }
  if (end < found.size()) reply.continuation_point = continuation_at(end);
  return reply;
}

std::optional<std::vector<std::byte>> TypeLookupServer::handle_request(
    const rtps::DataSubmessage& request) {
  const auto body = lookup_body(request.serialized_payload);
  std::optional<TypeLookupReply> reply;
  if (body) {
    if (auto types = decode_whole<types::GetTypesRequest>(*body, /*must_consume_all=*/true)) {
      reply = handle_get_types(*types);
    } else if (auto deps = decode_whole<types::GetTypeDependenciesRequest>(
                   *body, /*must_consume_all=*/false)) {
      reply = handle_get_type_dependencies(*deps);
    }
  }
  if (!reply) {
    ++counters_.malformed_requests;
    return std::nullopt;
  }
  ++counters_.requests;
  auto datagram = build_type_lookup_reply(own_, *reply, request.writer_sn);
  if (!datagram) return std::nullopt;
  return std::move(*datagram);
}

}  // namespace nimbrel::discovery
