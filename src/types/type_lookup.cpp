#include "types/type_lookup.hpp"

#include <algorithm>

namespace nimbrel::types {

using cdr::BufferReader;
using cdr::BufferWriter;

namespace {

// Request lists report a bad identifier as a bad element; `describe` names the failure.
template <typename Describe>
CodecResult<void> decode_type_ids(BufferReader& r, std::vector<TypeIdentifier>& ids,
                                  Describe describe) {
  auto count = r.read_u32();
  if (!count) return std::unexpected(count.error());
  ids.reserve(std::min<std::size_t>({*count, r.remaining(), max_sequence_reservation}));
  for (std::uint32_t i = 0; i < *count; ++i) {
    const std::size_t at = r.position();
    auto id = TypeIdentifier::decode(r, 0);
    if (!id) {
      return std::unexpected(
          CodecError::with_message(CodecError::Kind::InvalidElement, describe(id.error()), at));
    }
    ids.push_back(std::move(*id));
  }
  return {};
}

template <typename Message>
CodecResult<Message> decode_message(BufferReader& reader) {
  Message message;
  if (auto ok = decode_field(reader, message); !ok) return std::unexpected(ok.error());
  return message;
}

}  // namespace

CodecResult<void> ContinuationPoint::encode(BufferWriter& writer) const {
  const std::size_t length = std::min(bytes.size(), max_continuation_point_size);
  writer.write_u32(static_cast<std::uint32_t>(length));
  writer.write_bytes(std::as_bytes(std::span(bytes).first(length)));
  return {};
}

CodecResult<ContinuationPoint> ContinuationPoint::decode(BufferReader& reader) {
  if (auto aligned = reader.align(4); !aligned) return std::unexpected(aligned.error());
  const std::size_t at = reader.position();
  auto length = reader.read_u32();
  if (!length) return std::unexpected(length.error());
  if (*length > max_continuation_point_size) {
    return std::unexpected(CodecError::invalid_value(*length, at));
  }
  auto raw = reader.read_bytes(*length);
  if (!raw) return std::unexpected(raw.error());
  const auto* first = reinterpret_cast<const std::uint8_t*>(raw->data());
  return ContinuationPoint{.bytes = {first, first + raw->size()}};
}

CodecResult<void> encode_field(BufferWriter& w, const ContinuationPoint& point) {
  return point.encode(w);
}

CodecResult<void> decode_field(BufferReader& r, ContinuationPoint& point) {
  auto decoded = ContinuationPoint::decode(r);
  if (!decoded) return std::unexpected(decoded.error());
  point = std::move(*decoded);
  return {};
}

CodecResult<void> GetTypesRequest::encode(BufferWriter& writer) const {
  return encode_field(writer, *this);
}

CodecResult<GetTypesRequest> GetTypesRequest::decode(BufferReader& reader) {
  GetTypesRequest request;
  auto ok = decode_type_ids(reader, request.type_ids, [](const CodecError& e) {
    return e.kind == CodecError::Kind::UnexpectedEof ? "eof" : "decode";
  });
  if (!ok) return std::unexpected(ok.error());
  return request;
}

CodecResult<void> GetTypesReply::encode(BufferWriter& writer) const {
  return encode_field(writer, *this);
}

CodecResult<GetTypesReply> GetTypesReply::decode(BufferReader& reader) {
  return decode_message<GetTypesReply>(reader);
}

CodecResult<void> GetTypeDependenciesRequest::encode(BufferWriter& writer) const {
  return encode_field(writer, *this);
}

CodecResult<GetTypeDependenciesRequest> GetTypeDependenciesRequest::decode(BufferReader& reader) {
  GetTypeDependenciesRequest request;
  auto ok = decode_type_ids(reader, request.type_ids, [](const CodecError&) { return "type_id"; });
  if (ok) ok = decode_field(reader, request.continuation_point);
  if (!ok) return std::unexpected(ok.error());
  return request;
}

CodecResult<void> GetTypeDependenciesReply::encode(BufferWriter& writer) const {
  return encode_field(writer, *this);
}

CodecResult<GetTypeDependenciesReply> GetTypeDependenciesReply::decode(BufferReader& reader) {
  return decode_message<GetTypeDependenciesReply>(reader);
}

}  // namespace nimbrel::types
