// The command line of nimbrel-rec: picks the subcommand, parses its options and runs it.
//   nimbrel-rec COMMAND [OPTIONS] FILE...
#pragma once

#include <cstdint>
#include <expected>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>

namespace nimbrel::rec {

extern const char* const usage_text;

// Nanoseconds in a time such as "90", "1.5s", "250ms", "2m" (seconds when no unit is given).
std::expected<std::uint64_t, std::string> parse_time(std::string_view text);

// `args` excludes the program name; returns the exit status.
int run_cli(std::span<const std::string> args, std::ostream& out, std::ostream& err);

}  // namespace nimbrel::rec
