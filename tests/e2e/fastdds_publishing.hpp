// What the small Fast DDS publishers of the end-to-end tests share: join domain 0, create one
// writer, wait for a reader to match, write COUNT samples (then, optionally, other changes), wait
// for their acknowledgements, print "published COUNT" and give the exit status (0 only when all
// was written and acknowledged).
#pragma once

#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/topic/TopicDataType.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>

namespace nimbrel::testing {

inline void put_u32_le(unsigned char* out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    out[i] = static_cast<unsigned char>(v >> (8 * i));
}

// `write(writer, seq)` writes sample `seq` (from 1) and paces the stream; true when written.
// `finish(writer)` sends what follows the samples (lifecycle changes, say); true when sent.
template <typename Write, typename Finish>
int publish_once_matched(eprosima::fastdds::dds::TopicDataType* type_data,
                         const std::string& topic_name,
                         const eprosima::fastdds::dds::DataWriterQos& qos, std::uint32_t count,
                         std::chrono::seconds wait, Write write, Finish finish) {
  using namespace eprosima::fastdds::dds;
  const auto deadline = std::chrono::steady_clock::now() + wait;
  auto* factory = DomainParticipantFactory::get_instance();
  DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT);
  if (participant == nullptr) return 1;
  TypeSupport type(type_data);
  type.register_type(participant);
  Topic* topic = participant->create_topic(topic_name, type.get_type_name(), TOPIC_QOS_DEFAULT);
  Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT);
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
      if (write(*writer, seq)) ++written;
    }
    const bool finished = finish(*writer);
    const bool acknowledged = writer->wait_for_acknowledgments(eprosima::fastrtps::Duration_t(
                                  30, 0)) == ReturnCode_t::RETCODE_OK;
    std::printf("published %u%s\n", written, acknowledged ? "" : " (not all acknowledged)");
    status = written == count && finished && acknowledged ? 0 : 1;
  } else {
    std::printf("no reader matched\n");
  }
  std::fflush(stdout);
  participant->delete_contained_entities();
  factory->delete_participant(participant);
  return status;
}

template <typename Write>
int publish_once_matched(eprosima::fastdds::dds::TopicDataType* type_data,
                         const std::string& topic_name,
                         const eprosima::fastdds::dds::DataWriterQos& qos, std::uint32_t count,
                         std::chrono::seconds wait, Write write) {
  return publish_once_matched(type_data, topic_name, qos, count, wait, write,
                              [](eprosima::fastdds::dds::DataWriter&) { return true; });
}

}  // namespace nimbrel::testing
