// The command line of nimbrel-rec: picks the subcommand, parses its options and runs it.
//   nimbrel-rec COMMAND [OPTIONS] FILE...
#pragma once

#include <cstdint>
#include <expected>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>

#include "tools/common/args.hpp"

namespace nimbrel::rec {

extern const char* const usage_text;

using tools::parse_time;

// `args` excludes the program name; returns the exit status.
int run_cli(std::span<const std::string> args, std::ostream& out, std::ostream& err);

}  // namespace nimbrel::rec
