// nimbrel-discover: joins a DDS domain for a while and lists what is on it.
#include <iostream>
#include <string>
#include <vector>

#include "tools/discover/args.hpp"
#include "tools/discover/listen.hpp"
#include "tools/discover/report.hpp"

int main(int argc, char** argv) {
  using namespace nimbrel::discover;
  const std::vector<std::string> arguments(argv, argv + argc);
  const auto args = parse_args(arguments);
  if (!args) {
    if (args.error().kind == ParseStop::Kind::Help) {
      std::cout << usage_text;
      return 0;
    }
    if (args.error().kind == ParseStop::Kind::Version) {
      std::cout << nimbrel::tools::version_line("nimbrel-discover") << '\n';
      return 0;
    }
    std::cerr << "error: " << args.error().message << "\n\n" << usage_text;
    return 2;
  }
  const auto view = listen(args->domain, args->duration_ms, args->types, args->topics);
  if (!view) {
    std::cerr << "error: " << view.error() << '\n';
    return 1;
  }
  std::cout << (args->json ? render_json(*view, args->domain, args->types)
                           : render_text(*view, args->domain));
  return 0;
}
