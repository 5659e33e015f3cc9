#include "tools/common/ctrl_c.hpp"

#include <signal.h>

#include <mutex>
#include <vector>

#include "foundation/fatal.hpp"

namespace nimbrel::tools {
namespace {

static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<std::atomic<bool>*>::is_always_lock_free);

// Read by the handler; written only by ctrl_c_install.
std::atomic<std::atomic<bool>*> sigint_flag{nullptr};

// Owns every installed flag for the rest of the process; the handler never touches this.
std::mutex installed_mutex;
std::vector<std::shared_ptr<std::atomic<bool>>> installed;  // guarded by installed_mutex

extern "C" void on_sigint(int /*signal*/) {
  if (auto* flag = sigint_flag.load(); flag != nullptr) flag->store(true);
}

}  // namespace

void ctrl_c_install(std::shared_ptr<std::atomic<bool>> stop) {
  {
    std::lock_guard lock(installed_mutex);
    installed.push_back(stop);
  }
  sigint_flag.store(stop.get());

  struct sigaction action {};
  action.sa_handler = on_sigint;
  sigemptyset(&action.sa_mask);
  // Restart interrupted reads and writes; a loop's short sleep needs no restart.
  action.sa_flags = SA_RESTART;
  if (::sigaction(SIGINT, &action, nullptr) != 0) fatal("failed to install the SIGINT handler");
}

}  // namespace nimbrel::tools
