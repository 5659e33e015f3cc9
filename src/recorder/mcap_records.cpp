#include "recorder/mcap_records.hpp"

#include <zlib.h>

namespace nimbrel::recorder {

std::uint32_t mcap_crc(std::uint32_t crc, std::span<const std::byte> bytes) {
  // zlib takes a null buffer as a request for the initial value.
  if (bytes.empty()) return crc;
  return static_cast<std::uint32_t>(
      ::crc32_z(crc, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
}

}  // namespace nimbrel::recorder
