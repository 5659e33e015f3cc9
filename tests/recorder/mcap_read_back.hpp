// MCAP files read back by an independent reader: tests/tools/rec/mcap-check/check.mjs, which runs
// @mcap/core under node and prints one fact per line. The test target defines NIMBREL_MCAP_CHECK
// as that folder; scripts/install-deps installs its packages.
#pragma once

#include <gtest/gtest.h>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "common/run_tool.hpp"

namespace nimbrel::recorder::testing {

// What check.mjs prints, split in lines; empty with a failure when node cannot read the file.
inline std::vector<std::string> mcap_read_back(const std::string& mcap) {
  const std::string dir = NIMBREL_MCAP_CHECK;
  if (!std::filesystem::exists(dir + "/node_modules/@mcap/support")) {
    ADD_FAILURE() << "@mcap/core or @mcap/support is missing in " << dir
                  << "; run scripts/install-deps";
    return {};
  }
  const auto run =
      nimbrel::testing::run_tool("node " + nimbrel::testing::shell_quoted(dir + "/check.mjs") +
                                 " " + nimbrel::testing::shell_quoted(mcap) + " 2>&1");
  if (!run.ok) {
    ADD_FAILURE() << "node check.mjs failed:\n" << run.output.substr(0, 4000);
    return {};
  }
  std::vector<std::string> lines;
  std::istringstream in(run.output);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

}  // namespace nimbrel::recorder::testing
