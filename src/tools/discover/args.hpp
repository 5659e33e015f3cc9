// The command line of nimbrel-discover: `parse_args` gives `Args`, or says why it stopped (help
// asked for, or the message of a command-line error).
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "tools/common/args.hpp"

namespace nimbrel::discover {

extern const std::string_view usage_text;

struct Args {
  std::uint32_t domain = 0;
  std::uint64_t duration_ms = 3000;
  bool json = false;
  bool types = false;  // fetch each writer's type and show it as IDL
  friend bool operator==(const Args&, const Args&) = default;
};

using tools::ParseStop;

// `argv` includes the program name.
std::expected<Args, ParseStop> parse_args(std::span<const std::string> argv);

}  // namespace nimbrel::discover
