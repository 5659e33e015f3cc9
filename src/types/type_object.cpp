#include "types/type_object.hpp"

namespace nimbrel::types {

namespace {

template <typename Object>
cdr::DecodeResult<Object> decode_object(cdr::BufferReader& reader) {
  auto value = decode_type_kind<typename Object::Value>(reader);
  if (!value) return std::unexpected(value.error());
  return Object{std::move(*value)};
}

}  // namespace

cdr::EncodeResult MinimalTypeObject::encode_into(cdr::BufferWriter& writer) const {
  return encode_type_kind(writer, value);
}

cdr::DecodeResult<MinimalTypeObject> MinimalTypeObject::decode_from(cdr::BufferReader& reader) {
  return decode_object<MinimalTypeObject>(reader);
}

cdr::EncodeResult CompleteTypeObject::encode_into(cdr::BufferWriter& writer) const {
  return encode_type_kind(writer, value);
}

cdr::DecodeResult<CompleteTypeObject> CompleteTypeObject::decode_from(cdr::BufferReader& reader) {
  return decode_object<CompleteTypeObject>(reader);
}

cdr::EncodeResult TypeObject::encode_into(cdr::BufferWriter& writer) const {
  if (const auto* minimal = std::get_if<MinimalTypeObject>(&value)) {
    writer.write_u8(ek_minimal);
    return minimal->encode_into(writer);
  }
  writer.write_u8(ek_complete);
  return std::get<CompleteTypeObject>(value).encode_into(writer);
}

cdr::DecodeResult<TypeObject> TypeObject::decode_from(cdr::BufferReader& reader) {
  const std::size_t at = reader.position();
  auto kind = reader.read_u8();
  if (!kind) return std::unexpected(kind.error());
  if (*kind == ek_minimal) {
    auto minimal = MinimalTypeObject::decode_from(reader);
    if (!minimal) return std::unexpected(minimal.error());
    return TypeObject{std::move(*minimal)};
  }
  if (*kind == ek_complete) {
    auto complete = CompleteTypeObject::decode_from(reader);
    if (!complete) return std::unexpected(complete.error());
    return TypeObject{std::move(*complete)};
  }
  return std::unexpected(cdr::CdrDecodeError{
      .kind = cdr::CdrDecodeError::Kind::InvalidValue, .offset = at, .value = *kind});
}

std::expected<std::vector<std::byte>, cdr::CdrEncodeError> TypeObject::to_bytes_le() const {
  cdr::BufferWriter writer(/*little_endian=*/true);
  if (auto ok = encode_into(writer); !ok) return std::unexpected(ok.error());
  return std::move(writer).take();
}

cdr::EncodeResult encode_field(cdr::BufferWriter& w, const TypeObject& object) {
  return object.encode_into(w);
}

DecodeStatus decode_field(cdr::BufferReader& r, TypeObject& object) {
  auto decoded = TypeObject::decode_from(r);
  if (!decoded) return std::unexpected(decoded.error());
  object = std::move(*decoded);
  return {};
}

}  // namespace nimbrel::types
