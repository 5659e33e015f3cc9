// Byte cursors of the RTPS wire codecs: a reader over a borrowed span and a writer appending to a
// vector, both in one byte order fixed at construction. RTPS submessage fields are packed by their
// layouts, so neither cursor aligns on its own; `align` is relative to the cursor's start.
//
// The codec contract of this family: `static CodecResult<T> T::decode(WireReader&, context...)`
// reads from one cursor and hands it on to the decoders of nested values; `void
// T::encode(WireWriter&) const`, or `CodecResult<void>` where encoding can fail, writes into one.
// `decode_bytes` and `encode_bytes` below do the same for a whole buffer. Every read result is
// checked, through NIMBREL_READ_OR_RETURN, so a changed layout gives an error instead of a bad
// dereference.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "foundation/codec_error.hpp"
#include "foundation/shared_bytes.hpp"
#include "rtps/wire_types.hpp"

// Assigns the value of `expr` (a CodecResult) to `target`, or returns its error from the enclosing
// function.
#define NIMBREL_READ_OR_RETURN(target, expr)                                      \
  do {                                                                            \
    auto nimbrel_read_ = (expr);                                                  \
    if (!nimbrel_read_) return std::unexpected(std::move(nimbrel_read_).error()); \
    (target) = std::move(*nimbrel_read_);                                         \
  } while (false)

namespace nimbrel::rtps {

class WireReader {
 public:
  WireReader(std::span<const std::byte> input, bool little_endian)
      : input_(input), little_endian_(little_endian) {}
  // Over a shared buffer, so that `read_shared` hands out views of it instead of copies. The
  // buffer must outlive the reader, as a span's bytes must.
  WireReader(const SharedBytes& input, bool little_endian)
      : input_(input.span()), owner_(&input), little_endian_(little_endian) {}
  WireReader(SharedBytes&&, bool) = delete;

  bool little_endian() const { return little_endian_; }
  std::size_t position() const { return pos_; }
  std::size_t size() const { return input_.size(); }
  std::size_t remaining() const { return pos_ < input_.size() ? input_.size() - pos_ : 0; }
  bool has(std::size_t n) const { return pos_ <= input_.size() && n <= input_.size() - pos_; }

  // Moves to an absolute offset. Past the end every read fails, naming that offset.
  void seek(std::size_t offset) { pos_ = offset; }
  // Skips padding to a multiple of n from the start; stops at the end if the padding is cut off.
  void align(std::size_t n) { pos_ = std::min(round_up(pos_, n), input_.size()); }
  // As `align`, but cut-off padding leaves the cursor past the end, so that the next read names
  // the offset where its field was due (padding between CDR sequence elements).
  void align_due(std::size_t n) { pos_ = round_up(pos_, n); }

  // A reader over the next `n` bytes (fewer if fewer remain) in `little_endian` order, its offsets
  // counted from here; this reader stays where it is. For a nested list whose errors count from
  // its own start, or a payload whose encapsulation header names its byte order.
  WireReader window(std::size_t n, bool little_endian) const;
  WireReader rest(bool little_endian) const { return window(remaining(), little_endian); }
  // The same bytes and position in another byte order.
  WireReader with_byte_order(bool little_endian) const {
    WireReader out = *this;
    out.little_endian_ = little_endian;
    return out;
  }

  CodecResult<std::span<const std::byte>> read_bytes(std::size_t n);
  // As `read_bytes`, as a view sharing the buffer the reader was made over (a copy when it was
  // made over a plain span).
  CodecResult<SharedBytes> read_shared(std::size_t n);
  template <std::size_t N>
  CodecResult<std::array<std::uint8_t, N>> read_array() {
    if (!has(N)) return std::unexpected(CodecError::eof(N, pos_));
    std::array<std::uint8_t, N> out{};
    for (std::size_t i = 0; i < N; ++i)
      out[i] = std::to_integer<std::uint8_t>(input_[pos_ + i]);
    pos_ += N;
    return out;
  }
  CodecResult<std::uint8_t> read_u8() { return read_unsigned<std::uint8_t>(); }
  CodecResult<std::uint16_t> read_u16() { return read_unsigned<std::uint16_t>(); }
  CodecResult<std::uint32_t> read_u32() { return read_unsigned<std::uint32_t>(); }
  CodecResult<std::uint64_t> read_u64() { return read_unsigned<std::uint64_t>(); }
  CodecResult<std::int32_t> read_i32();
  CodecResult<EntityId> read_entity_id();
  CodecResult<GuidPrefix> read_guid_prefix();
  // The sixteen bytes as they are, whatever the byte order.
  CodecResult<Guid> read_guid();
  // High half signed, low half unsigned (DDSI-RTPS 2.5 section 9.3.2).
  CodecResult<SequenceNumber> read_sequence_number();
  CodecResult<Locator> read_locator();
  // CDR string, unaligned: length (text + 1), the text, a NUL; the text must be UTF-8. A length
  // field over `max_length` fails with `too_long_message`.
  CodecResult<std::string> read_cdr_string(
      std::size_t max_length = std::numeric_limits<std::uint32_t>::max(),
      const char* too_long_message = "");

