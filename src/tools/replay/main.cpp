// nimbrel-replay: plays a .nbrlrec or MCAP recording back into a DDS domain.
#include <atomic>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "tools/common/ctrl_c.hpp"
#include "tools/replay/args.hpp"
#include "tools/replay/replay.hpp"

int main(int argc, char** argv) {
  using namespace nimbrel::replay;
  const std::vector<std::string> arguments(argv, argv + argc);
  const auto args = parse_args(arguments);
  if (!args) {
    if (args.error().kind == ParseStop::Kind::Help) {
      std::cout << usage_text << std::flush;
      return 0;
    }
    if (args.error().kind == ParseStop::Kind::Version) {
      std::cout << nimbrel::tools::version_line("nimbrel-replay") << std::endl;
      return 0;
    }
    std::cerr << "error: " << args.error().message << "\n" << usage_text << std::flush;
    return 2;
  }
  auto stop = std::make_shared<std::atomic<bool>>(false);
  nimbrel::tools::ctrl_c_install(stop);
  return run(*args, *stop, std::cout, std::cerr);
}
