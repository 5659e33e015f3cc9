// A ReliableReader receives a writer whose proxy is best-effort as DDS best-effort readers do:
// each sample on arrival, never an older one after a newer, no repair asked for, nothing answered.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "rtps/reader_test_util.hpp"
#include "rtps/reliable_reader.hpp"

namespace nimbrel::rtps {
namespace {

using namespace nimbrel::rtps::testing;
using Sns = std::vector<SequenceNumber>;

class BestEffortWriter : public ::testing::Test {
 protected:
  BestEffortWriter() {
    WriterProxy proxy = proxy_of('A');
    proxy.reliable = false;
    reader.emplace(ReliableReaderConfig{.writer_proxies = {proxy}, .reader_guid = local_reader});
  }
  Sns data(SequenceNumber sn) {
    return numbers(reader->handle_data(participant('A'), data_msg(sn)));
  }
  Sns frag(SequenceNumber sn, FragmentNumber first, std::uint16_t count) {
    return numbers(reader->handle_data_frag(participant('A'), frag_msg(sn, first, count, 100, 250),
                                            Elapsed{}));
  }
  bool silent() {
    const auto out = reader->tick_outbound(Elapsed{});
    return out && out->empty();
  }

  std::optional<ReliableReader> reader;
};

TEST_F(BestEffortWriter, DeliversOnArrivalAndNeverGoesBack) {
  EXPECT_EQ(data(2), Sns{2});
  EXPECT_EQ(data(5), Sns{5});  // 3 and 4 are lost, not waited for
  EXPECT_EQ(data(4), Sns{});   // older than what was delivered
  EXPECT_EQ(data(5), Sns{});
  EXPECT_EQ(data(6), Sns{6});
  EXPECT_TRUE(
      reader->handle_heartbeat(participant('A'), heartbeat_msg(1, 9), Elapsed{}).samples.empty());
  EXPECT_TRUE(silent());
}

// A sample whose fragments stop arriving is given up once a newer one starts.
TEST_F(BestEffortWriter, AbandonsAnIncompleteSampleForANewerOne) {
  EXPECT_EQ(frag(3, 1, 1), Sns{});
  EXPECT_TRUE(silent());  // no NACK_FRAG
  EXPECT_EQ(frag(4, 1, 2), Sns{});
  EXPECT_EQ(frag(3, 2, 2), Sns{});
  EXPECT_EQ(frag(4, 3, 1), Sns{4});
  EXPECT_TRUE(silent());
}

}  // namespace
}  // namespace nimbrel::rtps
