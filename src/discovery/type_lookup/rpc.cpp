#include "discovery/type_lookup/rpc.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <utility>

#include "cdr/buffer.hpp"

namespace nimbrel::discovery::rpc {
namespace {

using cdr::BufferReader;
using cdr::BufferWriter;
using types::TypeIdentifier;

constexpr std::byte cdr2_be{0x06};
constexpr std::byte cdr2_le{0x07};
constexpr std::size_t encapsulation_size = 4;
constexpr std::uint32_t length_code_shift = 28;
constexpr std::uint32_t must_understand = 0x8000'0000u;
constexpr std::uint32_t member_id_mask = 0x0fff'ffffu;
// LC 5: the member opens with its own length word (a sequence's DHEADER or element count).
constexpr std::uint32_t lc_next_int_in_member = 5;

// Early return of a failed step; named per use, so nested uses in lambdas do not shadow.
#define NIMBREL_TRY_NAME(expr, name) \
  if (auto name = (expr); !name) return std::unexpected(std::move(name).error())
#define NIMBREL_TRY_CAT(a, b) a##b
#define NIMBREL_TRY_AT(expr, n) NIMBREL_TRY_NAME(expr, NIMBREL_TRY_CAT(step_, n))
#define NIMBREL_TRY(expr) NIMBREL_TRY_AT(expr, __COUNTER__)

// --- encoding ---------------------------------------------------------------------------------

// XCDR2 aligns to at most 4, and every delimited part starts 4-aligned, so a part encoded on a
// writer of its own lands byte for byte as it would inline.
BufferWriter part(const BufferWriter& outer) {
  return BufferWriter(outer.little_endian());
}

CodecResult<void> write_delimited(BufferWriter& w, const BufferWriter& inner) {
  if (inner.size() > std::numeric_limits<std::uint32_t>::max())
    return std::unexpected(CodecError::out_of_range("type lookup part"));
  w.align(4);
  w.write_u32(static_cast<std::uint32_t>(inner.size()));
  w.write_bytes(inner.bytes());
  return {};
}

void write_member(BufferWriter& w, std::uint32_t id, const BufferWriter& member) {
  w.align(4);
  w.write_u32(lc_next_int_in_member << length_code_shift | id);
  w.write_bytes(member.bytes());
}

void write_identity(BufferWriter& w, const SampleIdentity& identity) {
  const auto bytes = identity.writer_guid.to_bytes();
  for (std::size_t word = 0; word < 4; ++word) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
      value = value << 8 | bytes[4 * word + i];
    w.write_u32(value);
  }
  w.write_i32(static_cast<std::int32_t>(identity.sequence_number >> 32));
  w.write_u32(static_cast<std::uint32_t>(identity.sequence_number & 0xffff'ffff));
}

// A sequence of non-primitive elements: DHEADER, count, elements.
template <typename T, typename Encode>
CodecResult<BufferWriter> sequence(const BufferWriter& outer, const std::vector<T>& items,
                                   Encode encode) {
  BufferWriter body = part(outer);
  body.write_u32(static_cast<std::uint32_t>(items.size()));
  for (const auto& item : items)
    NIMBREL_TRY(encode(body, item));
  BufferWriter out = part(outer);
  NIMBREL_TRY(write_delimited(out, body));
  return out;
}

CodecResult<void> write_id(BufferWriter& w, const TypeIdentifier& id) {
  return id.encode(w);
}

CodecResult<BufferWriter> octets(const BufferWriter& outer,
                                 const std::vector<std::uint8_t>& bytes) {
  if (bytes.size() > max_continuation_point)
    return std::unexpected(CodecError::out_of_range("continuation point"));
  BufferWriter out = part(outer);
  out.write_u32(static_cast<std::uint32_t>(bytes.size()));
  for (const auto byte : bytes)
    out.write_u8(byte);
  return out;
}

CodecResult<void> write_type_ids(BufferWriter& w, const std::vector<TypeIdentifier>& ids) {
  auto seq = sequence(w, ids, write_id);
  if (!seq) return std::unexpected(seq.error());
  write_member(w, hash_id::type_ids, *seq);
  return {};
}

CodecResult<void> write_continuation(BufferWriter& w, const std::vector<std::uint8_t>& point) {
  auto seq = octets(w, point);
  if (!seq) return std::unexpected(seq.error());
  write_member(w, hash_id::continuation_point, *seq);
  return {};
}

CodecResult<void> write_call(BufferWriter& in, const GetTypesIn& call) {
  return write_type_ids(in, call.type_ids);
}
CodecResult<void> write_call(BufferWriter& in, const GetTypeDependenciesIn& call) {
  NIMBREL_TRY(write_type_ids(in, call.type_ids));
  return write_continuation(in, call.continuation_point);
}

CodecResult<void> write_pair(BufferWriter& w, const TypePair& pair) {
  NIMBREL_TRY(pair.type_id.encode(w));
  if (pair.type_object.size() < 4) return std::unexpected(CodecError::out_of_range("type object"));
  w.align(4);
  w.write_bytes(pair.type_object);
  return {};
}

CodecResult<void> write_id_pair(BufferWriter& w, const IdentifierPair& pair) {
  NIMBREL_TRY(pair.complete.encode(w));
  return pair.minimal.encode(w);
}

CodecResult<void> write_out(BufferWriter& out, const GetTypesOut& result) {
  auto found = sequence(out, result.types, write_pair);
  if (!found) return std::unexpected(found.error());
  write_member(out, hash_id::types, *found);
  auto pairs = sequence(out, result.complete_to_minimal, write_id_pair);
  if (!pairs) return std::unexpected(pairs.error());
  write_member(out, hash_id::complete_to_minimal, *pairs);
  return {};
}
CodecResult<void> write_out(BufferWriter& out, const GetTypeDependenciesOut& result) {
  BufferWriter found = part(out);
  NIMBREL_TRY(types::encode_xcdr2(found, result.dependent_typeids));
  write_member(out, hash_id::dependent_typeids, found);
  return write_continuation(out, result.continuation_point);
}

std::uint32_t operation_of(const GetTypesIn&) {
  return hash_id::get_types;
}
std::uint32_t operation_of(const GetTypeDependenciesIn&) {
  return hash_id::get_type_dependencies;
}
std::uint32_t operation_of(const GetTypesOut&) {
  return hash_id::get_types;
}
std::uint32_t operation_of(const GetTypeDependenciesOut&) {
  return hash_id::get_type_dependencies;
}

std::vector<std::byte> finish(const BufferWriter& body) {
  const std::size_t padding = (4 - body.size() % 4) % 4;
  std::vector<std::byte> payload(encapsulation_size + body.size() + padding);
  payload[1] = cdr2_le;
  payload[3] = static_cast<std::byte>(padding);
  std::ranges::copy(body.bytes(), payload.begin() + encapsulation_size);
  return payload;
}

// --- decoding ---------------------------------------------------------------------------------

// The bytes a DHEADER delimits, as a reader of their own (see `part`).
CodecResult<BufferReader> read_delimited(BufferReader& r) {
  auto length = r.read_u32();
  if (!length) return std::unexpected(length.error());
  auto bytes = r.read_bytes(*length);
  if (!bytes) return std::unexpected(bytes.error());
  return BufferReader(*bytes, r.little_endian());
}

CodecResult<SampleIdentity> read_identity(BufferReader& r) {
  std::array<std::uint8_t, 16> bytes{};
  for (std::size_t word = 0; word < 4; ++word) {
    auto value = r.read_u32();
    if (!value) return std::unexpected(value.error());
    for (std::size_t i = 0; i < 4; ++i)
      bytes[4 * word + i] = static_cast<std::uint8_t>(*value >> (24 - 8 * i));
  }
  auto high = r.read_i32();
  if (!high) return std::unexpected(high.error());
  auto low = r.read_u32();
  if (!low) return std::unexpected(low.error());
  return SampleIdentity{
      .writer_guid = rtps::Guid::from_bytes(bytes),
      .sequence_number = static_cast<std::int64_t>(
          static_cast<std::uint64_t>(static_cast<std::uint32_t>(*high)) << 32 | *low)};
}

std::uint32_t u32_at(std::span<const std::byte> bytes, std::size_t at, bool little_endian) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    const std::size_t shift = 8 * (little_endian ? i : 3 - i);
    value |= std::to_integer<std::uint32_t>(bytes[at + i]) << shift;
  }
  return value;
}

// The members of a mutable struct, each handed to `on_member(id, reader over its bytes)`. An
// unknown member is skipped unless it must be understood.
template <typename OnMember>
CodecResult<void> read_members(BufferReader& r, OnMember on_member) {
  auto length = r.read_u32();
  if (!length) return std::unexpected(length.error());
  const std::size_t origin = r.position();
  auto region = r.read_bytes(*length);
  if (!region) return std::unexpected(region.error());
  const std::span<const std::byte> bytes = *region;
  const bool le = r.little_endian();
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    pos = (pos + 3) & ~std::size_t{3};
    if (pos >= bytes.size()) break;
    if (4 > bytes.size() - pos) return std::unexpected(CodecError::eof(4, origin + pos));
    const std::uint32_t header = u32_at(bytes, pos, le);
    const std::uint32_t code = (header >> length_code_shift) & 0x7u;
    std::size_t start = pos + 4;
    std::size_t size = 0;
    if (code < 4) {
      size = std::size_t{1} << code;
    } else {
      if (4 > bytes.size() - start) return std::unexpected(CodecError::eof(4, origin + start));
      const std::size_t next = u32_at(bytes, start, le);
      const std::size_t scale = code == 6 ? 4 : code == 7 ? 8 : 1;
      if (code == 4) {
        start += 4;
        size = next;
      } else {
        // The length word belongs to the member (a sequence's DHEADER or element count).
        if (next > (bytes.size() - start) / scale)
          return std::unexpected(CodecError::eof(next, origin + start));
        size = 4 + next * scale;
      }
    }
    if (size > bytes.size() - start) return std::unexpected(CodecError::eof(size, origin + start));
    BufferReader member(bytes.subspan(start, size), le);
    auto known = on_member(header & member_id_mask, member);
    if (!known) return std::unexpected(known.error());
    if (!*known && (header & must_understand) != 0)
      return std::unexpected(CodecError::unsupported("type lookup member", origin + pos));
    pos = start + size;
  }
  return {};
}

