// Turns the recording loop's failed appends into a bounded number of lines on standard error:
// the first occurrence of each distinct error at once, then at most one line per second per
// error saying how often it repeated, and one line per run of lost samples once writing recovers
// (or at the stop), so that the hole in the recording is visible without changing the file.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>

#include "foundation/time.hpp"

namespace nimbrel::bridge {

inline constexpr auto failure_line_interval = std::chrono::seconds(1);

class FailureReport {
 public:
  // Gap times are printed relative to `start_ns`, the time base of the recording's frames.
  FailureReport(std::ostream& err, std::uint64_t start_ns) : err_(&err), start_ns_(start_ns) {}

  // `samples` received up to `wall_ns` were lost with `error`.
  void failed(const std::string& error, std::uint64_t wall_ns, std::uint64_t samples = 1);
  // A sample was written: a run of lost samples before it is a closed gap.
  void recorded();
  // Prints the repeat counts and closed gaps whose line is due; once per loop round.
  void tick(MonoInstant now);
  // Prints everything still pending, an open gap included; at the stop.
  void finish();

 private:
  struct Repeats {
    std::uint64_t pending = 0;
    std::optional<MonoInstant> last_line;  // unset until the first tick after the first line
  };
  struct Gap {
    std::uint64_t samples = 0;
    std::uint64_t gaps = 0;
    std::uint64_t first_ns = 0;
    std::uint64_t last_ns = 0;
  };

  void print_repeats(const std::string& error, Repeats& repeats);
  void close_gap();
  void print_gaps();

  std::ostream* err_;
  std::uint64_t start_ns_;
  // Keyed by the error text; the texts are a small fixed set (the system's error messages).
  std::map<std::string, Repeats> errors_;
  Gap open_;    // the samples lost since the last one written
  Gap closed_;  // gaps closed since the last gap line
  std::optional<MonoInstant> last_gap_line_;
};

}  // namespace nimbrel::bridge
