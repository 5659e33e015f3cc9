#include "transport/transport.hpp"

#include <string_view>

namespace nimbrel::transport {

bool operator==(const TransportError& a, const TransportError& b) {
  using K = TransportError::Kind;
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case K::MessageTooLarge:
      return a.length == b.length && a.limit == b.limit;
    case K::Io:
      return std::string_view(a.context) == b.context;
    case K::UnsupportedLocator:
    case K::Timeout:
      return true;
  }
  return false;
}

std::string to_string(const TransportError& error) {
  using K = TransportError::Kind;
  switch (error.kind) {
    case K::MessageTooLarge:
      return "message too large: " + std::to_string(error.length) + " bytes, limit " +
             std::to_string(error.limit);
    case K::UnsupportedLocator:
      return "unsupported locator";
    case K::Io:
      return error.context;
    case K::Timeout:
      return "timeout";
  }
  return "transport error";
}

}  // namespace nimbrel::transport