// A sequence of non-primitive elements: DHEADER, count, then `read(reader)` per element.
template <typename T, typename Read>
CodecResult<std::vector<T>> read_sequence(BufferReader& r, std::size_t min_element, Read read) {
  auto body = read_delimited(r);
  if (!body) return std::unexpected(body.error());
  auto count = body->read_u32();
  if (!count) return std::unexpected(count.error());
  if (*count > max_type_ids || *count > body->remaining() / min_element)
    return std::unexpected(CodecError::resource_limit("type lookup sequence", body->position()));
  std::vector<T> items;
  items.reserve(*count);
  for (std::uint32_t i = 0; i < *count; ++i) {
    auto item = read(*body);
    if (!item) return std::unexpected(item.error());
    items.push_back(std::move(*item));
  }
  return items;
}

CodecResult<TypeIdentifier> read_id(BufferReader& r) {
  return TypeIdentifier::decode(r);
}

CodecResult<std::vector<std::uint8_t>> read_octets(BufferReader& r) {
  auto count = r.read_u32();
  if (!count) return std::unexpected(count.error());
  if (*count > max_continuation_point)
    return std::unexpected(CodecError::resource_limit("continuation point", r.position()));
  auto bytes = r.read_bytes(*count);
  if (!bytes) return std::unexpected(bytes.error());
  std::vector<std::uint8_t> out;
  for (const auto b : *bytes)
    out.push_back(std::to_integer<std::uint8_t>(b));
  return out;
}

