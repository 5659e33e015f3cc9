#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "tools/rec/rec_fixtures.hpp"

namespace nimbrel::rec::testing {
namespace {

using recorder::fixtures::example_header;

class VerifyTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::string path_ = dir_.file("in.nbrlrec");

  RecRun verify_bytes(std::span<const std::byte> bytes) {
    write_file(path_, bytes);
    return rec({"verify", path_});
  }
};

// Every prefix of a recording: a header prefix is a cut recording, a prefix that ends on a frame
// boundary is a clean shorter recording, and one inside a frame names that frame's start.
TEST_F(VerifyTest, EveryPrefixOfARecordingGetsTheRightAnswer) {
  write_recording(path_, example_header(),
                  {{0, 5, payload_of(3, 1)}, {1, 7, {}}, {0, 9, payload_of(5, 2)}});
  const Bytes whole = read_file(path_);
  const std::vector<std::size_t> boundaries{81, 81 + 25, 81 + 25 + 22, 81 + 25 + 22 + 27};
  ASSERT_EQ(whole.size(), boundaries.back());
  for (std::size_t n = 0; n <= whole.size(); ++n) {
    SCOPED_TRACE("cut at byte " + std::to_string(n));
    const RecRun run = verify_bytes(std::span(whole).first(n));
    const bool on_boundary = std::ranges::find(boundaries, n) != boundaries.end();
    if (n == 0 || on_boundary) {
      EXPECT_EQ(run.status, 0) << run.err;
      continue;
    }
    EXPECT_EQ(run.status, 1) << run.out;
    if (n < boundaries.front()) {
      // A cut inside the fixed part, a field, or a list that no longer fits.
      EXPECT_NE(run.err.find(" at byte "), std::string::npos) << run.err;
    } else {
      const auto frame_start = *std::ranges::prev(std::ranges::upper_bound(boundaries, n));
      EXPECT_NE(run.err.find("frame cut short at byte " + std::to_string(frame_start)),
                std::string::npos)
          << run.err;
    }
  }
}

// Whole frames that this system never writes are named: the file is not what it claims.
TEST_F(VerifyTest, FramesOfAnotherKindOrAWrappedTimeAreNotOk) {
  write_recording(path_, example_header(), {{0, 5, payload_of(3, 1)}, {1, 7, payload_of(2, 3)}});
  const Bytes whole = read_file(path_);
  Bytes kind = whole;
  kind[81 + 25 + 17] = std::byte{5};
  RecRun run = verify_bytes(kind);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, path_ + ": frame 2 at byte 106 has kind 5, not 0 (2 whole frames)\n");
  Bytes time = whole;
  std::fill_n(time.begin() + 81 + 1, 8, std::byte{0xFF});
  run = verify_bytes(time);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, path_ +
                         ": frame 1 at byte 81 has the time 2^64-1, before the recording's start "
                         "(2 whole frames)\n");
}

TEST_F(VerifyTest, DamageInsideTheDataIsNamedWithItsOffset) {
  write_recording(path_, example_header(), {{0, 5, payload_of(3, 1)}, {1, 7, payload_of(2, 3)}});
  Bytes bytes = read_file(path_);
  bytes[81 + 25] = std::byte{0x47};
  RecRun run = verify_bytes(bytes);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("bad frame tag 0x47 at byte 106 (after 1 whole frames)"),
            std::string::npos)
      << run.err;

  bytes[81 + 25] = std::byte{0x46};
  bytes[81 + 25 + 13] = std::byte{9};  // topic_idx
  run = verify_bytes(bytes);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("topic_idx 9 >= topic_count 2 at byte 106"), std::string::npos) << run.err;
}

TEST_F(VerifyTest, FilesThatAreNoRecordingAreStatusTwo) {
  const std::string text = "just some text that is long enough for a header";
  EXPECT_EQ(verify_bytes(std::as_bytes(std::span(text))).status, 2);
  EXPECT_EQ(verify_bytes(std::as_bytes(std::span(text)).first(3)).status, 2);
  write_recording(path_, example_header(), {});
  Bytes bytes = read_file(path_);
  bytes[4] = std::byte{2};  // format version
  EXPECT_EQ(verify_bytes(bytes).status, 2);
  EXPECT_EQ(rec({"verify", dir_.file("missing.nbrlrec")}).status, 2);
  EXPECT_EQ(rec({"verify", dir_.file("")}).status, 2);  // the folder itself
}

// Damage anywhere, including the header's counts and lengths: every command ends with a status
// and never reads or allocates past what the file holds (the sanitizer build checks the latter).
TEST_F(VerifyTest, EveryCommandSurvivesRandomDamage) {
  write_recording(path_, example_header(),
                  {{0, 5, payload_of(30, 1)}, {1, 7, {}}, {0, 9, payload_of(50, 2)}});
  const Bytes whole = read_file(path_);
  std::mt19937 random(7);
  for (int round = 0; round < 150; ++round) {
    Bytes bytes = whole;
    for (int flips = 1 + round % 3; flips > 0; --flips)
      bytes[random() % bytes.size()] = static_cast<std::byte>(random());
    bytes.resize(bytes.size() - random() % 8);
    write_file(path_, bytes);
    const std::string out = dir_.file("out");
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"info", path_, "--sequence"},
                                               {"dump", path_},
                                               {"export", path_, "--mcap", out},
                                               {"cut", path_, "--out", out, "--to", "8ns"},
                                               {"merge", path_, path_, "--out", out}}) {
      const int status = rec(args).status;
      ASSERT_TRUE(status >= 0 && status <= 2) << args[0] << " in round " << round;
    }
  }
}

}  // namespace
}  // namespace nimbrel::rec::testing
