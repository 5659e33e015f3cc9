// A small Fast DDS publisher (Debian's libfastrtps-dev) of KeyedSeq-shaped samples, a peer for the
// end-to-end tests: fastdds_seq_publisher TOPIC TYPE COUNT SIZE keyed|keyless reliable|best-effort
// KEYVAL [SECONDS]. Once a reader has matched, it writes COUNT samples of SIZE bytes (at least
// 12): sequence number (u32, from 1), KEYVAL (u32), then an octet sequence of 0xee filling the
// sample, CDR little-endian, as Cyclone's ddsperf does. It prints "published COUNT" and exits 0
// once a reliable writer's samples are all acknowledged; without a match within SECONDS (default
// 60) it exits with 1.
#include <fastdds/dds/topic/TopicDataType.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "e2e/fastdds_publishing.hpp"

namespace {

using namespace eprosima::fastdds::dds;
using eprosima::fastrtps::rtps::InstanceHandle_t;
using eprosima::fastrtps::rtps::SerializedPayload_t;
using nimbrel::testing::put_u32_le;

struct Seq {
  std::uint32_t seq = 0;
};

class SeqType : public TopicDataType {
 public:
  SeqType(const std::string& name, std::uint32_t size, bool keyed, std::uint32_t keyval)
      : size_(size), keyval_(keyval) {
    setName(name.c_str());
    m_typeSize = 4 + size;  // encapsulation, then the sample
    m_isGetKeyDefined = keyed;
  }
  bool serialize(void* data, SerializedPayload_t* payload) override {
    const unsigned char encapsulation[4] = {0x00, 0x01, 0x00, 0x00};  // CDR_LE
    std::memcpy(payload->data, encapsulation, 4);
    put_u32_le(payload->data + 4, static_cast<Seq*>(data)->seq);
    put_u32_le(payload->data + 8, keyval_);
    put_u32_le(payload->data + 12, size_ - 12);
    std::memset(payload->data + 16, 0xee, size_ - 12);
    payload->length = 4 + size_;
    payload->encapsulation = CDR_LE;
    return true;
  }
  bool deserialize(SerializedPayload_t*, void*) override { return false; }
  std::function<uint32_t()> getSerializedSizeProvider(void*) override {
    return [n = 4 + size_] { return n; };
  }
  void* createData() override { return new Seq(); }
  void deleteData(void* data) override { delete static_cast<Seq*>(data); }
  // The key value is the key: one instance.
  bool getKey(void*, InstanceHandle_t* handle, bool) override {
    std::memset(handle->value, 0, 16);
    for (int i = 0; i < 4; ++i)
      handle->value[i] = static_cast<unsigned char>(keyval_ >> (8 * (3 - i)));
    return true;
  }

 private:
  std::uint32_t size_;
  std::uint32_t keyval_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 8) {
    std::fprintf(stderr,
                 "usage: fastdds_seq_publisher TOPIC TYPE COUNT SIZE keyed|keyless "
                 "reliable|best-effort KEYVAL [SECONDS]\n");
    return 2;
  }
  const std::string topic_name = argv[1];
  const std::string type_name = argv[2];
  const auto count = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10));
  const auto size = static_cast<std::uint32_t>(std::strtoul(argv[4], nullptr, 10));
  const bool keyed = std::string(argv[5]) == "keyed";
  const bool reliable = std::string(argv[6]) == "reliable";
  const auto keyval = static_cast<std::uint32_t>(std::strtoul(argv[7], nullptr, 10));
  const long seconds = argc > 8 ? std::strtol(argv[8], nullptr, 10) : 60;
  if (size < 12) return 2;

  DataWriterQos qos = DATAWRITER_QOS_DEFAULT;
  qos.reliability().kind = reliable ? RELIABLE_RELIABILITY_QOS : BEST_EFFORT_RELIABILITY_QOS;
  qos.durability().kind = VOLATILE_DURABILITY_QOS;
  qos.history().kind = KEEP_ALL_HISTORY_QOS;
  // Samples beyond one datagram are fragmented by the asynchronous sender.
  qos.publish_mode().kind = ASYNCHRONOUS_PUBLISH_MODE;
  return nimbrel::testing::publish_once_matched(
      new SeqType(type_name, size, keyed, keyval), topic_name, qos, count,
      std::chrono::seconds(seconds), [](DataWriter& writer, std::uint32_t seq) {
        Seq sample{seq};
        const bool written = writer.write(&sample);
        // About 1,000 samples a second, so a best-effort stream is not lost to a full socket.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return written;
      });
}
