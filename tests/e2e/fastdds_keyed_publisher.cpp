// A small keyed publisher on Fast DDS (Debian's libfastrtps-dev), a peer for the end-to-end tests:
// fastdds_keyed_publisher COUNT [SECONDS]. Once a reader has matched, it writes COUNT samples of
// KeyedCounter on the topic of that name, reliably, over ten instances: key (u32) then sequence
// number (u32, from 1), CDR little-endian. It waits for the acknowledgements, prints
// "published COUNT" and exits; without a match within SECONDS (default 60) it exits with 1.
#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "e2e/fastdds_keyed_counter.hpp"

namespace {

using namespace eprosima::fastdds::dds;
using nimbrel::testing::KeyedCounter;

}  // namespace

int main(int argc, char** argv) {
  const auto peer =
      nimbrel::testing::start_keyed_counter_peer(argc, argv, "fastdds_keyed_publisher");
  if (!peer) return 2;
  const auto [count, deadline, participant, topic] = *peer;
  Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT);
  const DataWriterQos qos = nimbrel::testing::reliable_keep_all(DATAWRITER_QOS_DEFAULT);
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
  DomainParticipantFactory::get_instance()->delete_participant(participant);
  return status;
}
