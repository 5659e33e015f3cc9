// One named thread of the runtime, on pthreads directly so that a failed start or join comes back
// as an error code instead of an exception. The system keeps only the first 15 bytes of a name;
// the full name stays with the handle.
#pragma once

#include <pthread.h>

#include <expected>
#include <functional>
#include <string>

namespace nimbrel::dcps {

// Linux limit for a thread name, without its terminating NUL.
inline constexpr std::size_t max_system_thread_name = 15;

class RuntimeThread {
 public:
  // Runs `body` on a new thread that first names itself; the error is pthread_create's code.
  static std::expected<RuntimeThread, int> spawn(std::string name, std::function<void()> body);

  RuntimeThread(RuntimeThread&& other) noexcept;
  RuntimeThread& operator=(RuntimeThread&& other) = delete;
  RuntimeThread(const RuntimeThread&) = delete;
  RuntimeThread& operator=(const RuntimeThread&) = delete;
  // A thread still running here is detached; the runtime joins all of them before this happens.
  ~RuntimeThread();

  // 0, or pthread_join's code; a second call returns EINVAL.
  int join();
  const std::string& name() const { return name_; }

 private:
  RuntimeThread(std::string name, pthread_t handle) : name_(std::move(name)), handle_(handle) {}

  std::string name_;
  pthread_t handle_{};
  bool joinable_ = true;
};

}  // namespace nimbrel::dcps
