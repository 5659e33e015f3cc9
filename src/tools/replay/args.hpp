// The command line of nimbrel-replay: `parse_args` turns the arguments into `Args`, or says why it
// stopped (help asked for, or the message of a command-line error).
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tools/common/args.hpp"

namespace nimbrel::replay {

// Printed verbatim; it ends with an empty line.
extern const std::string_view usage_text;

struct Args {
  std::string in;
  std::uint32_t domain = 0;
  std::vector<std::string> topics;  // empty: every topic of the recording
  double rate = 1.0;                // 1 the recorded timing, 2 twice as fast, 0 no pauses
  bool loop = false;
  std::uint64_t max_gap_ns = 1'000'000'000;  // the longest wait between two samples; 0 no cap
  std::uint32_t wait_for_readers = 0;
};

using tools::ParseStop;

// `argv` includes the program name.
std::expected<Args, ParseStop> parse_args(std::span<const std::string> argv);

}  // namespace nimbrel::replay
