// SIGINT ends a tool's run: `ctrl_c_install` makes the process's SIGINT handler store true into the
// given stop flag, which the tool's loop reads once per round. The handler only loads and stores
// lock-free atomics, so it is safe whatever the interrupted thread was doing.
#pragma once

#include <atomic>
#include <memory>

namespace nimbrel::tools {

// Installs the handler synchronously (sigaction). A later call redirects SIGINT to its own flag;
// every flag ever installed stays alive, so a handler still holding an older one is harmless.
void ctrl_c_install(std::shared_ptr<std::atomic<bool>> stop);

}  // namespace nimbrel::tools
