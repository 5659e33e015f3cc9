// The reader's queue as the receive path uses it: a byte budget that leaves data unacknowledged
// instead of growing, and a close after which the queue holds everything ever acknowledged.
#include "dcps/readers/sample_queue.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "dcps/runtime_test_util.hpp"
#include "monitor/registry.hpp"

namespace nimbrel::dcps {
namespace {

using namespace std::chrono_literals;
using testing::data;
using testing::datagram_from;
using testing::heartbeat;

constexpr rtps::GuidPrefix writer_a{0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA};
// Each test sample is 4 payload bytes after the encapsulation header.
const std::size_t sample_size =
    queued_size(UserSample{.payload = SharedBytes::copy_of(std::vector<std::byte>(8))});

class SampleQueueTest : public testing::UserTrafficTest {
 protected:
  // The highest sequence number that any ACKNACK sent so far acknowledged (its base minus one).
  rtps::SequenceNumber acknowledged() {
    for (const auto& sent : user_->take()) {
      const auto reply =
          rtps::decode_bytes<rtps::ParsedDatagram>(SharedBytes::copy_of(sent.bytes), true);
      if (!reply) continue;
      for (const auto& submessage : reply->submessages) {
        if (const auto* ack = std::get_if<rtps::AckNackSubmessage>(&submessage))
          acknowledged_ = std::max(acknowledged_, ack->reader_sn_state.base - 1);
      }
    }
    return acknowledged_;
  }

  rtps::SequenceNumber acknowledged_ = 0;
};

// A consumer that takes nothing: the queue stops at its budget, and the reader does not answer
// the writer while it is full, so the writer does not send again what would be refused again.
// Once the consumer has taken, the reader acknowledges what it queued and asks for the rest; the
// repairs complete the stream in order.
TEST_F(SampleQueueTest, AFullQueueLeavesDataUnacknowledgedUntilThereIsRoom) {
  state_ = testing::make_state(
      other_, start_, 0, {.sink = sink_, .reader_queue_budget_bytes = 3 * sample_size}, user_);
  know_writer(writer_a);
  auto registered = reader();

  for (rtps::SequenceNumber sn = 1; sn <= 6; ++sn)
    receive(datagram_from(writer_a, {data(sn)}));
  receive(datagram_from(writer_a, {heartbeat(1, 6, 1)}));
  EXPECT_TRUE(user_->take().empty());
  EXPECT_EQ(taken(registered.samples), (std::vector<std::uint32_t>{1, 2, 3}));

  receive(datagram_from(writer_a, {heartbeat(1, 6, 2)}));
  const auto sent = user_->take();
  ASSERT_EQ(sent.size(), 1u);
  const auto reply =
      rtps::decode_bytes<rtps::ParsedDatagram>(SharedBytes::copy_of(sent[0].bytes), true).value();
  const auto& acknack = std::get<rtps::AckNackSubmessage>(reply.submessages.back());
  EXPECT_EQ(acknack.reader_sn_state.members(), (std::vector<rtps::SequenceNumber>{4, 5, 6}));

  // The writer repairs what was asked for; the emptied queue takes it.
  for (rtps::SequenceNumber sn = 4; sn <= 6; ++sn)
    receive(datagram_from(writer_a, {data(sn)}));
  EXPECT_EQ(taken(registered.samples), (std::vector<std::uint32_t>{4, 5, 6}));
  receive(datagram_from(writer_a, {heartbeat(1, 6, 3)}));
  EXPECT_EQ(acknowledged(), 6);
}

// A best-effort writer is not repaired: what its full queue refuses is lost, counted, and said in
// the queue itself, in its place among the samples.
TEST_F(SampleQueueTest, ABestEffortWritersSamplesRefusedByAFullQueueAreCountedLost) {
  state_ = testing::make_state(
      other_, start_, 0, {.sink = sink_, .reader_queue_budget_bytes = 3 * sample_size}, user_);
  know_participant(writer_a);
  auto best_effort = testing::publication(writer_a);
  best_effort.reliability.kind = rtps::ReliabilityKind::BestEffort;
  announce(best_effort);
  auto registered = reader();
  const auto& lost = *monitor::default_registry().counter(
      "dds_reader_samples_lost_total",
      monitor::Labels{}.with("reason", "queue_full").with("topic", "Topic"));
  const auto lost_before = lost.value();

  // 5 and 8 never arrive: the hole while the queue is full counts as refused with its neighbours.
  for (rtps::SequenceNumber sn : {1, 2, 3, 4, 6, 7})
    receive(datagram_from(writer_a, {data(sn)}));
  std::vector<ReaderItem> items;
  registered.samples.receive_batch(items, 100, 1 << 20);
  receive(datagram_from(writer_a, {data(9)}));
  registered.samples.receive_batch(items, 100, 1 << 20);

  std::vector<std::string> seen;
  for (const auto& item : items) {
    if (const auto* loss = std::get_if<rtps::LostRange>(&item)) {
      seen.push_back("lost " + std::to_string(loss->first) + ".." + std::to_string(loss->last) +
                     " " + std::string(to_string(loss->reason)));
    } else {
      seen.push_back(std::to_string(std::get<UserSample>(item).sequence_number));
    }
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"1", "2", "3", "lost 4..7 queue_full",
                                            "lost 8..8 network", "9"}));
  EXPECT_EQ(lost.value() - lost_before, 4u);
}

