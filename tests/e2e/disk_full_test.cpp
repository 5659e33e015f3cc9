// The real nimbrel-recorder-bridge records a `ddsperf pub` stream onto a small tmpfs, mounted in a
// private mount namespace of this test process, until the disk is full; then space comes back.
// Every sample that reached the recorder must be in the file or counted as dropped, the errors
// must be reported in a bounded number of lines, and the run must end with status 1.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "e2e/bridge_recording.hpp"
#include "recorder/reader.hpp"

namespace nimbrel::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t sample_size = 100;
constexpr std::size_t frame_size = 22 + sample_size;
// Room for the header and a few hundred frames: full within a second of a 1000 Hz stream.
constexpr std::uint64_t room = 32 * 1024;

std::uint64_t count_matches(const std::string& text, const std::regex& pattern,
                            std::uint64_t* sum_of_first_group = nullptr) {
  std::uint64_t n = 0;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern);
       it != std::sregex_iterator(); ++it) {
    ++n;
    if (sum_of_first_group != nullptr) *sum_of_first_group += std::stoull((*it)[1].str());
  }
  return n;
}

class DiskFullTest : public RecorderBridgeDdsperfTest {
 protected:
  // The mounts stay in this process's own namespace; the test binary runs single-threaded here,
  // as unsharing the mount namespace requires.
  static void SetUpTestSuite() {
    namespace_ok_ = ::unshare(CLONE_NEWNS) == 0 &&
                    ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  }

  void SetUp() override {
    ASSERT_TRUE(namespace_ok_) << "no private mount namespace: run inside scripts/netns-run";
    RecorderBridgeDdsperfTest::SetUp();
    ASSERT_EQ(::mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=256k"), 0) << std::strerror(errno);
    mounted_ = true;
  }
  void TearDown() override {
    RecorderBridgeDdsperfTest::TearDown();
    bridge_.reset();
    if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
    std::error_code ignored;
    std::filesystem::remove(dir_, ignored);  // the mount point itself
  }

  // Takes all free space but `room`.
  void fill() const {
    struct statvfs fs {};
    ASSERT_EQ(::statvfs(dir_.c_str(), &fs), 0);
    std::uint64_t left = std::uint64_t{fs.f_bavail} * fs.f_frsize - room;
    const int fd = ::open(filler().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    const std::vector<char> zeros(64 * 1024, 0);
    while (left > 0) {
      const auto n = ::write(fd, zeros.data(), std::min<std::uint64_t>(left, zeros.size()));
      ASSERT_GT(n, 0) << std::strerror(errno);
      left -= static_cast<std::uint64_t>(n);
    }
    ::close(fd);
  }

  std::filesystem::path filler() const { return dir_ / "filler"; }

  static inline bool namespace_ok_ = false;
  bool mounted_ = false;
};

TEST_F(DiskFullTest, LostSamplesAreCountedReportedInFewLinesAndFailTheRun) {
  fill();
  start_running_publishers(1, "1000Hz", std::to_string(sample_size));
  start_bridge();
  const std::string full = "session error: writer: io: No space left on device";
  ASSERT_TRUE(bridge_->wait_for_output(full + "\n", generous));
  // A count line comes only after a second of failures.
  ASSERT_TRUE(bridge_->wait_for_output(full + " (repeated ", generous));
  std::filesystem::remove(filler());
  ASSERT_TRUE(bridge_->wait_for_output("session gap: ", generous));
  // Half a second of the stream after the recovery.
  const auto resumed = std::filesystem::file_size(file());
  const auto deadline = std::chrono::steady_clock::now() + generous;
  while (std::filesystem::file_size(file()) < resumed + 500 * frame_size &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(20ms);
  bridge_->signal(SIGINT);
  EXPECT_EQ(bridge_->wait_exit(generous), std::optional<int>(1));

  const std::string out = bridge_->output();
  std::smatch done;
  ASSERT_TRUE(std::regex_search(
      out, done,
      std::regex(
          R"(recorder-bridge done: samples=([0-9]+) dropped=([0-9]+) bytes=([0-9]+) elapsed=([0-9]+)\.[0-9]s\n$)")))
      << out;
  const std::uint64_t recorded = std::stoull(done[1].str());
  const std::uint64_t dropped = std::stoull(done[2].str());
  const std::uint64_t elapsed_s = std::stoull(done[4].str());

  // What the file holds: a clean end, the recorded count, and one hole in the publisher's
  // numbers as wide as the dropped count.
  auto opened = recorder::RecordingFile::open(file().string());
  ASSERT_TRUE(opened) << recorder::to_string(opened.error());
  const auto& recording = opened->recording();
  EXPECT_EQ(recording.end.reason, recorder::DataEnd::Reason::Clean)
      << recorder::to_string(recording.end);
  EXPECT_EQ(recording.frames.size(), recorded);
  EXPECT_EQ(std::filesystem::file_size(file()), std::stoull(done[3].str()));
  std::vector<std::uint32_t> seqs;
  for (const auto& frame : recording.frames) {
    ASSERT_EQ(frame.payload.size(), sample_size);
    seqs.push_back(u32_at(frame.payload, 0));
  }
  ASSERT_GE(seqs.size(), 2u);
  std::uint64_t missing = 0;
  std::size_t holes = 0;
  for (std::size_t i = 1; i < seqs.size(); ++i) {
    ASSERT_GT(seqs[i], seqs[i - 1]) << "frame " << i;
    if (seqs[i] != seqs[i - 1] + 1) ++holes;
    missing += seqs[i] - seqs[i - 1] - 1;
  }
  EXPECT_EQ(holes, 1u);
  EXPECT_GT(dropped, 0u);
  EXPECT_EQ(dropped, missing);

  // Every lost sample is in the lines: the first one, the repeat counts, the gap.
  std::uint64_t repeats = 0;
  const auto error_lines =
      count_matches(out, std::regex("session error: [^\n]*\n")) -
      count_matches(out, std::regex(R"(session error: [^\n]* \(repeated ([0-9]+) times?\)\n)"),
                    &repeats);
  std::uint64_t gap_samples = 0;
  EXPECT_EQ(count_matches(out, std::regex(R"(session gap: ([0-9]+) samples lost between [^\n]*\n)"),
                          &gap_samples),
            1u);
  EXPECT_EQ(error_lines, 1u);
  EXPECT_EQ(1 + repeats, dropped);
  EXPECT_EQ(gap_samples, dropped);
  const auto lines = count_matches(out, std::regex("session [^\n]*\n"));
  // One count line per second of failures at most, beside the first line and the gap line.
  EXPECT_LE(lines, elapsed_s + 4);
  std::printf("recorded=%llu dropped=%llu (seq %u to %u) in %llu s; %llu session lines:\n%s",
              static_cast<unsigned long long>(recorded), static_cast<unsigned long long>(dropped),
              seqs.front(), seqs.back(), static_cast<unsigned long long>(elapsed_s),
              static_cast<unsigned long long>(lines), out.c_str());
}

}  // namespace
}  // namespace nimbrel::testing