CodecResult<TypePair> read_pair(BufferReader& r) {
  auto id = TypeIdentifier::decode(r);
  if (!id) return std::unexpected(id.error());
  NIMBREL_TRY(r.align(4));
  auto length = r.read_u32();
  if (!length) return std::unexpected(length.error());
  auto body = r.read_bytes(*length);
  if (!body) return std::unexpected(body.error());
  TypePair pair{.type_id = std::move(*id), .type_object = {}};
  BufferWriter header(r.little_endian());
  header.write_u32(*length);
  pair.type_object = std::move(header).take();
  pair.type_object.insert(pair.type_object.end(), body->begin(), body->end());
  return pair;
}

CodecResult<IdentifierPair> read_id_pair(BufferReader& r) {
  auto complete = TypeIdentifier::decode(r);
  if (!complete) return std::unexpected(complete.error());
  auto minimal = TypeIdentifier::decode(r);
  if (!minimal) return std::unexpected(minimal.error());
  return IdentifierPair{.complete = std::move(*complete), .minimal = std::move(*minimal)};
}

// The value of a whole payload: encapsulation, then the body in its byte order up to the
// declared padding; nothing may be left over.
template <typename T, typename Read>
CodecResult<T> read_payload(std::span<const std::byte> payload, Read read) {
  if (!is_cdr2_payload(payload))
    return std::unexpected(CodecError{.kind = CodecError::Kind::UnsupportedEncapsulation});
  const std::size_t padding = std::to_integer<std::size_t>(payload[3]) & 0x3u;
  const auto body = payload.subspan(encapsulation_size);
  if (padding > body.size()) return std::unexpected(CodecError::malformed("padding", 3));
  BufferReader r(body.first(body.size() - padding), payload[1] == cdr2_le);
  auto value = read(r);
  if (!value) return std::unexpected(value.error());
  if (r.remaining() != 0)
    return std::unexpected(CodecError::malformed("bytes after type lookup message", r.position()));
  return value;
}

