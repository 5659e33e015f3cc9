// The command line of nimbrel-discover: `parse_args` gives `Args`, or says why it stopped (help
// asked for, or the message of a command-line error).
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <tuple>

#include "tools/common/args.hpp"
#include "tools/common/topic_filter.hpp"

namespace nimbrel::discover {

extern const std::string_view usage_text;

struct Args {
  std::uint32_t domain = 0;
  std::uint64_t duration_ms = 3000;
  bool json = false;
  bool types = false;  // fetch each writer's type and show it as IDL
  tools::TopicFilter topics{.all = true, .includes = {}, .excludes = {}};
  // Spelled out: the shared filter has no comparison of its own.
  friend bool operator==(const Args& a, const Args& b) {
    const auto fields = [](const Args& x) {
      return std::tie(x.domain, x.duration_ms, x.json, x.types, x.topics.all, x.topics.includes,
                      x.topics.excludes);
    };
    return fields(a) == fields(b);
  }
};

using tools::ParseStop;

// `argv` includes the program name.
std::expected<Args, ParseStop> parse_args(std::span<const std::string> argv);

}  // namespace nimbrel::discover
