#include "tools/recorder_bridge/failure_report.hpp"

#include <array>
#include <cstdio>

#include "foundation/saturating.hpp"
#include "tools/recorder_bridge/recording_loop.hpp"

namespace nimbrel::bridge {
namespace {

std::string seconds_since(std::uint64_t start_ns, std::uint64_t wall_ns) {
  const std::uint64_t ns = wall_ns >= start_ns ? wall_ns - start_ns : 0;
  std::array<char, 32> text{};
  std::snprintf(text.data(), text.size(), "%llu.%03llu",
                static_cast<unsigned long long>(ns / 1'000'000'000),
                static_cast<unsigned long long>(ns / 1'000'000 % 1000));
  return text.data();
}

bool due(const std::optional<MonoInstant>& last, MonoInstant now) {
  return !last || elapsed_between(*last, now).since_start >= failure_line_interval;
}

}  // namespace

void FailureReport::failed(const std::string& error, std::uint64_t wall_ns, std::uint64_t samples) {
  auto [entry, first] = errors_.try_emplace(error);
  if (first) {
    put_line(*err_, "session error: " + error);
  } else {
    saturating_increment(entry->second.pending);
  }
  if (open_.samples == 0) open_.first_ns = wall_ns;
  open_.last_ns = wall_ns;
  saturating_increment(open_.samples, samples);
}

void FailureReport::recorded() {
  if (open_.samples != 0) close_gap();
}

void FailureReport::tick(MonoInstant now) {
  // The counts of the errors behind a gap come before its line, so the lines read in order.
  const bool gap_due = closed_.gaps != 0 && due(last_gap_line_, now);
  for (auto& [error, repeats] : errors_) {
    if (repeats.pending != 0 && (gap_due || (repeats.last_line && due(repeats.last_line, now)))) {
      print_repeats(error, repeats);
      repeats.last_line = now;
    } else if (!repeats.last_line) {
      repeats.last_line = now;  // the interval starts with the first line
    }
  }
  if (gap_due) {
    print_gaps();
    last_gap_line_ = now;
  }
}

void FailureReport::finish() {
  for (auto& [error, repeats] : errors_) {
    if (repeats.pending != 0) print_repeats(error, repeats);
  }
  if (open_.samples != 0) close_gap();
  if (closed_.gaps != 0) print_gaps();
}

void FailureReport::print_repeats(const std::string& error, Repeats& repeats) {
  put_line(*err_, "session error: " + error + " (repeated " + std::to_string(repeats.pending) +
                      (repeats.pending == 1 ? " time)" : " times)"));
  repeats.pending = 0;
}

void FailureReport::close_gap() {
  if (closed_.gaps == 0) closed_.first_ns = open_.first_ns;
  closed_.last_ns = open_.last_ns;
  saturating_increment(closed_.samples, open_.samples);
  saturating_increment(closed_.gaps);
  open_ = Gap{};
}

void FailureReport::print_gaps() {
  std::string line = "session gap: " + std::to_string(closed_.samples) +
                     (closed_.samples == 1 ? " sample lost" : " samples lost");
  if (closed_.gaps > 1) line += " in " + std::to_string(closed_.gaps) + " gaps";
  line += " between " + seconds_since(start_ns_, closed_.first_ns) + "s and " +
          seconds_since(start_ns_, closed_.last_ns) + "s";
  put_line(*err_, line);
  closed_ = Gap{};
}

}  // namespace nimbrel::bridge
