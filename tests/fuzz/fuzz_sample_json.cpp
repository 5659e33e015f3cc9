// Decodes arbitrary bytes as a sample of every type of a fixed registry (each kind, each
// extensibility, recursion, an alias cycle). Whatever decodes is one line of valid UTF-8 within
// the output limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "cdr/buffer.hpp"
#include "types/sample_json.hpp"
#include "types/sample_json_types.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace nimbrel::types;
  using namespace nimbrel::types::testing::sample_json;
  const auto input = std::as_bytes(std::span(data, size));
  const SampleJsonLimits limits{.max_depth = 64, .max_output = 1u << 20};
  for (int type = Point; type < End; ++type) {
    const auto json = decode_sample_json(ref(type), registry(), input, limits);
    if (!json) continue;
    const auto text = std::as_bytes(std::span(json->data(), json->size()));
    if (json->empty() || json->find('\n') != std::string::npos ||
        !nimbrel::cdr::is_valid_utf8(text))
      std::abort();
  }
  return 0;
}
