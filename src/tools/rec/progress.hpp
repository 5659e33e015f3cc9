// A progress bar on standard error for long work over large files, drawn only when standard error
// is a terminal so that logs and pipes get no control characters.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace nimbrel::rec {

// Work done sooner than this needs no bar, whatever its size.
inline constexpr auto progress_delay = std::chrono::seconds(2);

// One frame of the bar, without the leading carriage return.
std::string progress_line(std::string_view label, std::uint64_t done, std::uint64_t total);

class Progress {
 public:
  // Draws on `out` when it is given, from `delay` after the start on; `for_terminal` picks stderr
  // when it is a terminal.
  Progress(std::FILE* out, std::string label, std::uint64_t total,
           std::chrono::steady_clock::duration delay = {});
  static Progress for_terminal(std::string label, std::uint64_t total);
  // No bar from `for_terminal` from now on in this process (--quiet).
  static void silence();

  void update(std::uint64_t done);
  // Draws the full bar and ends its line.
  void finish();

 private:
  std::FILE* out_;
  std::string label_;
  std::uint64_t total_;
  std::chrono::steady_clock::time_point first_draw_;
  bool drawn_ = false;
  std::uint64_t next_draw_ = 0;  // redraws at each further percent only
};

}  // namespace nimbrel::rec
