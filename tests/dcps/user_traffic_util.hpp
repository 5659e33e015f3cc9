// Helpers for the user reader and matching tests: a runtime state whose user unicast transport is
// recorded apart from the others, remote writers announced through SEDP, and their DATA and
// HEARTBEAT datagrams.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dcps/metatraffic.hpp"
#include "dcps/runtime_state.hpp"
#include "dcps/runtime_test_util.hpp"
#include "dcps/user_receive.hpp"
#include "rtps/datagram.hpp"
#include "rtps/subscription_data.hpp"

namespace nimbrel::dcps::testing {

inline constexpr rtps::EntityId writer_id =
    rtps::make_entity_id(0, 0, 0x0b, rtps::EntityKind::UserWriterWithKey);
inline const rtps::Locator remote_user = rtps::Locator::udp_v4({127, 0, 0, 9}, 41001);

struct Submessage {
  std::uint8_t id;
  rtps::EncodedBody body;
};

inline SharedBytes datagram_from(const rtps::GuidPrefix& prefix,
                                 std::initializer_list<Submessage> submessages) {
  std::vector<std::byte> out;
  rtps::write_rtps_header(out, {2, 1}, {0x01, 0x10}, prefix);
  for (const auto& s : submessages) {
    static_cast<void>(rtps::write_submessage(out, s.id, s.body.flags, s.body.bytes, "too long"));
  }
  return SharedBytes::adopt(std::move(out));
}

// A little-endian CDR payload whose body is the 4-byte sequence number.
inline Submessage data(rtps::SequenceNumber sn, rtps::EntityId reader = {}) {
  rtps::DataSubmessage d{.reader_id = reader, .writer_id = writer_id, .writer_sn = sn};
  const auto n = static_cast<std::uint32_t>(sn);
  std::vector<std::byte> payload{std::byte{0}, std::byte{1}, std::byte{0}, std::byte{0}};
  for (int i = 0; i < 4; ++i)
    payload.push_back(static_cast<std::byte>(n >> (8 * i)));
  d.serialized_payload = SharedBytes::adopt(std::move(payload));
  return {rtps::submessage_id::data, d.write_body(/*little_endian=*/true).value()};
}

inline Submessage heartbeat(rtps::SequenceNumber first, rtps::SequenceNumber last,
                            std::uint32_t count) {
  const rtps::HeartbeatSubmessage hb{
      .writer_id = writer_id, .first_sn = first, .last_sn = last, .count = count};
  return {rtps::submessage_id::heartbeat, hb.write_body(/*little_endian=*/true)};
}

inline Submessage info_source(const rtps::GuidPrefix& prefix) {
  std::vector<std::byte> body(8);  // unused, version, vendor id
  for (auto b : prefix)
    body.push_back(std::byte{b});
  return {rtps::submessage_id::info_src, {.bytes = std::move(body), .flags = 0x01}};
}

// Announces remote publications as their participants' SEDP announcers would, numbering each
// participant's DATA from 1.
class SedpPublisher {
 public:
  // SEDP has no publication encoder; the subscription encoder writes the shared fields alike.
  SharedBytes announce(const rtps::SubscriptionBuiltinTopicData& publication) {
    auto& next = next_sn_[publication.endpoint_guid.prefix];
    rtps::DataSubmessage d{.reader_id = rtps::entity_ids::sedp_publications_reader,
                           .writer_id = rtps::entity_ids::sedp_publications_writer,
                           .writer_sn = ++next};
    d.serialized_payload = SharedBytes::adopt(publication.to_pl_cdr_le().value());
    return datagram_from(publication.endpoint_guid.prefix,
                         {{rtps::submessage_id::data, d.write_body(true).value()}});
  }

