// A program run as a child process for the length of a test: its standard output and error go to
// a temporary file that the test reads; the destructor kills and reaps a child still running.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace nimbrel::testing {

class PeerProcess {
 public:
  // Null when the program cannot be started.
  static std::unique_ptr<PeerProcess> spawn(const std::vector<std::string>& args) {
    std::string log = "/tmp/nimbrel-peer-XXXXXX";
    const int fd = ::mkstemp(log.data());
    if (fd < 0) return nullptr;
    ::close(fd);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_TRUNC, 0);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<char*> argv;
    for (const auto& arg : args)
      argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      ::unlink(log.c_str());
      return nullptr;
    }
    return std::unique_ptr<PeerProcess>(new PeerProcess(pid, std::move(log)));
  }

  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;
  ~PeerProcess() {
    if (!exit_status_) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
    }
    ::unlink(log_.c_str());
  }

  void signal(int number) const {
    if (!exit_status_) ::kill(pid_, number);
  }
  pid_t pid() const { return pid_; }

  // The exit status once the child has ended within `limit` (128 + the signal if a signal ended
  // it), or nothing if it still runs.
  std::optional<int> wait_exit(std::chrono::steady_clock::duration limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!exit_status_) {
      int status = 0;
      const pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      } else if (std::chrono::steady_clock::now() >= deadline) {
        break;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    return exit_status_;
  }

  // Whether `text` appeared in the output within `limit`.
  bool wait_for_output(const std::string& text, std::chrono::steady_clock::duration limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (output().find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

  // What the peer printed so far.
  std::string output() const {
    std::ifstream in(log_);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

 private:
  PeerProcess(pid_t pid, std::string log) : pid_(pid), log_(std::move(log)) {}

  pid_t pid_;
  std::string log_;
  std::optional<int> exit_status_;
};

}  // namespace nimbrel::testing
