// Byte vectors for golden vectors in tests: from values, from text, and pieces joined.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace nimbrel::testing {

using Bytes = std::vector<std::byte>;

// Of ints, or of unsigned values computed in the test.
template <typename Value = int>
Bytes bytes(std::initializer_list<Value> values) {
  Bytes out;
  for (Value v : values)
    out.push_back(static_cast<std::byte>(v));
  return out;
}
inline Bytes bytes(std::initializer_list<int> values) {
  return bytes<int>(values);
}

inline Bytes text(std::string_view s) {
  return Bytes(reinterpret_cast<const std::byte*>(s.data()),
               reinterpret_cast<const std::byte*>(s.data()) + s.size());
}

inline Bytes concat(std::initializer_list<Bytes> pieces) {
  Bytes out;
  for (const Bytes& piece : pieces)
    out.insert(out.end(), piece.begin(), piece.end());
  return out;
}

}  // namespace nimbrel::testing
