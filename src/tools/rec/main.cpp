// nimbrel-rec: inspects, checks, exports, cuts and merges .nbrlrec recordings.
#include <iostream>
#include <string>
#include <vector>

#include "tools/rec/cli.hpp"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return nimbrel::rec::run_cli(args, std::cout, std::cerr);
}
