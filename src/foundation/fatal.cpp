#include "foundation/fatal.hpp"

#include <cstdio>
#include <cstdlib>

namespace nimbrel {

void fatal(std::string_view message) noexcept {
  std::fprintf(stderr, "fatal: %.*s\n", static_cast<int>(message.size()), message.data());
  std::fflush(stderr);
  std::abort();
}

}  // namespace nimbrel
