// A small keyed publisher on Fast DDS (Debian's libfastrtps-dev), a peer for the end-to-end tests:
// fastdds_keyed_publisher COUNT [SECONDS]. Once a reader has matched, it writes COUNT samples of
// KeyedCounter on the topic of that name, reliably, over ten instances: key (u32) then sequence
// number (u32, from 1), CDR little-endian. It waits for the acknowledgements, prints
// "published COUNT" and exits; without a match within SECONDS (default 60) it exits with 1.
#include <fastdds/dds/topic/TopicDataType.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "e2e/fastdds_publishing.hpp"

namespace {

using namespace eprosima::fastdds::dds;
using eprosima::fastrtps::rtps::InstanceHandle_t;
using eprosima::fastrtps::rtps::SerializedPayload_t;
using nimbrel::testing::put_u32_le;

struct KeyedCounter {
  std::uint32_t key = 0;
  std::uint32_t seq = 0;
};

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
  bool deserialize(SerializedPayload_t*, void*) override { return false; }
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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: fastdds_keyed_publisher COUNT [SECONDS]\n");
    return 2;
  }
  const std::uint32_t count = static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10));
  const long seconds = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 60;

  DataWriterQos qos = DATAWRITER_QOS_DEFAULT;
  qos.reliability().kind = RELIABLE_RELIABILITY_QOS;
  qos.durability().kind = VOLATILE_DURABILITY_QOS;
  qos.history().kind = KEEP_ALL_HISTORY_QOS;
  return nimbrel::testing::publish_once_matched(
      new KeyedCounterType(), "KeyedCounter", qos, count, std::chrono::seconds(seconds),
      [](DataWriter& writer, std::uint32_t seq) {
        KeyedCounter sample{seq % 10, seq};
        const bool written = writer.write(&sample);
        if (seq % 100 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return written;
      });
}
