// Reads arbitrary bytes as an MCAP file to its end; what it yields must stay within the input, the
// chunk cap and the channels it has met.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "recorder/mcap_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::uint64_t cap = std::uint64_t{1} << 20;
  auto reader = nimbrel::recorder::McapReader::open(std::as_bytes(std::span(data, size)),
                                                    {.max_chunk_bytes = cap});
  if (!reader) return 0;
  std::uint64_t sum = 0;
  while (auto message = reader->next()) {
    if (reader->channel(message->channel) == nullptr || message->data.size() > size + cap)
      std::abort();
    for (const std::byte b : message->data)
      sum += std::to_integer<std::uint8_t>(b);
  }
  if (reader->end().offset > size) std::abort();
  volatile std::uint64_t touched = sum;  // every yielded byte was read
  (void)touched;
  return 0;
}
