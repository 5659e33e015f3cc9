// Aligned CDR cursors for the type system's XCDR codecs. Both work in one byte order chosen at
// construction and align every primitive relative to the start of their own buffer; the writer
// pads with zeros, the reader skips padding unchecked. Every read is bounds-checked.
//
// The codec contract of this family: `static CodecResult<T> T::decode(BufferReader&, context...)`
// and `CodecResult<void> T::encode(BufferWriter&) const`; `decode_bytes` and `encode_bytes` below
// do the same for a whole buffer.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "foundation/codec_error.hpp"

namespace nimbrel::cdr {

class BufferWriter {
 public:
  explicit BufferWriter(bool little_endian = true) : little_endian_(little_endian) {}

  bool little_endian() const { return little_endian_; }
  std::size_t size() const { return bytes_.size(); }
  const std::vector<std::byte>& bytes() const { return bytes_; }
  std::vector<std::byte> take() && { return std::move(bytes_); }

  void write_bytes(std::span<const std::byte> bytes);
  void write_u8(std::uint8_t v) { bytes_.push_back(std::byte{v}); }
  void write_u16(std::uint16_t v) { write_primitive(v); }
  void write_u32(std::uint32_t v) { write_primitive(v); }
  void write_u64(std::uint64_t v) { write_primitive(v); }
  void write_i16(std::int16_t v) { write_primitive(v); }
  void write_i32(std::int32_t v) { write_primitive(v); }
  void write_i64(std::int64_t v) { write_primitive(v); }
  void write_f32(float v) { write_primitive(std::bit_cast<std::uint32_t>(v)); }
  void write_f64(double v) { write_primitive(std::bit_cast<std::uint64_t>(v)); }
  // Length (text bytes + 1) then the text and a NUL.
  CodecResult<void> write_string(std::string_view s);
  void align(std::size_t n);

 private:
  template <typename T>
  void write_primitive(T v) {
    align(sizeof(T));
    auto u = static_cast<std::make_unsigned_t<T>>(v);
    std::byte out[sizeof(T)];
    for (std::size_t i = 0; i < sizeof(T); ++i) {
      const std::size_t shift = 8 * (little_endian_ ? i : sizeof(T) - 1 - i);
      out[i] = static_cast<std::byte>((u >> shift) & 0xFFu);
    }
    bytes_.insert(bytes_.end(), out, out + sizeof(T));
  }

  std::vector<std::byte> bytes_;
  bool little_endian_;
};

class BufferReader {
 public:
  BufferReader(std::span<const std::byte> input, bool little_endian)
      : input_(input), little_endian_(little_endian) {}

  bool little_endian() const { return little_endian_; }
  std::size_t position() const { return pos_; }
  std::size_t remaining() const { return input_.size() - pos_; }

  CodecResult<std::span<const std::byte>> read_bytes(std::size_t n);
  CodecResult<std::uint8_t> read_u8();
  CodecResult<std::uint16_t> read_u16() { return read_primitive<std::uint16_t>(); }
  CodecResult<std::uint32_t> read_u32() { return read_primitive<std::uint32_t>(); }
  CodecResult<std::uint64_t> read_u64() { return read_primitive<std::uint64_t>(); }
  CodecResult<std::int16_t> read_i16() { return read_primitive<std::int16_t>(); }
  CodecResult<std::int32_t> read_i32() { return read_primitive<std::int32_t>(); }
  CodecResult<std::int64_t> read_i64() { return read_primitive<std::int64_t>(); }
  CodecResult<float> read_f32();
  CodecResult<double> read_f64();
  CodecResult<std::string> read_string();
  // Skips the padding to a multiple of n; fails without moving if the input ends first.
  CodecResult<void> align(std::size_t n);

 private:
  template <typename T>
  CodecResult<T> read_primitive() {
    if (auto aligned = align(sizeof(T)); !aligned) return std::unexpected(aligned.error());
    if (sizeof(T) > remaining()) return std::unexpected(CodecError::eof(sizeof(T), pos_));
    std::make_unsigned_t<T> u = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
      const std::size_t shift = 8 * (little_endian_ ? i : sizeof(T) - 1 - i);
      u = static_cast<std::make_unsigned_t<T>>(
          u | (static_cast<std::make_unsigned_t<T>>(input_[pos_ + i]) << shift));
    }
    pos_ += sizeof(T);
    return static_cast<T>(u);
  }

  std::span<const std::byte> input_;
  std::size_t pos_ = 0;
  bool little_endian_;
};

// True when the bytes are well-formed UTF-8 (no overlongs, no surrogates, at most U+10FFFF).
bool is_valid_utf8(std::span<const std::byte> bytes);

// A value decoded from the start of `bytes`; what follows it is left unread.
template <typename T, typename... Context>
CodecResult<T> decode_bytes(std::span<const std::byte> bytes, bool little_endian,
                            Context&&... context) {
  BufferReader reader(bytes, little_endian);
  return T::decode(reader, std::forward<Context>(context)...);
}

// A value encoded into a fresh buffer, alignment counted from its first byte.
template <typename T>
CodecResult<std::vector<std::byte>> encode_bytes(const T& value, bool little_endian) {
  BufferWriter writer(little_endian);
  if (auto ok = value.encode(writer); !ok) return std::unexpected(ok.error());
  return std::move(writer).take();
}

}  // namespace nimbrel::cdr
