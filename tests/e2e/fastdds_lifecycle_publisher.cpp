// A keyed Fast DDS publisher of KeyedCounter (see fastdds_keyed_counter.hpp) for the end-to-end
// tests of what a recording keeps of instances and of samples a writer gave up:
//   fastdds_lifecycle_publisher depth DEPTH COUNT [SECONDS]
//     a reliable KEEP_LAST DEPTH writer of one instance (key 1) writes COUNT samples (seq from 1)
//     as fast as it can, so that under datagram loss it drops samples before they are repaired;
//   fastdds_lifecycle_publisher lifecycle COUNT [SECONDS]
//     a reliable keep-all writer writes COUNT samples over keys 1..5 (key (seq - 1) % 5 + 1), then
//     disposes key 3, unregisters key 4, and disposes and unregisters key 5 in one change, printing
//     a line for each.
// Both wait for a reader to match (at most SECONDS, default 60) and for the acknowledgements (at
// most 30 s), print "published COUNT" and exit 0 only when all went out and was acknowledged.
#include <fastdds/dds/publisher/DataWriter.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "e2e/fastdds_keyed_counter.hpp"
#include "e2e/fastdds_publishing.hpp"

namespace {

using namespace eprosima::fastdds::dds;
using nimbrel::testing::KeyedCounter;
using nimbrel::testing::KeyedCounterType;

bool print_if(bool done, const char* what, std::uint32_t key) {
  if (done) std::printf("%s key %u\n", what, key);
  return done;
}

// Fast DDS turns an unregistration into "disposed and unregistered" (status info 0x3) while the
// writer's autodispose_unregistered_instances is on, into a plain one (0x2) while it is off: the
// writer starts with it off and switches it on for key 5.
bool change_lifecycles(DataWriter& writer) {
  KeyedCounter sample{3, 0};
  bool sent = print_if(writer.dispose(&sample, HANDLE_NIL) == ReturnCode_t::RETCODE_OK, "disposed",
                       sample.key);
  sample.key = 4;
  sent = print_if(writer.unregister_instance(&sample, HANDLE_NIL) == ReturnCode_t::RETCODE_OK,
                  "unregistered", sample.key) &&
         sent;
  DataWriterQos qos = writer.get_qos();
  qos.writer_data_lifecycle().autodispose_unregistered_instances = true;
  sample.key = 5;
  sent = print_if(writer.set_qos(qos) == ReturnCode_t::RETCODE_OK &&
                      writer.unregister_instance(&sample, HANDLE_NIL) == ReturnCode_t::RETCODE_OK,
                  "disposed and unregistered", sample.key) &&
         sent;
  return sent;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  const int first = mode == "depth" ? 3 : 2;  // index of COUNT
  if ((mode != "depth" && mode != "lifecycle") || argc <= first) {
    std::fprintf(stderr,
                 "usage: fastdds_lifecycle_publisher depth DEPTH COUNT [SECONDS]\n"
                 "       fastdds_lifecycle_publisher lifecycle COUNT [SECONDS]\n");
    return 2;
  }
  const auto count = static_cast<std::uint32_t>(std::strtoul(argv[first], nullptr, 10));
  const std::chrono::seconds wait(argc > first + 1 ? std::strtol(argv[first + 1], nullptr, 10)
                                                   : 60);
  DataWriterQos qos = nimbrel::testing::reliable_keep_all(DATAWRITER_QOS_DEFAULT);
  if (mode == "depth") {
    qos.history().kind = KEEP_LAST_HISTORY_QOS;
    qos.history().depth = std::atoi(argv[2]);
    return nimbrel::testing::publish_once_matched(new KeyedCounterType(), "KeyedCounter", qos,
                                                  count, wait,
                                                  [](DataWriter& writer, std::uint32_t seq) {
                                                    KeyedCounter sample{1, seq};
                                                    return writer.write(&sample);
                                                  });
  }
  qos.writer_data_lifecycle().autodispose_unregistered_instances = false;
  return nimbrel::testing::publish_once_matched(
      new KeyedCounterType(), "KeyedCounter", qos, count, wait,
      [](DataWriter& writer, std::uint32_t seq) {
        KeyedCounter sample{(seq - 1) % 5 + 1, seq};
        return writer.write(&sample);
      },
      change_lifecycles);
}
