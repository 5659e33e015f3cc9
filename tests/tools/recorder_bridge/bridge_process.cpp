#include "bridge_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>

extern char** environ;

namespace nimbrel::bridge::testing {

ProcessResult run_bridge(const std::vector<std::string>& args, const RunOptions& options) {
  ProcessResult result;
  std::array<int, 2> out{-1, -1};
  std::array<int, 2> err{-1, -1};
  if (::pipe2(out.data(), O_CLOEXEC) != 0 || ::pipe2(err.data(), O_CLOEXEC) != 0) return result;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  // The child starts with SIGINT at its default action and nothing blocked, whatever the test
  // runner inherited (a background shell ignores SIGINT).
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  sigaddset(&signals, SIGINT);
  posix_spawnattr_setsigdefault(&attributes, &signals);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<std::string> argv_strings{NIMBREL_BRIDGE_BINARY};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& arg : argv_strings)
    argv.push_back(arg.data());
  argv.push_back(nullptr);

  const auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  const int spawned =
      ::posix_spawn(&pid, NIMBREL_BRIDGE_BINARY, &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(out[1]);
  ::close(err[1]);
  std::array<pollfd, 2> fds{pollfd{out[0], POLLIN, 0}, pollfd{err[0], POLLIN, 0}};
  const auto deadline = start + options.limit;
  bool sigint_sent = false;
  while (spawned == 0 && (fds[0].fd >= 0 || fds[1].fd >= 0)) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      ::kill(pid, SIGKILL);
      result.timed_out = true;
      break;
    }
    const auto wait_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    if (::poll(fds.data(), fds.size(), static_cast<int>(std::min<long>(wait_ms, 1000))) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      std::array<char, 4096> buffer{};
      const ssize_t n = ::read(fds[i].fd, buffer.data(), buffer.size());
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buffer.data(), static_cast<std::size_t>(n));
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {  // end of file or failure
        ::close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
    if (options.sigint_after && !sigint_sent &&
        result.out.find(*options.sigint_after) != std::string::npos) {
      ::kill(pid, SIGINT);
      sigint_sent = true;
    }
  }
  for (auto& fd : fds) {
    if (fd.fd >= 0) ::close(fd.fd);
  }
  if (spawned != 0) return result;

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.wall = std::chrono::steady_clock::now() - start;
  if (WIFEXITED(status)) {
    result.exited = true;
    result.exit_status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

}  // namespace nimbrel::bridge::testing
