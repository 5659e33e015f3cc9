// Helpers for the runtime's receive and tick paths without sockets: a transport that records what
// is sent, a runtime state built around it, remote participants and a classifier that tells which
// builtin endpoint a sent datagram comes from.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dcps/runtime_state.hpp"
#include "discovery/spdp.hpp"
#include "rtps/datagram.hpp"
#include "rtps/subscription_data.hpp"
#include "transport/transport.hpp"

namespace nimbrel::dcps::testing {

inline constexpr rtps::GuidPrefix own_prefix{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
inline constexpr rtps::GuidPrefix remote_prefix{7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7};
inline const rtps::Locator remote_metatraffic = rtps::Locator::udp_v4({127, 0, 0, 9}, 41000);

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
  transport::TransportResult<transport::ReceivedDatagram> recv() const override {
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

inline std::shared_ptr<RuntimeState> make_state(std::shared_ptr<RecordingTransport> tx,
                                                MonoInstant start, std::uint32_t domain_id = 0,
                                                RuntimeConfig config = {}) {
  const discovery::LocalParticipant local{
      .prefix = own_prefix,
      .domain_id = domain_id,
      .metatraffic_unicast = rtps::Locator::udp_v4({127, 0, 0, 1}, 40000),
      .default_unicast = rtps::Locator::udp_v4({127, 0, 0, 1}, 40001),
  };
  RuntimeSockets sockets{tx, tx, tx, tx};
  return std::make_shared<RuntimeState>(domain_id, own_prefix, std::move(config),
                                        std::move(sockets),
                                        discovery::local_participant_data(local), start);
}

// A participant running all SEDP endpoints, reached at `remote_metatraffic`.
inline rtps::ParticipantBuiltinTopicData remote_participant_data() {
  const discovery::LocalParticipant remote{
      .prefix = remote_prefix,
      .metatraffic_unicast = remote_metatraffic,
      .default_unicast = rtps::Locator::udp_v4({127, 0, 0, 9}, 41001),
  };
  return discovery::local_participant_data(remote);
}

// SEDP sends heartbeats only once its history holds something: one local subscription.
inline void give_sedp_a_subscription(RuntimeState& state) {
  rtps::SubscriptionBuiltinTopicData subscription;
  subscription.participant_guid = {state.prefix, rtps::entity_ids::participant};
  subscription.endpoint_guid = {state.prefix,
                                rtps::make_entity_id(0, 0, 1, rtps::EntityKind::UserReaderWithKey)};
  subscription.topic_name = "Topic";
  subscription.type_name = "Type";
  auto sedp = state.sedp.lock();
  static_cast<void>((*sedp)->announce_subscription(subscription).value());
}

inline SharedBytes spdp_announcement(const rtps::ParticipantBuiltinTopicData& data) {
  discovery::SpdpBeacon beacon{.data = data};
  return SharedBytes::adopt(beacon.serialize().value());
}

// "spdp", "wlp" or "sedp" by the builtin writer or reader named in the datagram.
inline std::string sender_of(const std::vector<std::byte>& bytes) {
  auto parsed = rtps::decode_datagram(SharedBytes::copy_of(bytes));
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

}  // namespace nimbrel::dcps::testing
