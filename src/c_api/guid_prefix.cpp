#include "c_api/guid_prefix.hpp"

#include <unistd.h>

#include <atomic>

#include "foundation/time.hpp"

namespace nimbrel::c_api {
namespace {

std::atomic<std::uint32_t> runtimes_created{0};

}  // namespace

rtps::GuidPrefix make_guid_prefix(std::uint32_t pid, std::uint64_t wall_ns, std::uint32_t counter) {
  rtps::GuidPrefix prefix{};
  for (std::size_t i = 0; i < 4; ++i)
    prefix[i] = static_cast<std::uint8_t>(pid >> (8 * i));
  const std::uint64_t stamp = wall_ns + counter;
  for (std::size_t i = 0; i < 8; ++i)
    prefix[4 + i] = static_cast<std::uint8_t>(stamp >> (8 * i));
  return prefix;
}

rtps::GuidPrefix random_guid_prefix() {
  const auto counter = runtimes_created.fetch_add(1, std::memory_order_relaxed);
  return make_guid_prefix(static_cast<std::uint32_t>(::getpid()), wall_clock_now().unix_ns,
                          counter);
}

}  // namespace nimbrel::c_api
