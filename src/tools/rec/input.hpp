// How the subcommands open their inputs and report where their frames stopped, over the tools'
// shared recording input.
#pragma once

#include <expected>
#include <iosfwd>
#include <span>
#include <string>
#include <vector>

#include "recorder/reader.hpp"
#include "tools/common/input.hpp"

namespace nimbrel::rec {

// An opened input and the topics chosen from it.
struct Selected {
  tools::Input input;
  std::vector<bool> topics;
};
// Opens `file` and selects `topics`, refusing an `output` that is the input (none when empty).
// On failure says why on `err` and gives the exit status.
std::expected<Selected, int> open_selected(const std::string& file, const std::string& output,
                                           std::span<const std::string> topics, std::ostream& err);

// 0 for a clean end; otherwise says on `err` where and why the input's frames stopped, and 1.
int end_status(const tools::Input& input, const recorder::DataEnd& end, std::ostream& err);

// Whether `output` names an existing file that is also one of `inputs`: writing it would destroy
// an input while it is read.
bool is_one_of(const std::string& output, std::span<const std::string> inputs);

}  // namespace nimbrel::rec
