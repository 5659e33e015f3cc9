// nimbrel-recording-summary: prints what a .nbrlrec recording holds.
//   nimbrel-recording-summary [--sequence] FILE
// Exit status 0 for a recording that ends cleanly, 1 for one whose tail is cut or inconsistent,
// 2 for a file that is no recording or a usage error.
#include <iostream>
#include <string>

#include "tools/recording_summary/summary.hpp"

int main(int argc, char** argv) {
  bool sequence_check = false;
  std::string path;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--sequence") {
      sequence_check = true;
    } else if (path.empty()) {
      path = arg;
    } else {
      path.clear();
      break;
    }
  }
  if (path.empty()) {
    std::cerr << "usage: nimbrel-recording-summary [--sequence] FILE\n";
    return 2;
  }
  auto file = nimbrel::recorder::RecordingFile::open(path);
  if (!file) {
    std::cerr << path << ": " << nimbrel::recorder::to_string(file.error()) << "\n";
    return 2;
  }
  const auto summary = nimbrel::summary::summarize(*file, sequence_check);
  std::cout << path << "\n" << nimbrel::summary::to_text(summary, sequence_check);
  return summary.clean_end ? 0 : 1;
}