// A union's discriminator and its member, behind the union's DHEADER.
struct UnionBody {
  std::uint32_t discriminator = 0;
  BufferReader rest;
};

CodecResult<UnionBody> read_union(BufferReader& r) {
  auto body = read_delimited(r);
  if (!body) return std::unexpected(body.error());
  auto discriminator = body->read_u32();
  if (!discriminator) return std::unexpected(discriminator.error());
  return UnionBody{.discriminator = *discriminator, .rest = *body};
}

// One known member into its field.
template <typename T, typename Read>
CodecResult<bool> read_into(T& field, BufferReader& m, Read read) {
  auto value = read(m);
  if (!value) return std::unexpected(value.error());
  field = std::move(*value);
  return true;
}

CodecResult<std::vector<TypeIdentifier>> read_ids(BufferReader& m) {
  return read_sequence<TypeIdentifier>(m, 1, read_id);
}
// An identifier (1) and a type object's DHEADER (4) at least.
CodecResult<std::vector<TypePair>> read_pairs(BufferReader& m) {
  return read_sequence<TypePair>(m, 5, read_pair);
}
CodecResult<std::vector<IdentifierPair>> read_id_pairs(BufferReader& m) {
  return read_sequence<IdentifierPair>(m, 2, read_id_pair);
}
CodecResult<std::vector<types::TypeIdentifierWithSize>> read_sizes(BufferReader& m) {
  return types::decode_xcdr2_identifiers_with_size(m);
}

CodecResult<GetTypesIn> read_get_types_in(BufferReader& r) {
  GetTypesIn in;
  NIMBREL_TRY(read_members(r, [&](std::uint32_t id, BufferReader& m) -> CodecResult<bool> {
    if (id == hash_id::type_ids) return read_into(in.type_ids, m, read_ids);
    return false;
  }));
  return in;
}

CodecResult<GetTypeDependenciesIn> read_dependencies_in(BufferReader& r) {
  GetTypeDependenciesIn in;
  NIMBREL_TRY(read_members(r, [&](std::uint32_t id, BufferReader& m) -> CodecResult<bool> {
    if (id == hash_id::type_ids) return read_into(in.type_ids, m, read_ids);
    if (id == hash_id::continuation_point) return read_into(in.continuation_point, m, read_octets);
    return false;
  }));
  return in;
}

CodecResult<GetTypesOut> read_get_types_out(BufferReader& r) {
  GetTypesOut out;
  NIMBREL_TRY(read_members(r, [&](std::uint32_t id, BufferReader& m) -> CodecResult<bool> {
    if (id == hash_id::types) return read_into(out.types, m, read_pairs);
    if (id == hash_id::complete_to_minimal)
      return read_into(out.complete_to_minimal, m, read_id_pairs);
    return false;
  }));
  return out;
}

CodecResult<GetTypeDependenciesOut> read_dependencies_out(BufferReader& r) {
  GetTypeDependenciesOut out;
  NIMBREL_TRY(read_members(r, [&](std::uint32_t id, BufferReader& m) -> CodecResult<bool> {
    if (id == hash_id::dependent_typeids) return read_into(out.dependent_typeids, m, read_sizes);
    if (id == hash_id::continuation_point) return read_into(out.continuation_point, m, read_octets);
    return false;
  }));
  return out;
}

}  // namespace

bool is_cdr2_payload(std::span<const std::byte> payload) {
  return payload.size() >= encapsulation_size && payload[0] == std::byte{0} &&
         (payload[1] == cdr2_le || payload[1] == cdr2_be);
}

