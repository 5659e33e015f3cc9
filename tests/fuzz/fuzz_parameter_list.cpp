// Decodes arbitrary bytes as a parameter list; the first byte picks the byte order. What decodes
// must re-encode and decode back to the same list, and the typed readers must cope with any value.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "rtps/parameter_list.hpp"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using nimbrel::rtps::ParameterList;
  using nimbrel::rtps::WireReader;
  if (size == 0) return 0;
  const bool le = (data[0] & 1) != 0;
  const auto input = std::as_bytes(std::span(data + 1, size - 1));
  WireReader reader(input, le);
  auto list = ParameterList::decode(reader);
  if (!list) return 0;
  const std::size_t end = reader.position();
  check(list->size() <= ParameterList::max_parameters);
  check(end <= input.size());
  (void)list->validate_must_understand_in_data_pipeline();
  for (const auto& p : *list) {
    (void)p.read_u32(le);
    (void)p.read_guid();
    (void)p.read_locator(le);
    (void)p.read_duration(le, 4);
    (void)p.has_min_length();
  }

  auto encoded = encode_bytes(*list, le);
  check(encoded.has_value());
  check(encoded->size() <= end);  // ignored parameters are dropped, nothing grows
  auto again = nimbrel::rtps::decode_bytes<ParameterList>(*encoded, le);
  check(again.has_value() && *again == *list);
  return 0;
}
