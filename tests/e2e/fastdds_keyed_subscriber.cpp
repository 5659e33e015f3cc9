// A small keyed subscriber on Fast DDS, a peer for the replay's end-to-end test:
// fastdds_keyed_subscriber COUNT [SECONDS]. A reliable keep-all reader of KeyedCounter takes
// samples until COUNT have arrived. Fast DDS hands them out instance by instance, so each key k
// (of ten) must show its own run k, k + 10, ... (key 0: 10, 20, ...) in order. It prints "received
// COUNT in order" and exits with 0, or says what went wrong and exits with 1 (also when SECONDS,
// default 60, pass first).
#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "e2e/fastdds_keyed_counter.hpp"

namespace {

using namespace eprosima::fastdds::dds;
using nimbrel::testing::KeyedCounter;

}  // namespace

int main(int argc, char** argv) {
  const auto peer =
      nimbrel::testing::start_keyed_counter_peer(argc, argv, "fastdds_keyed_subscriber");
  if (!peer) return 2;
  const auto [count, deadline, participant, topic] = *peer;
  Subscriber* subscriber = participant->create_subscriber(SUBSCRIBER_QOS_DEFAULT);
  const DataReaderQos qos = nimbrel::testing::reliable_keep_all(DATAREADER_QOS_DEFAULT);
  DataReader* reader = subscriber->create_datareader(topic, qos);
  if (reader == nullptr) return 1;
  std::printf("reader ready\n");
  std::fflush(stdout);

  std::uint32_t received = 0;
  bool in_order = true;
  std::uint32_t next[10];
  for (std::uint32_t key = 0; key < 10; ++key)
    next[key] = key == 0 ? 10 : key;
  KeyedCounter sample;
  SampleInfo info;
  while (received < count && in_order && std::chrono::steady_clock::now() < deadline) {
    if (reader->take_next_sample(&sample, &info) != ReturnCode_t::RETCODE_OK) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    if (!info.valid_data) continue;
    if (sample.key >= 10 || sample.seq != next[sample.key]) {
      std::printf("sample %u has key %u and sequence number %u\n", received + 1, sample.key,
                  sample.seq);
      in_order = false;
    } else {
      next[sample.key] += 10;
    }
    ++received;
  }
  const bool done = received == count && in_order;
  if (done) std::printf("received %u in order\n", received);
  if (!done && in_order) std::printf("received only %u of %u\n", received, count);
  std::fflush(stdout);
  participant->delete_contained_entities();
  DomainParticipantFactory::get_instance()->delete_participant(participant);
  return done ? 0 : 1;
}
