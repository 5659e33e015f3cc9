// Helpers for the runtime's receive and tick paths without sockets: transports that record what
// is sent, a runtime state built around them, remote participants and writers made known through
// the real SPDP and SEDP receive paths, their DATA and HEARTBEAT datagrams, and a classifier that
// tells which builtin endpoint a sent datagram comes from.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "dcps/readers/user_receive.hpp"
#include "dcps/runtime/receive.hpp"
#include "dcps/runtime/runtime_state.hpp"
#include "discovery/spdp.hpp"
#include "rtps/datagram.hpp"
#include "rtps/submessage_test_util.hpp"
#include "rtps/subscription_data.hpp"
#include "transport/transport.hpp"

namespace nimbrel::dcps::testing {

inline constexpr rtps::GuidPrefix own_prefix{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
inline constexpr rtps::GuidPrefix remote_prefix{7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7};
inline const rtps::Locator remote_metatraffic = rtps::Locator::udp_v4({127, 0, 0, 9}, 41000);
inline const rtps::Locator remote_user = rtps::Locator::udp_v4({127, 0, 0, 9}, 41001);
inline constexpr rtps::EntityId writer_id =
    rtps::make_entity_id(0, 0, 0x0b, rtps::EntityKind::UserWriterWithKey);

struct SentDatagram {
  rtps::Locator destination;
  std::vector<std::byte> bytes;
};

class RecordingTransport final : public transport::Transport {
 public:
  transport::TransportResult<void> send(const rtps::Locator& destination,
                                        std::span<const std::byte> bytes) const override {
    if (on_send) on_send();
    std::lock_guard lock(mutex_);
    sent_.push_back({destination, {bytes.begin(), bytes.end()}});
    return {};
  }
  transport::TransportResult<transport::RawDatagram> recv() const override {
    return std::unexpected(transport::TransportError::timeout());
  }

  std::vector<SentDatagram> take() const {
    std::lock_guard lock(mutex_);
    return std::exchange(sent_, {});
  }

  // Runs inside every send, before it is recorded.
  std::function<void()> on_send;

 private:
  mutable std::mutex mutex_;
  mutable std::vector<SentDatagram> sent_;
};

// What user readers send goes to `user` if given, everything else to `tx`.
inline std::shared_ptr<RuntimeState> make_state(std::shared_ptr<RecordingTransport> tx,
                                                MonoInstant start, std::uint32_t domain_id = 0,
                                                RuntimeConfig config = {},
                                                std::shared_ptr<RecordingTransport> user = {}) {
  const discovery::LocalParticipant local{
      .prefix = own_prefix,
      .domain_id = domain_id,
      .metatraffic_unicast = rtps::Locator::udp_v4({127, 0, 0, 1}, 40000),
      .default_unicast = rtps::Locator::udp_v4({127, 0, 0, 1}, 40001),
  };
  RuntimeSockets sockets{tx, tx, user ? user : tx, tx};
  return std::make_shared<RuntimeState>(domain_id, own_prefix, std::move(config),
                                        std::move(sockets),
                                        discovery::local_participant_data(local), start);
}

// A participant running all SEDP endpoints, reached at `remote_metatraffic` and `user`.
inline rtps::ParticipantBuiltinTopicData participant_data(
    const rtps::GuidPrefix& prefix = remote_prefix, const rtps::Locator& user = remote_user) {
  return discovery::local_participant_data(
      {.prefix = prefix, .metatraffic_unicast = remote_metatraffic, .default_unicast = user});
}

// What a receive thread does with one datagram, as participant `own` (by default the state's own):
// one decode, then every consumer.
inline void deliver(RuntimeState& state, const SharedBytes& datagram, Elapsed now = {},
                    std::optional<rtps::GuidPrefix> own = std::nullopt,
                    const rtps::Locator& source = remote_user) {
  ReceiveThreadState thread(own.value_or(state.participant.prefix));
  receive_datagram(state, thread, {datagram, source}, now);
}

inline SharedBytes spdp_announcement(const rtps::ParticipantBuiltinTopicData& data) {
  discovery::SpdpBeacon beacon{.data = data};
  return SharedBytes::adopt(beacon.serialize().value());
}

inline SharedBytes remote_announcement() {
  return spdp_announcement(participant_data());
}

// An endpoint record; the SEDP subscription encoder writes the fields of a publication alike.
// Reliable, as writers are by default.
inline rtps::SubscriptionBuiltinTopicData publication(const rtps::GuidPrefix& prefix,
                                                      const std::string& topic = "Topic",
                                                      const std::string& type = "Type",
                                                      rtps::EntityId id = writer_id) {
  rtps::SubscriptionBuiltinTopicData p;
  p.participant_guid = {prefix, rtps::entity_ids::participant};
  p.endpoint_guid = {prefix, id};
  p.topic_name = topic;
  p.type_name = type;
  p.reliability.kind = rtps::ReliabilityKind::Reliable;
  return p;
}

// SEDP sends heartbeats only once its history holds something: one local subscription.
inline void give_sedp_a_subscription(RuntimeState& state) {
  const auto reader = rtps::make_entity_id(0, 0, 1, rtps::EntityKind::UserReaderWithKey);
  static_cast<void>(
      (*state.participant.sedp.lock())
          ->announce_subscription(publication(state.participant.prefix, "Topic", "Type", reader))
          .value());
}

// "spdp", "wlp" or "sedp" by the builtin writer or reader named in the datagram.
inline std::string sender_of(const std::vector<std::byte>& bytes) {
  auto parsed = rtps::decode_bytes<rtps::ParsedDatagram>(SharedBytes::copy_of(bytes), true);
  if (!parsed) return "undecodable";
  for (const auto& submessage : parsed->submessages) {
    std::string kind;
    std::visit(
        [&](const auto& s) {
          if constexpr (requires { s.writer_id; }) {
            const auto key = s.writer_id.entity_key;
            if (s.writer_id == rtps::entity_ids::spdp_writer) kind = "spdp";
            if (s.writer_id == rtps::entity_ids::participant_message_writer) kind = "wlp";
            if (key[0] == 0 && key[1] == 0 && (key[2] == 3 || key[2] == 4)) kind = "sedp";
          }
        },
        submessage);
    if (!kind.empty()) return kind;
  }
  return "other";
}

using rtps::testing::datagram_from;
using rtps::testing::framed;
using rtps::testing::info_source;

// A DATA of `writer_id` whose little-endian CDR payload is the 4-byte sequence number.
inline std::vector<std::byte> data(rtps::SequenceNumber sn, rtps::EntityId reader = {}) {
  const auto n = static_cast<std::uint32_t>(sn);
  std::vector<std::byte> payload{std::byte{0}, std::byte{1}, std::byte{0}, std::byte{0}};
  for (int i = 0; i < 4; ++i)
    payload.push_back(static_cast<std::byte>(n >> (8 * i)));
  return rtps::testing::data_submessage(writer_id, std::move(payload), reader, sn);
}

inline std::vector<std::byte> heartbeat(rtps::SequenceNumber first, rtps::SequenceNumber last,
                                        std::uint32_t count) {
  return framed(rtps::submessage_id::heartbeat,
                rtps::HeartbeatSubmessage{
                    .writer_id = writer_id, .first_sn = first, .last_sn = last, .count = count});
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
  std::shared_ptr<RuntimeState> state_ = make_state(other_, start_, 0, {.sink = sink_}, user_);

  void know_participant(const rtps::GuidPrefix& prefix, const rtps::Locator& user = remote_user) {
    deliver(*state_, spdp_announcement(participant_data(prefix, user)));
  }
  // Announces a remote publication as its participant's SEDP announcer would, numbering each
  // participant's DATA from 1. The peer is one of this system's, whose own parameters count.
  void announce(const rtps::SubscriptionBuiltinTopicData& publication) {
    const auto& prefix = publication.endpoint_guid.prefix;
    deliver(*state_,
            datagram_from(prefix,
                          {rtps::testing::data_submessage(
                              rtps::entity_ids::sedp_publications_writer,
                              rtps::encode_bytes(publication, true).value(),
                              rtps::entity_ids::sedp_publications_reader, ++sedp_sn_[prefix])},
                          rtps::nimbrel_vendor_id),
            Elapsed{});
  }
  // The participant is heard, then its writer 00 00 0b 02 of `topic`.
  void know_writer(const rtps::GuidPrefix& prefix, const std::string& topic = "Topic") {
    know_participant(prefix);
    announce(publication(prefix, topic));
  }

  RegisteredUserReader reader(const std::string& topic = "Topic") {
    return register_user_reader(state_->participant, state_->readers,
                                {.topic_name = topic, .type_name = "Type"})
        .value();
  }
  UserReaderSlot& slot(const rtps::EntityId& id) {
    slots_.push_back(state_->readers.slots.find(id));
    // Single-threaded tests: nothing else locks the slot while the test looks at it.
    return **slots_.back()->lock();
  }

  void receive(const SharedBytes& datagram, Elapsed now = {}) { deliver(*state_, datagram, now); }

  // The sequence numbers carried by the queued data samples, in queue order.
  static std::vector<std::uint32_t> taken(SampleReceiver& samples) {
    std::vector<std::uint32_t> out;
    while (auto item = samples.try_receive()) {
      const auto* sample = std::get_if<UserSample>(&*item);
      if (sample == nullptr || !sample->is_data()) continue;
      const auto payload = sample->body();
      std::uint32_t sn = 0;
      for (std::size_t i = 0; i < 4 && i < payload.size(); ++i)
        sn |= std::to_integer<std::uint32_t>(payload.data()[i]) << (8 * i);
      out.push_back(sn);
    }
    return out;
  }

 private:
  std::map<rtps::GuidPrefix, rtps::SequenceNumber> sedp_sn_;
  std::vector<SharedReaderSlot> slots_;
};

}  // namespace nimbrel::dcps::testing
