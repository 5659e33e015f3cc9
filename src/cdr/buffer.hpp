// Aligned CDR cursors for the type system's XCDR codecs. Both work in one byte order chosen at
// construction and align every primitive relative to the start of their own buffer; the writer
// pads with zeros, the reader skips padding unchecked. Every read is bounds-checked.
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
#include <vector>

namespace nimbrel::cdr {

struct CdrEncodeError {
  enum class Kind { ValueOutOfRange };
  Kind kind = Kind::ValueOutOfRange;
  const char* message = "";

  friend bool operator==(const CdrEncodeError&, const CdrEncodeError&) = default;
};
std::string to_string(const CdrEncodeError& error);

struct CdrDecodeError {
  enum class Kind {
    UnexpectedEof,       // needed, offset
    InvalidUtf8,         // offset
    InvalidString,       // offset, message
    DepthLimitExceeded,  // limit, offset
    InvalidValue,        // value, offset
    InvalidOptional,     // offset, message (an optional member's presence flag is neither 0 nor 1)
    InvalidElement,      // offset, message (an element of a list did not decode)
  };
  Kind kind = Kind::UnexpectedEof;
  std::size_t offset = 0;
  std::size_t needed = 0;
  std::size_t limit = 0;
  std::uint32_t value = 0;
  const char* message = "";

  static CdrDecodeError eof(std::size_t needed, std::size_t offset) {
    return {.kind = Kind::UnexpectedEof, .offset = offset, .needed = needed};
  }
  friend bool operator==(const CdrDecodeError& a, const CdrDecodeError& b) {
    return a.kind == b.kind && a.offset == b.offset && a.needed == b.needed && a.limit == b.limit &&
           a.value == b.value && std::string_view(a.message) == b.message;
  }
};
std::string to_string(const CdrDecodeError& error);

template <typename T>
using DecodeResult = std::expected<T, CdrDecodeError>;
using EncodeResult = std::expected<void, CdrEncodeError>;

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
  EncodeResult write_string(std::string_view s);
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

  DecodeResult<std::span<const std::byte>> read_bytes(std::size_t n);
  DecodeResult<std::uint8_t> read_u8();
  DecodeResult<std::uint16_t> read_u16() { return read_primitive<std::uint16_t>(); }
  DecodeResult<std::uint32_t> read_u32() { return read_primitive<std::uint32_t>(); }
  DecodeResult<std::uint64_t> read_u64() { return read_primitive<std::uint64_t>(); }
  DecodeResult<std::int16_t> read_i16() { return read_primitive<std::int16_t>(); }
  DecodeResult<std::int32_t> read_i32() { return read_primitive<std::int32_t>(); }
  DecodeResult<std::int64_t> read_i64() { return read_primitive<std::int64_t>(); }
  DecodeResult<float> read_f32();
  DecodeResult<double> read_f64();
  DecodeResult<std::string> read_string();
  // Skips the padding to a multiple of n; fails without moving if the input ends first.
  std::expected<void, CdrDecodeError> align(std::size_t n);

 private:
  template <typename T>
  DecodeResult<T> read_primitive() {
    if (auto aligned = align(sizeof(T)); !aligned) return std::unexpected(aligned.error());
    if (sizeof(T) > remaining()) return std::unexpected(CdrDecodeError::eof(sizeof(T), pos_));
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

}  // namespace nimbrel::cdr