 private:
  std::map<rtps::GuidPrefix, rtps::SequenceNumber> next_sn_;
};

inline rtps::SubscriptionBuiltinTopicData publication(const rtps::GuidPrefix& prefix,
                                                      const std::string& topic = "Topic",
                                                      const std::string& type = "Type") {
  rtps::SubscriptionBuiltinTopicData p;
  p.participant_guid = {prefix, rtps::entity_ids::participant};
  p.endpoint_guid = {prefix, writer_id};
  p.topic_name = topic;
  p.type_name = type;
  return p;
}

inline rtps::ParticipantBuiltinTopicData participant_data(const rtps::GuidPrefix& prefix,
                                                          const rtps::Locator& user) {
  discovery::LocalParticipant remote{
      .prefix = prefix, .metatraffic_unicast = remote_metatraffic, .default_unicast = user};
  return discovery::local_participant_data(remote);
}

class RecordingSink final : public Sink {
 public:
  void record(const Event& event) override {
    std::lock_guard lock(mutex_);
    events.push_back(event);
  }
  std::vector<Event> events;

 private:
  std::mutex mutex_;
};

// A runtime state without threads or sockets, remote participants and writers made known through
// the real SPDP and SEDP receive paths, and the user receive path fed directly.
class UserTrafficTest : public ::testing::Test {
 protected:
  std::shared_ptr<RecordingTransport> other_ = std::make_shared<RecordingTransport>();
  std::shared_ptr<RecordingTransport> user_ = std::make_shared<RecordingTransport>();
  std::shared_ptr<RecordingSink> sink_ = std::make_shared<RecordingSink>();
  // The real clock's now, so that registrations read an elapsed time near 0.
  MonoInstant start_ = std::chrono::steady_clock::now();
  std::shared_ptr<RuntimeState> state_ = make_state();
  SedpPublisher sedp_;

  // What user readers send is recorded in `user_`, the rest in `other_`.
  std::shared_ptr<RuntimeState> make_state() {
    RuntimeConfig config;
    config.sink = sink_;
    const discovery::LocalParticipant local{
        .prefix = own_prefix,
        .metatraffic_unicast = rtps::Locator::udp_v4({127, 0, 0, 1}, 40000),
        .default_unicast = rtps::Locator::udp_v4({127, 0, 0, 1}, 40001),
    };
    return std::make_shared<RuntimeState>(0, own_prefix, std::move(config),
                                          RuntimeSockets{other_, other_, user_, other_},
                                          discovery::local_participant_data(local), start_);
  }

  void know_participant(const rtps::GuidPrefix& prefix, const rtps::Locator& user = remote_user) {
    handle_spdp_datagram(*state_, spdp_announcement(participant_data(prefix, user)));
  }
  void announce(const rtps::SubscriptionBuiltinTopicData& publication) {
    handle_metatraffic_datagram(*state_, sedp_.announce(publication), Elapsed{});
  }
  // The participant is heard, then its writer 00 00 0b 02 of `topic`.
  void know_writer(const rtps::GuidPrefix& prefix, const std::string& topic = "Topic") {
    know_participant(prefix);
    announce(publication(prefix, topic));
  }

  RegisteredUserReader reader(const std::string& topic = "Topic") {
    return register_user_reader(*state_, {.topic_name = topic, .type_name = "Type"}).value();
  }
  UserReaderSlot& slot(const rtps::EntityId& id) {
    slots_.push_back(state_->user_readers.find(id));
    // Single-threaded tests: nothing else locks the slot while the test looks at it.
    return **slots_.back()->lock();
  }

  void receive(const SharedBytes& datagram, Elapsed now = {}) {
    handle_user_datagram(*state_, datagram, now);
  }

  // The sequence numbers carried by the queued data samples, in queue order.
  static std::vector<std::uint32_t> taken(SampleReceiver& samples) {
    std::vector<std::uint32_t> out;
    while (auto sample = samples.try_receive()) {
      const auto& payload = std::get<UserDataSample>(*sample).payload;
      std::uint32_t sn = 0;
      for (std::size_t i = 0; i < 4 && i < payload.size(); ++i)
        sn |= std::to_integer<std::uint32_t>(payload.data()[i]) << (8 * i);
      out.push_back(sn);
    }
    return out;
  }

 private:
  std::vector<SharedReaderSlot> slots_;
};

}  // namespace nimbrel::dcps::testing
