// KeyedCounter for the Fast DDS peers of the end-to-end tests: key (u32) then sequence number
// (u32), CDR little-endian, registered from a plain TopicDataType (no IDL compiler needed).
#pragma once

#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/topic/TopicDataType.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>

#include "e2e/fastdds_publishing.hpp"

namespace nimbrel::testing {

using eprosima::fastdds::dds::TopicDataType;
using eprosima::fastrtps::rtps::InstanceHandle_t;
using eprosima::fastrtps::rtps::SerializedPayload_t;

struct KeyedCounter {
  std::uint32_t key = 0;
  std::uint32_t seq = 0;
};

inline std::uint32_t get_u32_le(const unsigned char* in) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i)
    v |= std::uint32_t{in[i]} << (8 * i);
  return v;
}

class KeyedCounterType : public TopicDataType {
 public:
  KeyedCounterType() {
    setName("KeyedCounter");
    m_typeSize = 4 + 8;  // encapsulation, key, sequence number
    m_isGetKeyDefined = true;
  }
  bool serialize(void* data, SerializedPayload_t* payload) override {
    const auto* sample = static_cast<KeyedCounter*>(data);
    const unsigned char encapsulation[4] = {0x00, 0x01, 0x00, 0x00};  // CDR_LE
    std::memcpy(payload->data, encapsulation, 4);
    put_u32_le(payload->data + 4, sample->key);
    put_u32_le(payload->data + 8, sample->seq);
    payload->length = 12;
    payload->encapsulation = CDR_LE;
    return true;
  }
  // Little-endian CDR only: what the peers and the replay send.
  bool deserialize(SerializedPayload_t* payload, void* data) override {
    if (payload->length < 12 || payload->data[1] != 0x01) return false;
    auto* sample = static_cast<KeyedCounter*>(data);
    sample->key = get_u32_le(payload->data + 4);
    sample->seq = get_u32_le(payload->data + 8);
    return true;
  }
  std::function<uint32_t()> getSerializedSizeProvider(void*) override {
    return [] { return std::uint32_t{12}; };
  }
  void* createData() override { return new KeyedCounter(); }
  void deleteData(void* data) override { delete static_cast<KeyedCounter*>(data); }
  // A key of at most 16 bytes is its own hash: the big-endian key, zero-padded.
  bool getKey(void* data, InstanceHandle_t* handle, bool) override {
    const auto key = static_cast<KeyedCounter*>(data)->key;
    std::memset(handle->value, 0, 16);
    for (int i = 0; i < 4; ++i)
      handle->value[i] = static_cast<unsigned char>(key >> (8 * (3 - i)));
    return true;
  }
};

// Reliable, volatile, keep-all: what the peers of the tests ask for on either side.
template <typename Qos>
Qos reliable_keep_all(Qos qos) {
  using namespace eprosima::fastdds::dds;
  qos.reliability().kind = RELIABLE_RELIABILITY_QOS;
  qos.durability().kind = VOLATILE_DURABILITY_QOS;
  qos.history().kind = KEEP_ALL_HISTORY_QOS;
  return qos;
}

// A peer's command line (COUNT [SECONDS], default 60) and its participant with the KeyedCounter
// topic in domain 0; nothing after a usage error or a failed creation.
struct KeyedCounterPeer {
  std::uint32_t count = 0;
  std::chrono::steady_clock::time_point deadline{};
  eprosima::fastdds::dds::DomainParticipant* participant = nullptr;
  eprosima::fastdds::dds::Topic* topic = nullptr;
};

inline std::optional<KeyedCounterPeer> start_keyed_counter_peer(int argc, char** argv,
                                                                const char* name) {
  using namespace eprosima::fastdds::dds;
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s COUNT [SECONDS]\n", name);
    return std::nullopt;
  }
  KeyedCounterPeer peer;
  peer.count = static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10));
  const long seconds = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 60;
  peer.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  peer.participant =
      DomainParticipantFactory::get_instance()->create_participant(0, PARTICIPANT_QOS_DEFAULT);
  if (peer.participant == nullptr) return std::nullopt;
  TypeSupport type(new KeyedCounterType());
  type.register_type(peer.participant);
  peer.topic = peer.participant->create_topic("KeyedCounter", "KeyedCounter", TOPIC_QOS_DEFAULT);
  if (peer.topic == nullptr) return std::nullopt;
  return peer;
}

}  // namespace nimbrel::testing
