// A small keyed publisher on Fast DDS (Debian's libfastrtps-dev), a peer for the end-to-end tests:
// fastdds_keyed_publisher COUNT [SECONDS]. Once a reader has matched, it writes COUNT samples of
// KeyedCounter on the topic of that name, reliably, over ten instances: key (u32) then sequence
// number (u32, from 1), CDR little-endian. It waits for the acknowledgements, prints
// "published COUNT" and exits; without a match within SECONDS (default 60) it exits with 1.
#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/topic/TopicDataType.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

using namespace eprosima::fastdds::dds;
using eprosima::fastrtps::rtps::InstanceHandle_t;
using eprosima::fastrtps::rtps::SerializedPayload_t;

struct KeyedCounter {
  std::uint32_t key = 0;
  std::uint32_t seq = 0;
};

void put_u32_le(unsigned char* out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    out[i] = static_cast<unsigned char>(v >> (8 * i));
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
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);

  auto* factory = DomainParticipantFactory::get_instance();
  DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT);
  if (participant == nullptr) return 1;
  TypeSupport type(new KeyedCounterType());
  type.register_type(participant);
  Topic* topic = participant->create_topic("KeyedCounter", "KeyedCounter", TOPIC_QOS_DEFAULT);
  Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT);
  DataWriterQos qos = DATAWRITER_QOS_DEFAULT;
  qos.reliability().kind = RELIABLE_RELIABILITY_QOS;
  qos.durability().kind = VOLATILE_DURABILITY_QOS;
  qos.history().kind = KEEP_ALL_HISTORY_QOS;
  DataWriter* writer = publisher->create_datawriter(topic, qos);
  if (writer == nullptr) return 1;

  int status = 1;
  PublicationMatchedStatus matched;
  while (std::chrono::steady_clock::now() < deadline) {
    writer->get_publication_matched_status(matched);
    if (matched.current_count > 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (matched.current_count > 0) {
    std::uint32_t written = 0;
    for (std::uint32_t seq = 1; seq <= count && std::chrono::steady_clock::now() < deadline;
         ++seq) {
      KeyedCounter sample{seq % 10, seq};
      if (writer->write(&sample)) ++written;
      if (seq % 100 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const bool acknowledged = writer->wait_for_acknowledgments(eprosima::fastrtps::Duration_t(
                                  10, 0)) == ReturnCode_t::RETCODE_OK;
    std::printf("published %u%s\n", written, acknowledged ? "" : " (not all acknowledged)");
    status = written == count && acknowledged ? 0 : 1;
  } else {
    std::printf("no reader matched\n");
  }
  std::fflush(stdout);
  participant->delete_contained_entities();
  factory->delete_participant(participant);
  return status;
}
