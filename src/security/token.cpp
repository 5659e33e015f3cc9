#include "security/token.hpp"

#include <algorithm>

#include "cdr/buffer.hpp"
#include "rtps/wire_cursor.hpp"

namespace nimbrel::security {
namespace {

using Reader = rtps::WireReader;

std::unexpected<CodecError> fail(const char* text, const Reader& in) {
  return std::unexpected(CodecError::rejected(text, in.position()));
}

CodecResult<std::uint32_t> read_u32(Reader& in) {
  in.align(4);
  auto value = in.read_u32();
  if (!value) return fail("token: truncated u32", in);
  return *value;
}

CodecResult<std::string> read_string(Reader& in) {
  const auto length = read_u32(in);
  if (!length) return std::unexpected(length.error());
  if (*length > token::max_string_length) return fail("token: string exceeds cap", in);
  if (*length == 0) return std::string();
  const auto raw = in.read_bytes(*length);
  if (!raw) return fail("token: truncated string", in);
  if (raw->back() != std::byte{0}) return fail("token: string missing trailing NUL", in);
  const auto text = raw->first(*length - 1);
  if (!cdr::is_valid_utf8(text)) return fail("token: string not UTF-8", in);
  return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

// Room for at most what the remaining bytes could hold, `min_size` bytes per element.
template <typename T>
void reserve_for(std::vector<T>& list, std::uint32_t count, const Reader& in,
                 std::size_t min_size) {
  list.reserve(std::min<std::size_t>(count, in.remaining() / min_size));
}

}  // namespace

CodecResult<DataHolder> DataHolder::decode(Reader& in) {
  if (in.remaining() > token::max_token_bytes) return fail("token: payload exceeds DoS cap", in);
  DataHolder holder;
  NIMBREL_READ_OR_RETURN(holder.class_id, read_string(in));

  std::uint32_t count = 0;
  NIMBREL_READ_OR_RETURN(count, read_u32(in));
  if (count > token::max_properties) return fail("token: property count exceeds cap", in);
  reserve_for(holder.properties, count, in, /*min_size=*/8);  // two string lengths
  for (std::uint32_t i = 0; i < count; ++i) {
    Property property;
    NIMBREL_READ_OR_RETURN(property.name, read_string(in));
    NIMBREL_READ_OR_RETURN(property.value, read_string(in));
    holder.properties.push_back(std::move(property));
  }

  NIMBREL_READ_OR_RETURN(count, read_u32(in));
  if (count > token::max_binary_properties)
    return fail("token: binary_property count exceeds cap", in);
  reserve_for(holder.binary_properties, count, in, /*min_size=*/8);
  for (std::uint32_t i = 0; i < count; ++i) {
    BinaryProperty property;
    NIMBREL_READ_OR_RETURN(property.name, read_string(in));
    std::uint32_t length = 0;
    NIMBREL_READ_OR_RETURN(length, read_u32(in));
    if (length > token::max_binary_value) return fail("token: binary value exceeds cap", in);
    const auto value = in.read_bytes(length);
    if (!value) return fail("token: truncated binary", in);
    property.value.assign(value->begin(), value->end());
    holder.binary_properties.push_back(std::move(property));
  }
  return holder;
}

}  // namespace nimbrel::security
