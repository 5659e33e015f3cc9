// A small keyed publisher on Fast DDS (Debian's libfastrtps-dev), a peer for the end-to-end tests:
// fastdds_keyed_publisher COUNT [SECONDS]. Once a reader has matched, it writes COUNT samples of
// KeyedCounter on the topic of that name, reliably, over ten instances: key (u32) then sequence
// number (u32, from 1), CDR little-endian. It waits for the acknowledgements, prints
// "published COUNT" and exits; without a match within SECONDS (default 60) it exits with 1.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "e2e/fastdds_keyed_counter.hpp"
#include "e2e/fastdds_publishing.hpp"

int main(int argc, char** argv) {
  using namespace eprosima::fastdds::dds;
  using nimbrel::testing::KeyedCounter;
  if (argc < 2) {
    std::fprintf(stderr, "usage: fastdds_keyed_publisher COUNT [SECONDS]\n");
    return 2;
  }
  const std::uint32_t count = static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10));
  const long seconds = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 60;
  return nimbrel::testing::publish_once_matched(
      new nimbrel::testing::KeyedCounterType(), "KeyedCounter",
      nimbrel::testing::reliable_keep_all(DATAWRITER_QOS_DEFAULT), count,
      std::chrono::seconds(seconds), [](DataWriter& writer, std::uint32_t seq) {
        KeyedCounter sample{seq % 10, seq};
        const bool written = writer.write(&sample);
        if (seq % 100 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return written;
      });
}
