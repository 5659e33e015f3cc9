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
  std::snprintf(tail, sizeof tail, "] %3u%% %llu/%llu MB", static_cast<unsigned>(percent),
                static_cast<unsigned long long>(done >> 20),
                static_cast<unsigned long long>(total >> 20));
  std::string line(label);
  line += " [";
  line.append(filled, '#');
  line.append(width - filled, ' ');
  return line + tail;
}

Progress::Progress(std::FILE* out, std::string label, std::uint64_t total)
    : out_(out), label_(std::move(label)), total_(total) {}

Progress Progress::for_terminal(std::string label, std::uint64_t total) {
  const bool wanted = total >= progress_threshold && ::isatty(STDERR_FILENO) == 1;
  return Progress(wanted ? stderr : nullptr, std::move(label), total);
}

void Progress::update(std::uint64_t done) {
  if (out_ == nullptr || done < next_draw_) return;
  std::fprintf(out_, "\r%s", progress_line(label_, done, total_).c_str());
  std::fflush(out_);
  next_draw_ = done + std::max<std::uint64_t>(total_ / 100, 1);
}

void Progress::finish() {
  if (out_ == nullptr) return;
  std::fprintf(out_, "\r%s\n", progress_line(label_, total_, total_).c_str());
  std::fflush(out_);
}

}  // namespace nimbrel::rec