CodecResult<std::vector<std::byte>> encode_payload(const Request& request) {
  if (request.instance_name.size() > max_instance_name)
    return std::unexpected(CodecError::out_of_range("instance name"));
  BufferWriter w(/*little_endian=*/true);
  write_identity(w, request.request_id);
  NIMBREL_TRY(w.write_string(request.instance_name));
  NIMBREL_TRY(std::visit(
      [&](const auto& call) -> CodecResult<void> {
        BufferWriter in = part(w);
        NIMBREL_TRY(write_call(in, call));
        BufferWriter body = part(w);
        body.write_u32(operation_of(call));
        NIMBREL_TRY(write_delimited(body, in));
        return write_delimited(w, body);
      },
      request.call));
  return finish(w);
}

CodecResult<std::vector<std::byte>> encode_payload(const Reply& reply) {
  BufferWriter w(/*little_endian=*/true);
  write_identity(w, reply.related_request);
  w.write_i32(reply.remote_ex);
  NIMBREL_TRY(std::visit(
      [&](const auto& out) -> CodecResult<void> {
        BufferWriter result = part(w);
        result.write_i32(reply.retcode);
        if (reply.retcode == retcode_ok) {
          BufferWriter members = part(w);
          NIMBREL_TRY(write_out(members, out));
          NIMBREL_TRY(write_delimited(result, members));
        }
        BufferWriter ret = part(w);
        ret.write_u32(operation_of(out));
        NIMBREL_TRY(write_delimited(ret, result));
        return write_delimited(w, ret);
      },
      reply.result));
  return finish(w);
}

CodecResult<Request> decode_request(std::span<const std::byte> payload) {
  return read_payload<Request>(payload, [](BufferReader& r) -> CodecResult<Request> {
    Request request;
    auto identity = read_identity(r);
    if (!identity) return std::unexpected(identity.error());
    request.request_id = *identity;
    const std::size_t name_at = r.position();
    auto name = r.read_string();
    if (!name) return std::unexpected(name.error());
    if (name->size() > max_instance_name)
      return std::unexpected(CodecError::resource_limit("instance name", name_at));
    request.instance_name = std::move(*name);
    NIMBREL_TRY(r.align(4));
    auto call = read_union(r);
    if (!call) return std::unexpected(call.error());
    if (call->discriminator == hash_id::get_types) {
      auto in = read_get_types_in(call->rest);
      if (!in) return std::unexpected(in.error());
      request.call = std::move(*in);
    } else if (call->discriminator == hash_id::get_type_dependencies) {
      auto in = read_dependencies_in(call->rest);
      if (!in) return std::unexpected(in.error());
      request.call = std::move(*in);
    } else {
      return std::unexpected(CodecError::invalid_value(call->discriminator, r.position()));
    }
    return request;
  });
}

CodecResult<Reply> decode_reply(std::span<const std::byte> payload) {
  return read_payload<Reply>(payload, [](BufferReader& r) -> CodecResult<Reply> {
    Reply reply;
    auto identity = read_identity(r);
    if (!identity) return std::unexpected(identity.error());
    reply.related_request = *identity;
    auto remote_ex = r.read_i32();
    if (!remote_ex) return std::unexpected(remote_ex.error());
    reply.remote_ex = *remote_ex;
    auto ret = read_union(r);
    if (!ret) return std::unexpected(ret.error());
    const bool get_types = ret->discriminator == hash_id::get_types;
    if (!get_types && ret->discriminator != hash_id::get_type_dependencies)
      return std::unexpected(CodecError::invalid_value(ret->discriminator, r.position()));
    auto result = read_union(ret->rest);
    if (!result) return std::unexpected(result.error());
    reply.retcode = static_cast<std::int32_t>(result->discriminator);
    if (get_types) {
      reply.result = GetTypesOut{};
    } else {
      reply.result = GetTypeDependenciesOut{};
    }
    if (reply.retcode != retcode_ok) return reply;
    if (get_types) {
      auto out = read_get_types_out(result->rest);
      if (!out) return std::unexpected(out.error());
      reply.result = std::move(*out);
    } else {
      auto out = read_dependencies_out(result->rest);
      if (!out) return std::unexpected(out.error());
      reply.result = std::move(*out);
    }
    return reply;
  });
}

}  // namespace nimbrel::discovery::rpc
