// Outside programs the tests consult (node with @mcap/core or the IDL parser, promtool): run
// through a shell with a time limit, so that one that hangs fails its test instead of the run.
// A run that only timed out is tried once more: a node process was once seen to hang on a loaded
// CI machine while every other run of the same script passed.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace nimbrel::testing {

struct ToolRun {
  bool ok = false;     // exited with status 0
  std::string output;  // standard output, and standard error when the command redirects it
};

inline std::string shell_quoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'')
      quoted.append("'\\''");
    else
      quoted.push_back(c);
  }
  quoted.push_back('\'');
  return quoted;
}

inline ToolRun run_tool(const std::string& command, int seconds = 120) {
  std::string limited = "timeout -k 5 ";
  limited.append(std::to_string(seconds)).append(" sh -c ").append(shell_quoted(command));
  ToolRun run;
  for (int attempt = 0; attempt < 2; ++attempt) {
    FILE* pipe = ::popen(limited.c_str(), "r");
    if (pipe == nullptr) return {false, "cannot run: " + command};
    run.output.clear();
    char buf[65536];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;)
      run.output.append(buf, n);
    const int status = ::pclose(pipe);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.ok = code == 0;
    // 124: timeout stopped it; 137: killed after the grace period.
    if (code != 124 && code != 137) return run;
    run.output += "\n(timed out after " + std::to_string(seconds) + " s: " + command + ")";
  }
  return run;
}

}  // namespace nimbrel::testing
