// The hand-over from the runtime's receive thread to a user reader's consumer: an unbounded
// multi-producer, single-consumer queue of `UserSample`s. The runtime keeps the sending side in the
// reader's slot, the C API's reader handle owns the receiving side; a send never waits, and a send
// after the receiving side is gone discards the sample.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <variant>

#include "foundation/shared_bytes.hpp"
#include "rtps/history_cache.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::dcps {

struct UserDataSample {
  SharedBytes payload{};  // without the 4-byte encapsulation header; shares the datagram's buffer
  rtps::Guid writer_guid{};
  std::int32_t ownership_strength = 0;
};

// A dispose or unregister of an instance.
struct UserLifecycleSample {
  std::uint8_t kind = rtps::change_kind::not_alive_disposed;
  rtps::KeyHash key_hash{};
};

using UserSample = std::variant<UserDataSample, UserLifecycleSample>;

namespace detail {

struct SampleChannel {
  std::mutex mutex;
  std::deque<UserSample> samples;  // guarded by mutex; pushed by the receive thread, popped by API
  bool receiver_alive = true;      // guarded by mutex
};

}  // namespace detail

class SampleSender {
 public:
  explicit SampleSender(std::shared_ptr<detail::SampleChannel> channel)
      : channel_(std::move(channel)) {}
  SampleSender(SampleSender&&) = default;
  SampleSender& operator=(SampleSender&&) = default;
  SampleSender(const SampleSender&) = delete;
  SampleSender& operator=(const SampleSender&) = delete;

  // False, and the sample is dropped, once the receiving side is gone.
  bool send(UserSample sample) const {
    std::lock_guard lock(channel_->mutex);
    if (!channel_->receiver_alive) return false;
    channel_->samples.push_back(std::move(sample));
    return true;
  }

 private:
  std::shared_ptr<detail::SampleChannel> channel_;
};

class SampleReceiver {
 public:
  explicit SampleReceiver(std::shared_ptr<detail::SampleChannel> channel)
      : channel_(std::move(channel)) {}
  SampleReceiver(SampleReceiver&&) = default;
  SampleReceiver& operator=(SampleReceiver&&) = default;
  SampleReceiver(const SampleReceiver&) = delete;
  SampleReceiver& operator=(const SampleReceiver&) = delete;
  // What is still queued is released here, not when the runtime ends.
  ~SampleReceiver() {
    if (!channel_) return;
    std::deque<UserSample> dropped;
    std::lock_guard lock(channel_->mutex);
    channel_->receiver_alive = false;
    dropped.swap(channel_->samples);
  }

  // The oldest sample; empty when none is queued. What was sent before the runtime let go of the
  // sending side is still handed out.
  std::optional<UserSample> try_receive() {
    std::lock_guard lock(channel_->mutex);
    if (channel_->samples.empty()) return std::nullopt;
    UserSample sample = std::move(channel_->samples.front());
    channel_->samples.pop_front();
    return sample;
  }

 private:
  std::shared_ptr<detail::SampleChannel> channel_;
};

inline std::pair<SampleSender, SampleReceiver> make_sample_queue() {
  auto channel = std::make_shared<detail::SampleChannel>();
  return {SampleSender(channel), SampleReceiver(channel)};
}

}  // namespace nimbrel::dcps