// The answer to a HEARTBEAT leaves only once the datagram's samples are queued: no admission is
// held across a send, and the consumer has the data before the writer learns that it arrived.
TEST_F(SampleQueueTest, TheAnswerLeavesAfterTheDatagramsSamplesAreQueued) {
  know_writer(writer_a);
  auto registered = reader();
  std::vector<std::uint32_t> queued_at_send;
  user_->on_send = [&] { queued_at_send = taken(registered.samples); };
  receive(datagram_from(writer_a, {data(1), data(2), heartbeat(1, 2, 1)}));
  EXPECT_EQ(queued_at_send, (std::vector<std::uint32_t>{1, 2}));
}

// From three quarters of the budget on the reader keeps its answers back but still takes what the
// writer has in flight, until the consumer has brought the queue down to half.
TEST_F(SampleQueueTest, AnswersWaitFromThreeQuartersOfTheBudgetUntilHalfIsFree) {
  state_ = testing::make_state(
      other_, start_, 0, {.sink = sink_, .reader_queue_budget_bytes = 8 * sample_size}, user_);
  know_writer(writer_a);
  auto registered = reader();
  const auto deliver = [&](rtps::SequenceNumber first, rtps::SequenceNumber last) {
    for (rtps::SequenceNumber sn = first; sn <= last; ++sn)
      receive(datagram_from(writer_a, {data(sn)}));
    receive(datagram_from(writer_a, {heartbeat(1, last, static_cast<std::uint32_t>(last))}));
  };
  deliver(1, 5);
  EXPECT_EQ(acknowledged(), 5);
  deliver(6, 8);
  EXPECT_EQ(acknowledged(), 5) << "six of eight queued: the answer waits";
  registered.samples.try_receive();
  registered.samples.try_receive();
  receive(datagram_from(writer_a, {heartbeat(1, 8, 9)}));
  EXPECT_EQ(acknowledged(), 5) << "still above half";
  for (int i = 0; i < 3; ++i)
    registered.samples.try_receive();
  receive(datagram_from(writer_a, {heartbeat(1, 8, 10)}));
  EXPECT_EQ(acknowledged(), 8) << "all eight were taken in, none refused";
}

