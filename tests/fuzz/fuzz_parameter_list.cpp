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
  if (size == 0) return 0;
  const bool le = (data[0] & 1) != 0;
  const auto input = std::as_bytes(std::span(data + 1, size - 1));
  auto list = ParameterList::from_bytes_with_end(input, le);
  if (!list) return 0;
  check(list->value.size() <= ParameterList::max_parameters);
  check(list->end <= input.size());
  (void)list->value.validate_must_understand_in_data_pipeline();
  for (const auto& p : list->value) {
    (void)p.read_u32(le);
    (void)p.read_guid();
    (void)p.read_locator(le);
    (void)p.read_duration(le, 4);
    (void)p.has_min_length();
  }

  auto encoded = list->value.to_bytes(le);
  check(encoded.has_value());
  check(encoded->size() <= list->end);  // ignored parameters are dropped, nothing grows
  auto again = ParameterList::from_bytes(*encoded, le);
  check(again.has_value() && *again == list->value);
  return 0;
}
