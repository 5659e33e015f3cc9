// A value behind its own mutex, with poisoning: a guard whose scope is left by an exception marks
// the value poisoned, and every later lock() yields an empty optional. Callers skip a poisoned
// component for the current turn instead of working on half-updated state.
#pragma once

#include <exception>
#include <mutex>
#include <optional>
#include <utility>

namespace nimbrel {

template <typename T>
class Guarded {
 public:
  class Guard {
   public:
    Guard(Guard&& other) noexcept
        : owner_(std::exchange(other.owner_, nullptr)),
          lock_(std::move(other.lock_)),
          exceptions_(other.exceptions_) {}
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    Guard& operator=(Guard&&) = delete;
    ~Guard() {
      if (owner_ != nullptr && std::uncaught_exceptions() > exceptions_) owner_->poisoned_ = true;
    }

    T& operator*() const { return owner_->value_; }
    T* operator->() const { return &owner_->value_; }

   private:
    friend class Guarded;
    explicit Guard(Guarded* owner)
        : owner_(owner), lock_(owner->mutex_), exceptions_(std::uncaught_exceptions()) {}

    Guarded* owner_;
    std::unique_lock<std::mutex> lock_;
    int exceptions_;
  };

  Guarded() = default;
  template <typename... Args>
  explicit Guarded(std::in_place_t, Args&&... args) : value_(std::forward<Args>(args)...) {}

  // Empty when the value is poisoned; the mutex is then released at once.
  std::optional<Guard> lock() {
    Guard guard(this);
    if (poisoned_) return std::nullopt;
    return std::optional<Guard>(std::move(guard));
  }

  // Marks the value poisoned, as a guard left by an exception would.
  void poison() {
    std::lock_guard lock(mutex_);
    poisoned_ = true;
  }

 private:
  std::mutex mutex_;
  bool poisoned_ = false;  // guarded by mutex_
  T value_{};              // guarded by mutex_
};

}  // namespace nimbrel
