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
namespace {

struct Pipe {
  int read = -1;
  int write = -1;
};

Pipe make_pipe() {
  std::array<int, 2> fds{-1, -1};
  if (::pipe2(fds.data(), O_CLOEXEC) != 0) return {};
  return {fds[0], fds[1]};
}

// Appends what is available; false at end of file.
bool drain(int fd, std::string& into) {
  std::array<char, 4096> buffer{};
  const ssize_t n = ::read(fd, buffer.data(), buffer.size());
  if (n < 0) return errno == EINTR || errno == EAGAIN;
  if (n == 0) return false;
  into.append(buffer.data(), static_cast<std::size_t>(n));
  return true;
}

}  // namespace

ProcessResult run_bridge(const std::vector<std::string>& args, const RunOptions& options) {
  ProcessResult result;
  const Pipe out = make_pipe();
  const Pipe err = make_pipe();
  if (out.read < 0 || err.read < 0) return result;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out.write, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err.write, STDERR_FILENO);
  // The child starts with SIGINT at its default action and nothing blocked, whatever the test
  // runner inherited (a background shell ignores SIGINT).
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
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
  ::close(out.write);
  ::close(err.write);
  if (spawned != 0) {
    ::close(out.read);
    ::close(err.read);
    return result;
  }

  const auto deadline = start + options.limit;
  bool sigint_sent = false;
  std::array<pollfd, 2> fds{pollfd{out.read, POLLIN, 0}, pollfd{err.read, POLLIN, 0}};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
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
      if (!drain(fds[i].fd, i == 0 ? result.out : result.err)) {
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
