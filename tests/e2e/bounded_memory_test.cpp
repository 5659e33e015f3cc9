// The recorder's memory stays bounded when its file cannot keep up: the recording goes through a
// pipe read at a few megabytes a second while `ddsperf pub` sends 16 KiB samples as fast as its
// reader acknowledges them. The reader acknowledges only what its queue can hold, so the reliable
// publisher is slowed instead of the recorder's memory growing, and nothing is lost.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <thread>

#include "e2e/bridge_recording.hpp"

namespace nimbrel::testing {
namespace {

using namespace std::chrono_literals;

// Resident and peak resident kibibytes of a running process; 0 once it is gone.
std::uint64_t status_kib(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stoull(line.substr(field.size() + 1));
  }
  return 0;
}

// Copies the pipe into `to`, at most `bytes_per_second` while `slow` holds, until the writer
// closes it.
void copy_pipe(const std::string& from, const std::string& to, const std::atomic<bool>& slow,
               std::size_t bytes_per_second) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(in, 0);
  std::ofstream out(to, std::ios::binary);
  std::vector<char> chunk(bytes_per_second / 100);
  for (;;) {
    const ssize_t n = ::read(in, chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.write(chunk.data(), n);
    if (slow.load()) std::this_thread::sleep_for(10ms);
  }
  ::close(in);
}

TEST_F(RecorderBridgeDdsperfTest, ASlowFileSlowsThePublisherInsteadOfGrowingMemory) {
  constexpr std::size_t size = 16384;
  const std::string pipe = (dir_ / "slow.pipe").string();
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  std::atomic<bool> slow{true};
  std::thread copier(copy_pipe, pipe, file().string(), std::cref(slow), 4'000'000);
  // A test that ends early still ends the copy: no recorder, and a writer that comes and goes.
  const std::function<void()> end_copy = [&] {
    if (!copier.joinable()) return;
    slow.store(false);
    if (bridge_) bridge_->signal(SIGKILL);
    const int writer = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (writer >= 0) ::close(writer);
    copier.join();
  };
  struct Guard {
    const std::function<void()>& end;
    ~Guard() { end(); }
  } guard{end_copy};

  start_running_publishers(1, "", std::to_string(size));
  bridge_ = PeerProcess::spawn(
      {NIMBREL_BRIDGE_BINARY, "--out", pipe, "--topic", "DDSPerfRDataKS:KeyedSeq"});
  ASSERT_TRUE(bridge_);
  ASSERT_TRUE(bridge_->wait_for_output(recording_line, generous));
  // Twelve seconds at a quarter of what the stream would bring: before the queue was bounded the
  // recorder grew by gigabytes here.
  std::uint64_t peak_kib = 0;
  for (int i = 0; i < 120; ++i) {
    std::this_thread::sleep_for(100ms);
    peak_kib = std::max(peak_kib, status_kib(bridge_->pid(), "VmHWM"));
  }
  slow.store(false);
  bridge_->signal(SIGINT);
  // The copy is whole once the recorder has closed the pipe.
  bridge_->wait_exit(generous);
  end_copy();
  const auto seqs = finished_recording(size);
  std::printf("recorded %zu samples of %zu bytes, %u to %u; peak RSS %.1f MiB\n", seqs.size(), size,
              seqs.empty() ? 0 : seqs.front(), seqs.empty() ? 0 : seqs.back(),
              static_cast<double>(peak_kib) / 1024);
  EXPECT_GE(seqs.size(), 1000u);
  EXPECT_TRUE(consecutive(seqs));
  // The queue's 16 MiB budget, the reader's own history and the process's usual 10 MiB.
  EXPECT_LT(peak_kib, 64u * 1024);
}

}  // namespace
}  // namespace nimbrel::testing
