#include "dcps/readers/sample_queue.hpp"

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

// Appends `item`, or extends the last queued loss with it; gives the bytes it adds to the queue.
std::size_t push(std::deque<ReaderItem>& items, ReaderItem&& item) {
  if (const auto* loss = std::get_if<rtps::LostRange>(&item); loss != nullptr && !items.empty()) {
    if (auto* last = std::get_if<rtps::LostRange>(&items.back()); last && join(*last, *loss))
      return 0;
  }
  const std::size_t size = queued_size(item);
  items.push_back(std::move(item));
  return size;
}

}  // namespace

std::size_t queued_size(const ReaderItem& item) {
  const auto* sample = std::get_if<UserSample>(&item);
  return per_sample_overhead + (sample != nullptr ? sample->payload.size() : 0);
}

std::optional<Admission> SampleSender::admit() const {
  detail::SampleChannel& channel = *channel_;
  // Counted before the closed flag is read, and the close sets the flag before it reads the
  // count: one of the two always sees the other.
  channel.admitted.fetch_add(1, std::memory_order_seq_cst);
  Admission admission(&channel);
  if (channel.closed.load(std::memory_order_seq_cst)) return std::nullopt;
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

bool SampleSender::send(ReaderItem item) const {
  std::lock_guard lock(channel_->mutex);
  if (!channel_->receiver_alive) return false;
  channel_->queued_bytes.fetch_add(push(channel_->items, std::move(item)),
                                   std::memory_order_relaxed);
  return true;
}

bool SampleSender::send_all(std::vector<ReaderItem> items) const {
  std::lock_guard lock(channel_->mutex);
  if (!channel_->receiver_alive) return false;
  std::size_t size = 0;
  for (auto& item : items)
    size += push(channel_->items, std::move(item));
  channel_->queued_bytes.fetch_add(size, std::memory_order_relaxed);
  return true;
}

SampleReceiver::~SampleReceiver() {
  if (!channel_) return;
  std::deque<ReaderItem> dropped;
  std::lock_guard lock(channel_->mutex);
  channel_->receiver_alive = false;
  dropped.swap(channel_->items);
  channel_->queued_bytes.store(0, std::memory_order_relaxed);
}

std::optional<ReaderItem> SampleReceiver::try_receive() {
  std::lock_guard lock(channel_->mutex);
  if (channel_->items.empty()) return std::nullopt;
  ReaderItem item = std::move(channel_->items.front());
  channel_->items.pop_front();
  channel_->queued_bytes.fetch_sub(queued_size(item), std::memory_order_relaxed);
  return item;
}

std::size_t SampleReceiver::receive_batch(std::vector<ReaderItem>& out, std::size_t max_items,
                                          std::size_t max_bytes) {
  std::lock_guard lock(channel_->mutex);
  std::size_t taken = 0;
  std::size_t bytes = 0;
  while (taken < max_items && bytes < max_bytes && !channel_->items.empty()) {
    const std::size_t size = queued_size(channel_->items.front());
    out.push_back(std::move(channel_->items.front()));
    channel_->items.pop_front();
    bytes += size;
    ++taken;
  }
  channel_->queued_bytes.fetch_sub(bytes, std::memory_order_relaxed);
  return taken;
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
