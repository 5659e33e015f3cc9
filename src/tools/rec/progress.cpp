#include "tools/rec/progress.hpp"

#include <unistd.h>

#include <algorithm>

namespace nimbrel::rec {

std::string progress_line(std::string_view label, std::uint64_t done, std::uint64_t total) {
  constexpr std::uint64_t width = 30;
  done = std::min(done, total);
  const std::uint64_t percent = total == 0 ? 100 : done * 100 / total;
  const std::uint64_t filled = total == 0 ? width : done * width / total;
  char tail[64];
  std::snprintf(tail, sizeof tail, "] %3u%% %llu/%llu MiB", static_cast<unsigned>(percent),
                static_cast<unsigned long long>(done >> 20),
                static_cast<unsigned long long>(total >> 20));
  std::string line(label);
  line += " [";
  line.append(filled, '#');
  line.append(width - filled, ' ');
  return line + tail;
}

Progress::Progress(std::FILE* out, std::string label, std::uint64_t total,
                   std::chrono::steady_clock::duration delay)
    : out_(out),
      label_(std::move(label)),
      total_(total),
      first_draw_(std::chrono::steady_clock::now() + delay) {}

namespace {
// Set once, from the command line, before any work starts.
bool silenced = false;
}  // namespace

void Progress::silence() {
  silenced = true;
}

Progress Progress::for_terminal(std::string label, std::uint64_t total) {
  const bool wanted = !silenced && ::isatty(STDERR_FILENO) == 1;
  return Progress(wanted ? stderr : nullptr, std::move(label), total, progress_delay);
}

void Progress::update(std::uint64_t done) {
  if (out_ == nullptr || done < next_draw_) return;
  next_draw_ = done + std::max<std::uint64_t>(total_ / 100, 1);
  if (!drawn_ && std::chrono::steady_clock::now() < first_draw_) return;
  drawn_ = true;
  std::fprintf(out_, "\r%s", progress_line(label_, done, total_).c_str());
  std::fflush(out_);
}

void Progress::finish() {
  if (out_ == nullptr || !drawn_) return;
  std::fprintf(out_, "\r%s\n", progress_line(label_, total_, total_).c_str());
  std::fflush(out_);
}

}  // namespace nimbrel::rec
