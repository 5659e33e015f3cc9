#include "types/type_object.hpp"

namespace nimbrel::types {

namespace {

template <typename Object>
CodecResult<Object> decode_object(cdr::BufferReader& reader) {
  auto value = decode_type_kind<typename Object::Value>(reader);
  if (!value) return std::unexpected(value.error());
  return Object{std::move(*value)};
}

}  // namespace

CodecResult<void> MinimalTypeObject::encode(cdr::BufferWriter& writer) const {
  return encode_type_kind(writer, value);
}

CodecResult<MinimalTypeObject> MinimalTypeObject::decode(cdr::BufferReader& reader) {
  return decode_object<MinimalTypeObject>(reader);
}

CodecResult<void> CompleteTypeObject::encode(cdr::BufferWriter& writer) const {
  return encode_type_kind(writer, value);
}

CodecResult<CompleteTypeObject> CompleteTypeObject::decode(cdr::BufferReader& reader) {
  return decode_object<CompleteTypeObject>(reader);
}

CodecResult<void> TypeObject::encode(cdr::BufferWriter& writer) const {
  if (const auto* minimal = std::get_if<MinimalTypeObject>(&value)) {
    writer.write_u8(ek_minimal);
    return minimal->encode(writer);
  }
  writer.write_u8(ek_complete);
  return std::get<CompleteTypeObject>(value).encode(writer);
}

CodecResult<TypeObject> TypeObject::decode(cdr::BufferReader& reader) {
  const std::size_t at = reader.position();
  auto kind = reader.read_u8();
  if (!kind) return std::unexpected(kind.error());
  if (*kind == ek_minimal) {
    auto minimal = MinimalTypeObject::decode(reader);
    if (!minimal) return std::unexpected(minimal.error());
    return TypeObject{std::move(*minimal)};
  }
  if (*kind == ek_complete) {
    auto complete = CompleteTypeObject::decode(reader);
    if (!complete) return std::unexpected(complete.error());
    return TypeObject{std::move(*complete)};
  }
  return std::unexpected(CodecError::invalid_value(*kind, at));
}

CodecResult<void> encode_field(cdr::BufferWriter& w, const TypeObject& object) {
  return object.encode(w);
}

CodecResult<void> decode_field(cdr::BufferReader& r, TypeObject& object) {
  auto decoded = TypeObject::decode(r);
  if (!decoded) return std::unexpected(decoded.error());
  object = std::move(*decoded);
  return {};
}

}  // namespace nimbrel::types
