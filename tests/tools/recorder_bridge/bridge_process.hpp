// Runs the nimbrel-recorder-bridge binary as a child process and collects what it printed and how
// it ended; optionally sends it SIGINT once a given text has appeared on its standard output.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace nimbrel::bridge::testing {

struct ProcessResult {
  std::string out;
  std::string err;
  bool exited = false;  // false: killed by a signal or by the time limit
  int exit_status = -1;
  int signal = 0;
  bool timed_out = false;
  std::chrono::steady_clock::duration wall{};
};

struct RunOptions {
  std::optional<std::string> sigint_after;  // text on stdout that triggers one SIGINT
  std::chrono::seconds limit{60};           // the child is killed after this
};

ProcessResult run_bridge(const std::vector<std::string>& args, const RunOptions& options = {});

}  // namespace nimbrel::bridge::testing
