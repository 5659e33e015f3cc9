#include "types/type_information.hpp"

#include "types/detail/standard_codec.hpp"

namespace nimbrel::types {

namespace {

using detail::Form;

constexpr std::uint32_t minimal_member_id = 0x1001;
constexpr std::uint32_t complete_member_id = 0x1002;
constexpr std::uint32_t must_understand_bit = 0x80000000u;
constexpr std::uint32_t member_id_mask = 0x0FFFFFFFu;
constexpr std::uint32_t length_code_nextint = 4;
constexpr std::uint32_t length_code_dheader = 5;

// One member behind its EMHEADER. Length codes 0-3 fix its size; 4 puts a NEXTINT with the size
// before it; 5-7 make the NEXTINT the member's own first word (for 5, its DHEADER).
CodecResult<void> get_member(cdr::BufferReader& r, bool& seen_minimal, bool& seen_complete,
                             TypeInformation& info) {
  const std::size_t at = r.position();
  auto header = r.read_u32();
  if (!header) return std::unexpected(header.error());
  const std::uint32_t id = *header & member_id_mask;
  const std::uint32_t length_code = (*header >> 28) & 0x7u;
  const bool known = id == minimal_member_id || id == complete_member_id;

  std::uint64_t size = std::uint64_t{1} << length_code;
  if (length_code >= length_code_nextint) {
    auto next = r.read_u32();
    if (!next) return std::unexpected(next.error());
    const std::uint64_t unit = length_code == 6 ? 4 : length_code == 7 ? 8 : 1;
    size = std::uint64_t{*next} * unit;
  }
  if (size > r.remaining()) return std::unexpected(CodecError::eof(size, r.position()));
  const std::size_t end = r.position() + static_cast<std::size_t>(size);

  if (!known) {
    if (*header & must_understand_bit) return std::unexpected(CodecError::invalid_value(id, at));
    auto skipped = r.read_bytes(end - r.position());
    if (!skipped) return std::unexpected(skipped.error());
    return {};
  }
  TypeIdentifierWithDependencies& target = id == minimal_member_id ? info.minimal : info.complete;
  (id == minimal_member_id ? seen_minimal : seen_complete) = true;
  if (length_code == length_code_nextint) {
    if (auto ok = detail::get_record(r, Form::Xcdr2, target); !ok) return ok;
  } else if (length_code == length_code_dheader) {
    // The NEXTINT was the record's DHEADER: what is left is its body.
    using Body = decltype(detail::all_parts<FinalGroup>(std::make_index_sequence<3>{}));
    if (auto ok = detail::get_part(r, Form::Xcdr2, target, Body{}); !ok) return ok;
  } else {
    return std::unexpected(CodecError::invalid_value(length_code, at));
  }
  return detail::close_dheader(r, end);
}

CodecResult<TypeInformation> get_xcdr2(cdr::BufferReader& r) {
  TypeInformation info;
  bool seen_minimal = false;
  bool seen_complete = false;
  auto end = detail::get_dheader(r);
  if (!end) return std::unexpected(end.error());
  while (r.position() < *end) {
    if (auto ok = get_member(r, seen_minimal, seen_complete, info); !ok)
      return std::unexpected(ok.error());
  }
  if (auto ok = detail::close_dheader(r, *end); !ok) return std::unexpected(ok.error());
  if (!seen_minimal || !seen_complete)
    return std::unexpected(CodecError::malformed("type information lacks a member", *end));
  return info;
}

CodecResult<TypeInformation> get_fastdds(std::span<const std::byte> value) {
  return detail::decode_encapsulated<TypeInformation>(
      value, [](cdr::BufferReader& r) -> CodecResult<TypeInformation> {
        TypeInformation info;
        if (auto ok = detail::get_record(r, Form::FastDds, info.minimal); !ok)
          return std::unexpected(ok.error());
        if (auto ok = detail::get_record(r, Form::FastDds, info.complete); !ok)
          return std::unexpected(ok.error());
        return info;
      });
}

bool looks_encapsulated(std::span<const std::byte> value) {
  return value.size() >= 4 && value[0] == std::byte{0} && value[1] <= std::byte{1} &&
         value[2] == std::byte{0} && value[3] == std::byte{0};
}

}  // namespace

CodecResult<TypeInformation> decode_type_information(std::span<const std::byte> value,
                                                     bool little_endian) {
  cdr::BufferReader r(value, little_endian);
  auto info = get_xcdr2(r);
  if (info && r.remaining() > 3)
    info = std::unexpected(CodecError::malformed("bytes after the value", r.position()));
  if (info || !looks_encapsulated(value)) return info;
  return get_fastdds(value);
}

CodecResult<std::vector<std::byte>> encode_type_information(const TypeInformation& info,
                                                            bool little_endian) {
  cdr::BufferWriter w(little_endian);
  auto ok = detail::put_delimited(w, [&](cdr::BufferWriter& body) -> CodecResult<void> {
    for (const auto& [id, member] : {std::pair{minimal_member_id, &info.minimal},
                                     std::pair{complete_member_id, &info.complete}}) {
      body.write_u32(length_code_nextint << 28 | id);
      if (auto put = detail::put_delimited(
              body, [&](cdr::BufferWriter& m) { return detail::put_record(m, *member); });
          !put)
        return put;
    }
    return {};
  });
  if (!ok) return std::unexpected(ok.error());
  return std::move(w).take();
}

CodecResult<void> encode_xcdr2(cdr::BufferWriter& writer,
                               const std::vector<TypeIdentifierWithSize>& list) {
  return detail::put(writer, list);
}

CodecResult<std::vector<TypeIdentifierWithSize>> decode_xcdr2_identifiers_with_size(
    cdr::BufferReader& reader) {
  std::vector<TypeIdentifierWithSize> list;
  if (auto ok = detail::get(reader, Form::Xcdr2, list); !ok) return std::unexpected(ok.error());
  return list;
}

}  // namespace nimbrel::types
