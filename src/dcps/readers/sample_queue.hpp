// The hand-over from the runtime's receive threads to a user reader's consumer: a multi-producer,
// single-consumer queue of whole samples and of the losses among them, with a byte budget. The
// runtime keeps the sending side in the reader's slot, the C API's reader handle owns the receiving
// side. Before a datagram may release samples into the queue, the receive path asks the sender for
// an `Admission`: refused while the queue is over its budget (the reader then leaves the data
// unacknowledged, so a reliable writer sends it again later) and for good once the consumer has
// closed the queue, so that what it drains after the close is everything the reader ever
// acknowledged.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "dcps/participant/runtime_config.hpp"
#include "foundation/shared_bytes.hpp"
#include "rtps/history_cache.hpp"
#include "rtps/sample_loss.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::dcps {

inline constexpr std::size_t encapsulation_header_size = 4;

// A sample as its writer sent it, of any change kind: data, or a dispose or unregister of an
// instance.
struct UserSample {
  SharedBytes payload{};  // with its 4-byte encapsulation header; shares the datagram's buffer
  rtps::Guid writer_guid{};
  rtps::SequenceNumber sequence_number = 0;
  std::uint8_t kind = rtps::change_kind::alive;
  // The inline key hash; for a dispose or unregister without one, the start of its serialized key.
  std::optional<rtps::KeyHash> key_hash{};
  rtps::ChangeTimes times{};
  std::int32_t ownership_strength = 0;  // of the writer when it was matched

  bool is_data() const { return kind == rtps::change_kind::alive; }
  // The serialized sample after the encapsulation header (empty for a shorter payload).
  std::span<const std::byte> body() const {
    const auto bytes = payload.span();
    return bytes.size() < encapsulation_header_size ? bytes.subspan(bytes.size())
                                                    : bytes.subspan(encapsulation_header_size);
  }
};

// What a reader hands its consumer, in order: samples, and the numbers lost between them.
using ReaderItem = std::variant<UserSample, rtps::LostRange>;

// What a queued item is charged against the budget: its payload and the queue's bookkeeping.
std::size_t queued_size(const ReaderItem& item);

namespace detail {

struct SampleChannel {
  explicit SampleChannel(std::size_t budget) : budget_bytes(budget) {}

  std::mutex mutex;
  std::deque<ReaderItem> items;  // guarded by mutex; pushed by receive threads, popped by API
  bool receiver_alive = true;    // guarded by mutex
  const std::size_t budget_bytes;
  // Written under mutex, read without it by the admission check of the receive threads.
  std::atomic<std::size_t> queued_bytes{0};
  std::atomic<bool> closed{false};  // set once by the consumer
  // Whether the readers keep their answers back; read and written by receive and tick threads.
  std::atomic<bool> holding_answers{false};
  // Admissions granted and not yet released; the consumer's close waits on `drained` for them
  // to end. Counted without a lock: the lock is taken only by a close and by the last admission
  // to end after it.
  std::atomic<std::uint32_t> admitted{0};
  std::condition_variable drained;  // notified under mutex
  void release_admission();
};

}  // namespace detail

// Held by a receive thread from before a datagram's first submessage reaches the reader until the
// samples it released are queued, never across a send; while one is held, a close waits.
class Admission {
 public:
  Admission(Admission&& other) noexcept : channel_(std::exchange(other.channel_, nullptr)) {}
  Admission(const Admission&) = delete;
  Admission& operator=(const Admission&) = delete;
  Admission& operator=(Admission&&) = delete;
  ~Admission() {
    if (channel_ != nullptr) channel_->release_admission();
  }

 private:
  friend class SampleSender;
  explicit Admission(detail::SampleChannel* channel) : channel_(channel) {}
  detail::SampleChannel* channel_;
};

class SampleSender {
 public:
  explicit SampleSender(std::shared_ptr<detail::SampleChannel> channel)
      : channel_(std::move(channel)) {}
  SampleSender(SampleSender&&) = default;
  SampleSender& operator=(SampleSender&&) = default;
  SampleSender(const SampleSender&) = delete;
  SampleSender& operator=(const SampleSender&) = delete;

  // Empty once the queue is closed. Whether data waits for room is the receive path's to decide
  // (`full`): a reliable writer's does, a best-effort writer's is counted lost.
  std::optional<Admission> admit() const;

  // False, and the item is dropped, once the receiving side is gone. A loss that continues the
  // last queued one joins it, so a stalled consumer costs one entry per writer and reason.
  bool send(ReaderItem item) const;
  // The items in order, under one lock.
  bool send_all(std::vector<ReaderItem> items) const;

  std::size_t queued_bytes() const {
    return channel_->queued_bytes.load(std::memory_order_relaxed);
  }
  // At or over the budget: new data waits, unacknowledged, for the writer to send it again.
  bool full() const { return queued_bytes() >= channel_->budget_bytes; }
  // Whether the reader keeps its answers to the writer back: from three quarters of the budget
  // on, until the queue is down to half of it. A writer that is not acknowledged stops once its
  // window is full, so what it has in flight still fits below the budget instead of being refused
  // and sent twice, and the consumer has half a budget to take before the writer starts again.
  bool holding_answers() const;

 private:
  std::shared_ptr<detail::SampleChannel> channel_;
};

// Whether a queue holds anything, read without its lock: a consumer of thousands of mostly idle
// readers looks at each for the price of a load.
class QueueLevel {
 public:
  explicit QueueLevel(std::shared_ptr<const detail::SampleChannel> channel)
      : channel_(std::move(channel)) {}
  // Every item is charged something, so nothing charged is nothing queued. What is sent meanwhile
  // is seen by the next look.
  bool empty() const { return channel_->queued_bytes.load(std::memory_order_relaxed) == 0; }

 private:
  std::shared_ptr<const detail::SampleChannel> channel_;
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
  ~SampleReceiver();

  // The oldest item; empty when none is queued. What was sent before the runtime let go of the
  // sending side is still handed out.
  std::optional<ReaderItem> try_receive();
  // Moves the oldest items into `out`, under one lock: at most `max_items`, and no more once
  // their payloads reach `max_bytes`. Gives how many.
  std::size_t receive_batch(std::vector<ReaderItem>& out, std::size_t max_items,
                            std::size_t max_bytes);

  // No admission is granted from now on; returns once those granted before have ended, so that the
  // queue holds everything the reader took in and can only shrink.
  void close();

  QueueLevel level() const { return QueueLevel(channel_); }

 private:
  std::shared_ptr<detail::SampleChannel> channel_;
};

std::pair<SampleSender, SampleReceiver> make_sample_queue(
    std::size_t budget_bytes = default_queue_budget_bytes);

}  // namespace nimbrel::dcps
