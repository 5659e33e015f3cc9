#include "dcps/readers/sample_queue.hpp"

#include <algorithm>
#include <iterator>

namespace nimbrel::dcps {

void detail::SampleChannel::release_admission() {
  // Read after the count drops: a close that set the flag before then is waiting or about to
  // check the count under the lock, and the notification under the lock cannot slip between.
  if (admitted.fetch_sub(1, std::memory_order_seq_cst) == 1 &&
      closed.load(std::memory_order_seq_cst)) {
    std::lock_guard lock(mutex);
    drained.notify_all();
  }
}

namespace {

// The deque's slot, the shared buffer's control block and the allocator's rounding.
constexpr std::size_t per_sample_overhead = 64;

}  // namespace

std::size_t queued_size(const UserSample& sample) {
  const auto* data = std::get_if<UserDataSample>(&sample);
  return per_sample_overhead + (data != nullptr ? data->payload.size() : 0);
}

std::optional<Admission> SampleSender::admit(bool needs_room) const {
  detail::SampleChannel& channel = *channel_;
  // Counted before the closed flag is read, and the close sets the flag before it reads the
  // count: one of the two always sees the other.
  channel.admitted.fetch_add(1, std::memory_order_seq_cst);
  Admission admission(&channel);
  if (channel.closed.load(std::memory_order_seq_cst)) return std::nullopt;
  if (needs_room && full()) return std::nullopt;
  return admission;
}

bool SampleSender::holding_answers() const {
  const std::size_t queued = queued_bytes();
  const std::size_t budget = channel_->budget_bytes;
  if (queued >= budget / 4 * 3) {
    channel_->holding_answers.store(true, std::memory_order_relaxed);
  } else if (queued < budget / 2) {
    channel_->holding_answers.store(false, std::memory_order_relaxed);
  }
  return channel_->holding_answers.load(std::memory_order_relaxed);
}

bool SampleSender::send(UserSample sample) const {
  const std::size_t size = queued_size(sample);
  std::lock_guard lock(channel_->mutex);
  if (!channel_->receiver_alive) return false;
  channel_->samples.push_back(std::move(sample));
  channel_->queued_bytes.fetch_add(size, std::memory_order_relaxed);
  return true;
}

bool SampleSender::send_all(std::vector<UserSample> samples) const {
  std::size_t size = 0;
  for (const auto& sample : samples)
    size += queued_size(sample);
  std::lock_guard lock(channel_->mutex);
  if (!channel_->receiver_alive) return false;
  std::ranges::move(samples, std::back_inserter(channel_->samples));
  channel_->queued_bytes.fetch_add(size, std::memory_order_relaxed);
  return true;
}

SampleReceiver::~SampleReceiver() {
  if (!channel_) return;
  std::deque<UserSample> dropped;
  std::lock_guard lock(channel_->mutex);
  channel_->receiver_alive = false;
  dropped.swap(channel_->samples);
  channel_->queued_bytes.store(0, std::memory_order_relaxed);
}

std::optional<UserSample> SampleReceiver::try_receive() {
  std::lock_guard lock(channel_->mutex);
  if (channel_->samples.empty()) return std::nullopt;
  UserSample sample = std::move(channel_->samples.front());
  channel_->samples.pop_front();
  channel_->queued_bytes.fetch_sub(queued_size(sample), std::memory_order_relaxed);
  return sample;
}

void SampleReceiver::close() {
  std::unique_lock lock(channel_->mutex);
  channel_->closed.store(true, std::memory_order_seq_cst);
  channel_->drained.wait(lock,
                         [&] { return channel_->admitted.load(std::memory_order_seq_cst) == 0; });
}

std::pair<SampleSender, SampleReceiver> make_sample_queue(std::size_t budget_bytes) {
  auto channel = std::make_shared<detail::SampleChannel>(budget_bytes);
  return {SampleSender(channel), SampleReceiver(channel)};
}

}  // namespace nimbrel::dcps
