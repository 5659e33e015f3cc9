#include "dcps/runtime/runtime_thread.hpp"

#include <cerrno>
#include <memory>
#include <utility>

namespace nimbrel::dcps {
namespace {

struct Start {
  std::string system_name;
  std::function<void()> body;
};

void* run(void* raw) {
  const std::unique_ptr<Start> start(static_cast<Start*>(raw));
  ::pthread_setname_np(::pthread_self(), start->system_name.c_str());
  start->body();
  return nullptr;
}

}  // namespace

std::expected<RuntimeThread, int> RuntimeThread::spawn(std::string name,
                                                       std::function<void()> body) {
  auto start =
      std::make_unique<Start>(Start{name.substr(0, max_system_thread_name), std::move(body)});
  pthread_t handle{};
  const int rc = ::pthread_create(&handle, nullptr, &run, start.get());
  if (rc != 0) return std::unexpected(rc);
  static_cast<void>(start.release());  // now owned by the new thread
  return RuntimeThread(std::move(name), handle);
}

RuntimeThread::RuntimeThread(RuntimeThread&& other) noexcept
    : name_(std::move(other.name_)),
      handle_(other.handle_),
      joinable_(std::exchange(other.joinable_, false)) {}

RuntimeThread::~RuntimeThread() {
  if (joinable_) ::pthread_detach(handle_);
}

int RuntimeThread::join() {
  if (!joinable_) return EINVAL;
  joinable_ = false;
  return ::pthread_join(handle_, nullptr);
}

}  // namespace nimbrel::dcps
