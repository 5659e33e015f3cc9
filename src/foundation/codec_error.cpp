#include "foundation/codec_error.hpp"

#include "foundation/hex.hpp"

namespace nimbrel {

namespace {

std::string at(std::size_t offset) {
  return " at offset " + std::to_string(offset);
}

}  // namespace

bool operator==(const CodecError& a, const CodecError& b) {
  return a.kind == b.kind && to_string(a) == to_string(b);
}

std::string to_string(const CodecError& error) {
  using K = CodecError::Kind;
  switch (error.kind) {
    case K::UnexpectedEof:
      return "unexpected end of input: needed " + std::to_string(error.needed) + " bytes" +
             at(error.offset);
    case K::BadMagic:
      return "bad magic: " + to_hex(error.magic);
    case K::Malformed:
      return std::string("malformed: ") + error.message;
    case K::UnsupportedEncapsulation:
      return "unsupported encapsulation: " + to_hex(error.encapsulation);
    case K::InvalidLocatorKind:
      return "invalid locator kind: " + std::to_string(error.value);
    case K::Unsupported:
      return std::string("unsupported: ") + error.message;
    case K::ResourceLimit:
      return std::string("resource limit: ") + error.message;
    case K::Backpressure:
      return std::string("backpressure: ") + error.message;
    case K::InvalidUtf8:
      return "invalid UTF-8" + at(error.offset);
    case K::InvalidString:
      return "invalid string" + at(error.offset) + ": " + error.message;
    case K::DepthLimitExceeded:
      return "nesting depth limit " + std::to_string(error.limit) + " exceeded" + at(error.offset);
    case K::InvalidValue:
      return "invalid value " + std::to_string(error.value) + at(error.offset);
    case K::InvalidOptional:
      return "invalid optional" + at(error.offset) + ": " + error.message;
    case K::InvalidElement:
      return "invalid element" + at(error.offset) + ": " + error.message;
    case K::ValueOutOfRange:
    case K::Rejected:
      return error.message;
  }
  return "codec error";
}

}  // namespace nimbrel
