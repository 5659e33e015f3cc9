#include "tools/rec/input.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <ostream>
#include <utility>

namespace nimbrel::rec {

std::expected<Selected, int> open_selected(const std::string& file, const std::string& output,
                                           std::span<const std::string> topics, std::ostream& err) {
  auto input = tools::open_input(file);
  if (!input) {
    err << input.error().message << "\n";
    return std::unexpected(input.error().status);
  }
  if (!output.empty() && is_one_of(output, std::span(&file, 1))) {
    err << output << ": is the input; write to another file\n";
    return std::unexpected(2);
  }
  auto selected = tools::select_topics(input->header.header, topics);
  if (!selected) {
    err << file << ": " << selected.error() << "\n";
    return std::unexpected(2);
  }
  return Selected{.input = std::move(*input), .topics = std::move(*selected)};
}

int end_status(const tools::Input& input, const recorder::DataEnd& end, std::ostream& err) {
  if (end.reason == recorder::DataEnd::Reason::Clean) return 0;
  err << input.path << ": " << recorder::to_string(end)
      << "; the frames before it were used, the rest was not\n";
  return 1;
}

bool is_one_of(const std::string& output, std::span<const std::string> inputs) {
  struct stat out {};
  if (::stat(output.c_str(), &out) != 0) return false;
  return std::ranges::any_of(inputs, [&](const std::string& path) {
    struct stat in {};
    return ::stat(path.c_str(), &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino;
  });
}

}  // namespace nimbrel::rec
