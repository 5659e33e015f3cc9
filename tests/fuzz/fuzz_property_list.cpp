// Decodes arbitrary bytes as a property list; the first byte picks the byte order. What decodes
// must re-encode (unless a text holds a NUL, which the encoder refuses) and decode back the same.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "rtps/property_list.hpp"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using nimbrel::rtps::WirePropertyList;
  if (size == 0) return 0;
  const bool le = (data[0] & 1) != 0;
  auto list = nimbrel::rtps::decode_bytes<WirePropertyList>(
      std::as_bytes(std::span(data + 1, size - 1)), le);
  if (!list) return 0;
  check(list->properties.size() <= WirePropertyList::max_properties);

  bool inner_nul = false;
  for (const auto& p : list->properties) {
    inner_nul = inner_nul || p.name.find('\0') != std::string::npos ||
                p.value.find('\0') != std::string::npos;
  }
  auto encoded = encode_bytes(*list, le);
  check(encoded.has_value() != inner_nul);
  if (!encoded) return 0;
  auto again = nimbrel::rtps::decode_bytes<WirePropertyList>(*encoded, le);
  check(again.has_value() && *again == *list);
  return 0;
}
