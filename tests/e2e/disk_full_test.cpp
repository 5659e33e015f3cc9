// The real nimbrel-recorder-bridge records a `ddsperf pub` stream onto a small tmpfs, mounted in a
// private mount namespace of this test process, until the disk is full; then space comes back.
// Every sample that reached the recorder must be in the file or counted as dropped, the errors
// reported in a bounded number of lines, and the run must end with status 1.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "e2e/bridge_recording.hpp"
#include "recorder/reader.hpp"

namespace nimbrel::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t sample_size = 100;

class DiskFullTest : public RecorderBridgeDdsperfTest {
 protected:
  // Unsharing the mount namespace needs a single-threaded process: before any test runs.
  static void SetUpTestSuite() {
    namespace_ok_ = ::unshare(CLONE_NEWNS) == 0 &&
                    ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  }
  void SetUp() override {
    ASSERT_TRUE(namespace_ok_) << "no private mount namespace: run inside scripts/netns-run";
    RecorderBridgeDdsperfTest::SetUp();
    ASSERT_EQ(::mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=256k"), 0);
    mounted_ = true;
  }
  void TearDown() override {
    RecorderBridgeDdsperfTest::TearDown();
    bridge_.reset();
    if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
    std::error_code ignored;
    std::filesystem::remove(dir_, ignored);
  }

  // Takes all free space but room for the header and a few hundred frames.
  void fill() const {
    struct statvfs fs {};
    ASSERT_EQ(::statvfs(dir_.c_str(), &fs), 0);
    const int fd = ::open(filler().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::posix_fallocate(fd, 0, static_cast<off_t>(fs.f_bavail * fs.f_frsize - 32768)), 0);
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
  ASSERT_TRUE(bridge_->wait_for_output(" (repeated ", generous));  // a second of failures
  std::filesystem::remove(filler());
  ASSERT_TRUE(bridge_->wait_for_output("session gap: ", generous));
  // Half a second of the stream after the recovery.
  const auto resumed = std::filesystem::file_size(file());
  const auto deadline = std::chrono::steady_clock::now() + generous;
  while (std::filesystem::file_size(file()) < resumed + 500 * (22 + sample_size) &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(20ms);
  bridge_->signal(SIGINT);
  EXPECT_EQ(bridge_->wait_exit(generous), std::optional<int>(1));

  const std::string out = bridge_->output();
  std::printf("%s", out.c_str());
  std::smatch done;
  ASSERT_TRUE(std::regex_search(
      out, done,
      std::regex(
          R"(recorder-bridge done: samples=([0-9]+) )"
          R"(dropped=([0-9]+) bytes=([0-9]+) elapsed=([0-9]+)\.[0-9]s\n)"
          R"(recorder-bridge lost: topic "DDSPerfRDataKS" writer [0-9a-f:]+ )"
          R"(received=([0-9]+) recorded=([0-9]+) lost=([0-9]+) \(write_failed=([0-9]+)\)\n$)")));
  const auto number = [&](std::size_t i) { return std::stoull(done[i].str()); };
  // The writer's own line says the same: every sample received is recorded or lost to the disk.
  EXPECT_EQ(number(6), number(1));
  EXPECT_EQ(number(7), number(2));
  EXPECT_EQ(number(8), number(2));
  EXPECT_EQ(number(5), number(1) + number(2));

  // The file ends cleanly, holds what the line says, and has one hole in the publisher's numbers,
  // as wide as the dropped count.
  auto opened = recorder::RecordingFile::open(file().string());
  ASSERT_TRUE(opened);
  const auto& recording = opened->recording();
  EXPECT_EQ(recording.end.reason, recorder::DataEnd::Reason::Clean);
  EXPECT_EQ(recording.frames.size(), number(1));
  EXPECT_EQ(std::filesystem::file_size(file()), number(3));
  std::uint64_t missing = 0;
  std::size_t holes = 0;
  for (std::size_t i = 1; i < recording.frames.size(); ++i) {
    ASSERT_EQ(recording.frames[i - 1].payload.size(), sample_size);
    ASSERT_EQ(recording.frames[i].payload.size(), sample_size);
    const auto before = u32_at(recording.frames[i - 1].payload, 0);
    const auto seq = u32_at(recording.frames[i].payload, 0);
    ASSERT_GT(seq, before) << "frame " << i;
    holes += seq != before + 1 ? 1 : 0;
    missing += seq - before - 1;
  }
  EXPECT_EQ(holes, 1u);
  EXPECT_EQ(number(2), missing);

  // Every lost sample is in the lines: the first, the repeat counts, the one gap.
  std::uint64_t firsts = 0, repeats = 0, gaps = 0, gap_samples = 0, session_lines = 0;
  const std::regex repeated(R"(session error: .* \(repeated ([0-9]+) times?\))");
  const std::regex gap(R"(session gap: ([0-9]+) samples lost between [0-9.]+s and [0-9.]+s)");
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (line.starts_with("session ")) ++session_lines;
    if (std::regex_match(line, m, repeated)) {
      repeats += std::stoull(m[1].str());
    } else if (std::regex_match(line, m, gap)) {
      ++gaps;
      gap_samples += std::stoull(m[1].str());
    } else if (line == "session error: writer: io: No space left on device") {
      ++firsts;
    }
  }
  EXPECT_EQ(firsts, 1u);
  EXPECT_EQ(1 + repeats, number(2));
  EXPECT_EQ(gaps, 1u);
  EXPECT_EQ(gap_samples, number(2));
  // At most a count line per second of failures beside the first line, the last count and the gap.
  EXPECT_LE(session_lines, number(4) + 4);
}

}  // namespace
}  // namespace nimbrel::testing