 private:
  static std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

  template <typename T>
  CodecResult<T> read_unsigned() {
    if (!has(sizeof(T))) return std::unexpected(CodecError::eof(sizeof(T), pos_));
    return load<T>();
  }
  // Only after `has` has vouched for the bytes.
  template <typename T>
  T load() {
    static_assert(std::is_unsigned_v<T>);
    T v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
      const std::size_t shift = 8 * (little_endian_ ? i : sizeof(T) - 1 - i);
      v = static_cast<T>(v | static_cast<T>(static_cast<T>(input_[pos_ + i]) << shift));
    }
    pos_ += sizeof(T);
    return v;
  }

  std::span<const std::byte> input_;
  const SharedBytes* owner_ = nullptr;  // holds input_ when set
  std::size_t pos_ = 0;
  bool little_endian_;
};

class WireWriter {
 public:
  WireWriter(std::vector<std::byte>& out, bool little_endian)
      : out_(out), little_endian_(little_endian) {}

  bool little_endian() const { return little_endian_; }
  std::size_t size() const { return out_.size(); }
  // Appends to the same bytes in another byte order.
  WireWriter with_byte_order(bool little_endian) const { return WireWriter(out_, little_endian); }
  // Room for `n` more bytes.
  void reserve(std::size_t n) { out_.reserve(out_.size() + n); }

  void write_bytes(std::span<const std::byte> bytes) {
    out_.insert(out_.end(), bytes.begin(), bytes.end());
  }
  void write_bytes(std::span<const std::uint8_t> bytes);
  void write_u8(std::uint8_t v) { out_.push_back(std::byte{v}); }
  void write_u16(std::uint16_t v) { write_unsigned(v); }
  void write_u32(std::uint32_t v) { write_unsigned(v); }
  void write_u64(std::uint64_t v) { write_unsigned(v); }
  void write_i32(std::int32_t v) { write_unsigned(static_cast<std::uint32_t>(v)); }
  void write_entity_id(const EntityId& id);
  void write_guid(const Guid& guid);
  void write_sequence_number(SequenceNumber sn);
  void write_locator(const Locator& locator);
  // CDR string, unaligned: length (text + 1), the text, a NUL.
  CodecResult<void> write_cdr_string(std::string_view text);
  void write_zeros(std::size_t n) { out_.insert(out_.end(), n, std::byte{0}); }
  // Zero padding to a multiple of n counted from `origin`.
  void pad_to(std::size_t n, std::size_t origin = 0);
  // Overwrites a 16-bit field written earlier, e.g. a length reserved before its value was known.
  void patch_u16(std::size_t offset, std::uint16_t v);

 private:
  template <typename T>
  void write_unsigned(T v) {
    for (std::size_t i = 0; i < sizeof(T); ++i) {
      const std::size_t shift = 8 * (little_endian_ ? i : sizeof(T) - 1 - i);
      out_.push_back(static_cast<std::byte>((v >> shift) & 0xFFu));
    }
  }

  std::vector<std::byte>& out_;
  bool little_endian_;
};

// A value decoded from the start of `bytes`; what follows it is the decoder's business.
template <typename T, typename... Context>
CodecResult<T> decode_bytes(std::span<const std::byte> bytes, bool little_endian,
                            Context&&... context) {
  WireReader reader(bytes, little_endian);
  return T::decode(reader, std::forward<Context>(context)...);
}
// As above; decoded payloads and fragments are views of `bytes`.
template <typename T, typename... Context>
CodecResult<T> decode_bytes(const SharedBytes& bytes, bool little_endian, Context&&... context) {
  WireReader reader(bytes, little_endian);
  return T::decode(reader, std::forward<Context>(context)...);
}

// A value encoded into a fresh buffer: the bytes, or a CodecResult of them when encoding can fail.
template <typename T>
auto encode_bytes(const T& value, bool little_endian) {
  std::vector<std::byte> out;
  WireWriter writer(out, little_endian);
  if constexpr (std::is_void_v<decltype(value.encode(writer))>) {
    value.encode(writer);
    return out;
  } else {
    using Result = CodecResult<std::vector<std::byte>>;
    if (auto ok = value.encode(writer); !ok) return Result(std::unexpected(ok.error()));
    return Result(std::move(out));
  }
}

// Text as the byte span the codecs work on.
inline std::span<const std::byte> text_bytes(std::string_view text) {
  return std::as_bytes(std::span(text.data(), text.size()));
}

}  // namespace nimbrel::rtps
