// The one error of every codec, RTPS and CDR alike: what went wrong and the offset, counted from
// the start of the reader that failed, where decoding stopped. Encoders and checks made after a
// whole value was read leave the offset at 0. Each kind has one text; the fields a text does not
// use stay at their defaults.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>

namespace nimbrel {

struct CodecError {
  enum class Kind {
    UnexpectedEof,             // needed
    BadMagic,                  // magic
    Malformed,                 // message
    UnsupportedEncapsulation,  // encapsulation
    InvalidLocatorKind,        // value
    Unsupported,               // message
    ResourceLimit,             // message: a cap of ours or of the format, not a broken peer
    Backpressure,              // message: try again once the other side has caught up
    InvalidUtf8,               //
    InvalidString,             // message
    DepthLimitExceeded,        // limit
    InvalidValue,              // value
    InvalidOptional,           // message: a presence flag is neither 0 nor 1
    InvalidElement,            // message: an element of a list did not decode
    ValueOutOfRange,           // message alone: an encoder met a value its field cannot hold
    Rejected,                  // message alone: decoders whose texts name their own module
  };
  Kind kind = Kind::Malformed;
  std::size_t offset = 0;
  std::size_t needed = 0;
  std::size_t limit = 0;
  std::int64_t value = 0;
  std::array<std::uint8_t, 4> magic{};
  std::array<std::uint8_t, 2> encapsulation{};
  const char* message = "";

  static CodecError eof(std::size_t needed, std::size_t offset) {
    return {.kind = Kind::UnexpectedEof, .offset = offset, .needed = needed};
  }
  static CodecError with_message(Kind kind, const char* message, std::size_t offset = 0) {
    return {.kind = kind, .offset = offset, .message = message};
  }
  static CodecError malformed(const char* message, std::size_t offset = 0) {
    return with_message(Kind::Malformed, message, offset);
  }
  static CodecError unsupported(const char* message, std::size_t offset = 0) {
    return with_message(Kind::Unsupported, message, offset);
  }
  static CodecError resource_limit(const char* message, std::size_t offset = 0) {
    return with_message(Kind::ResourceLimit, message, offset);
  }
  static CodecError backpressure(const char* message) {
    return with_message(Kind::Backpressure, message);
  }
  static CodecError out_of_range(const char* message) {
    return with_message(Kind::ValueOutOfRange, message);
  }
  static CodecError rejected(const char* message, std::size_t offset = 0) {
    return with_message(Kind::Rejected, message, offset);
  }
  static CodecError invalid_value(std::int64_t value, std::size_t offset) {
    return {.kind = Kind::InvalidValue, .offset = offset, .value = value};
  }

  // Equal when they are of one kind and say the same: an offset a text leaves out is not compared.
  friend bool operator==(const CodecError& a, const CodecError& b);
};
std::string to_string(const CodecError& error);

template <typename T>
using CodecResult = std::expected<T, CodecError>;

}  // namespace nimbrel
