// A progress bar on standard error for long work over large files, drawn only when standard error
// is a terminal so that logs and pipes get no control characters.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace nimbrel::rec {

// Work below this many bytes ends too soon for a bar to help.
inline constexpr std::uint64_t progress_threshold = std::uint64_t{64} << 20;

// One frame of the bar, without the leading carriage return.
std::string progress_line(std::string_view label, std::uint64_t done, std::uint64_t total);

class Progress {
 public:
  // Draws on `out` when it is given; `for_terminal` picks stderr when the bar is wanted.
  Progress(std::FILE* out, std::string label, std::uint64_t total);
  static Progress for_terminal(std::string label, std::uint64_t total);

  void update(std::uint64_t done);
  // Draws the full bar and ends its line.
  void finish();

 private:
  std::FILE* out_;
  std::string label_;
  std::uint64_t total_;
  std::uint64_t next_draw_ = 0;  // redraws at each further percent only
};

}  // namespace nimbrel::rec