// A writer at full rate on one thread, the consumer on another; the consumer closes its queue in
// the middle of the stream and drains it. Every sample the reader ever acknowledged was taken.
TEST_F(SampleQueueTest, AfterTheCloseTheQueueHoldsEverythingAcknowledged) {
  know_writer(writer_a);
  auto registered = reader();
  std::atomic<bool> closed{false};
  std::atomic<bool> writing{true};

  std::thread writer([&] {
    // Bounded by count and time; it goes on for a while after the close.
    const auto give_up = std::chrono::steady_clock::now() + 60s;
    std::uint32_t after_close = 0;
    for (rtps::SequenceNumber sn = 1; sn <= 2'000'000 && after_close < 2'000; ++sn) {
      receive(
          datagram_from(writer_a, {data(sn), heartbeat(1, sn, static_cast<std::uint32_t>(sn))}));
      if (closed.load()) ++after_close;
      if (std::chrono::steady_clock::now() > give_up) break;
    }
    writing.store(false);
  });

  std::vector<std::uint32_t> seqs;
  const auto take_all = [&] {
    for (auto more = taken(registered.samples); !more.empty(); more = taken(registered.samples))
      seqs.insert(seqs.end(), more.begin(), more.end());
  };
  const auto give_up = std::chrono::steady_clock::now() + 60s;
  while (seqs.size() < 5'000 && writing.load() && std::chrono::steady_clock::now() < give_up)
    take_all();
  registered.samples.close();
  closed.store(true);
  take_all();
  const std::size_t drained = seqs.size();
  writer.join();
  take_all();

  EXPECT_EQ(seqs.size(), drained) << "a sample was queued after the close";
  ASSERT_FALSE(seqs.empty());
  for (std::size_t i = 0; i < seqs.size(); ++i)
    ASSERT_EQ(seqs[i], i + 1);
  // A sample queued just before the close may miss its acknowledgement (the writer sends it again,
  // to a closed reader); an acknowledged sample missing from the queue would be lost.
  EXPECT_LE(acknowledged(), static_cast<rtps::SequenceNumber>(seqs.size()));
}

TEST(SampleQueue, ChargesEachSampleAndFreesTheChargeWhenTaken) {
  auto [sender, receiver] = make_sample_queue(2 * sample_size);
  ASSERT_TRUE(sender.admit());
  sender.send(UserSample{.payload = SharedBytes::copy_of(std::vector<std::byte>(8))});
  sender.send(UserSample{.kind = rtps::change_kind::not_alive_disposed});
  EXPECT_EQ(sender.queued_bytes(), 2 * sample_size - 8);
  EXPECT_FALSE(sender.full());
  sender.send(UserSample{.payload = SharedBytes::copy_of(std::vector<std::byte>(8))});
  EXPECT_TRUE(sender.full());
  EXPECT_TRUE(sender.admit());  // a full queue still admits; new data is the caller's to hold
  EXPECT_TRUE(receiver.try_receive());
  EXPECT_FALSE(sender.full());
  receiver.close();
  EXPECT_FALSE(sender.admit());
  EXPECT_TRUE(receiver.try_receive());
  EXPECT_TRUE(receiver.try_receive());
  EXPECT_EQ(sender.queued_bytes(), 0u);
}

// A close waits for the delivery in progress; an admission granted before it is honoured.
TEST(SampleQueue, CloseWaitsForTheAdmissionInProgress) {
  auto [sender, receiver] = make_sample_queue();
  std::optional<Admission> admission = sender.admit();
  ASSERT_TRUE(admission);
  std::atomic<bool> closed{false};
  std::thread closer([&, &receiver = receiver] {
    receiver.close();
    closed.store(true);
  });
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(closed.load());
  sender.send(UserSample{.kind = rtps::change_kind::not_alive_disposed});
  admission.reset();
  closer.join();
  EXPECT_TRUE(receiver.try_receive());
}

// A loss that continues the last queued one joins it: a consumer that stalls while a best-effort
// writer's samples are refused costs one entry, not one per sample.
TEST(SampleQueue, ContinuedLossesJoinAndAreTakenInBatches) {
  auto [sender, receiver] = make_sample_queue();
  const rtps::Guid writer{writer_a, testing::writer_id};
  const auto loss = [&](rtps::SequenceNumber first, rtps::SequenceNumber last,
                        rtps::LossReason reason = rtps::LossReason::QueueFull) {
    return rtps::LostRange{.writer = writer, .first = first, .last = last, .reason = reason};
  };
  sender.send(loss(3, 4));
  const std::size_t one_entry = sender.queued_bytes();
  sender.send_all({loss(5, 5), loss(6, 9)});
  EXPECT_EQ(sender.queued_bytes(), one_entry);
  sender.send(loss(10, 10, rtps::LossReason::Network));  // another reason
  sender.send(loss(12, 12));                             // not adjacent
  sender.send(UserSample{.payload = SharedBytes::copy_of(std::vector<std::byte>(8))});
  std::vector<ReaderItem> out;
  EXPECT_EQ(receiver.receive_batch(out, 2, 1 << 20), 2u);
  EXPECT_EQ(receiver.receive_batch(out, 10, 1), 1u);  // stops once the bytes are reached
  EXPECT_EQ(receiver.receive_batch(out, 10, 1 << 20), 1u);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(std::get<rtps::LostRange>(out[0]), loss(3, 9));
  EXPECT_EQ(std::get<rtps::LostRange>(out[1]), loss(10, 10, rtps::LossReason::Network));
  EXPECT_EQ(std::get<rtps::LostRange>(out[2]), loss(12, 12));
  EXPECT_TRUE(std::holds_alternative<UserSample>(out[3]));
  EXPECT_EQ(sender.queued_bytes(), 0u);
}

}  // namespace
}  // namespace nimbrel::dcps
