// A test fixture that runs the real nimbrel-recorder-bridge next to Eclipse Cyclone DDS `ddsperf
// pub` processes publishing DDSPerfRDataKS, and reads the recording back. Each KeyedSeq sample
// starts with its sequence number (u32 little-endian), so the recording itself shows whether
// every sample arrived once and in order.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <span>
#include <string>
#include <vector>

#include "e2e/peer_process.hpp"
#include "e2e/spdp_watch.hpp"
#include "recorder/reader.hpp"

namespace nimbrel::testing {

inline constexpr auto generous = std::chrono::seconds(60);
inline const std::string recording_line = "recording... (Ctrl-C zum stoppen)\n";

inline std::uint32_t u32_at(std::span<const std::byte> bytes, std::size_t offset) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i)
    value |= std::to_integer<std::uint32_t>(bytes[offset + i]) << (8 * i);
  return value;
}

// True when `seqs` is first, first + 1, ..., each once, in this order.
inline ::testing::AssertionResult consecutive(const std::vector<std::uint32_t>& seqs) {
  for (std::size_t i = 1; i < seqs.size(); ++i) {
    if (seqs[i] != seqs[i - 1] + 1) {
      return ::testing::AssertionFailure()
             << "sample " << i << " has sequence number " << seqs[i] << " after " << seqs[i - 1];
    }
  }
  return ::testing::AssertionSuccess();
}

class RecorderBridgeDdsperfTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "bridge-e2e-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    if (HasFailure()) {
      if (bridge_) std::printf("recorder output:\n%s\n", bridge_->output().c_str());
      for (const auto& peer : publishers_)
        std::printf("ddsperf output:\n%s\n", peer->output().c_str());
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // ddsperf's own time limit only ends a peer that a crashed test left behind. `options` go before
  // the mode (-T OU, -u); an empty size leaves the topic's own.
  void start_publishers(std::size_t count, const std::string& rate, const std::string& size,
                        const std::vector<std::string>& options = {}) {
    for (std::size_t i = 0; i < count; ++i) {
      std::vector<std::string> args{"ddsperf", "-D", "180"};
      args.insert(args.end(), options.begin(), options.end());
      args.push_back("pub");
      if (!rate.empty()) args.push_back(rate);
      if (!size.empty()) args.insert(args.end(), {"size", size});
      publishers_.push_back(PeerProcess::spawn(args));
      ASSERT_TRUE(publishers_.back()) << "cannot start ddsperf (Debian package cyclonedds-tools)";
    }
  }
  // Returns once each publisher has announced itself: they are up and writing.
  void start_running_publishers(std::size_t count, const std::string& rate, const std::string& size,
                                const std::vector<std::string>& options = {}) {
    SpdpWatch watch;
    start_publishers(count, rate, size, options);
    ASSERT_TRUE(watch.wait_for(count, generous)) << "ddsperf did not announce itself";
  }

  void start_bridge(std::vector<std::string> extra = {},
                    const std::string& topic = "DDSPerfRDataKS:KeyedSeq") {
    std::vector<std::string> args{NIMBREL_BRIDGE_BINARY, "--out", file().string(), "--topic",
                                  topic};
    args.insert(args.end(), extra.begin(), extra.end());
    bridge_ = PeerProcess::spawn(args);
    ASSERT_TRUE(bridge_);
  }

  // The sequence number of the last sample of `size` bytes the running recorder has written so
  // far; frames of another size are passed over.
  std::optional<std::uint32_t> last_recorded(std::size_t size) const {
    auto opened = recorder::RecordingFile::open(file().string());
    if (!opened) return std::nullopt;
    const auto& frames = opened->recording().frames;
    for (auto frame = frames.rbegin(); frame != frames.rend(); ++frame) {
      if (frame->payload.size() == size && size >= 4) return u32_at(frame->payload, 0);
    }
    return std::nullopt;
  }

  // The sequence numbers of the one stream of key value 0, in file order; see finished_streams.
  std::vector<std::uint32_t> finished_recording(std::size_t size) {
    auto streams = finished_streams(size);
    EXPECT_LE(streams.size(), 1u) << "samples of another key value";
    return streams[0];
  }

  // Waits for the recorder's exit, then checks its last line against the file: it parses to its
  // end, holds as many frames as the line says and as many bytes, and each payload is a KeyedSeq
  // sample of `size` bytes (or, for 4 bytes, a OneULong: the sequence number alone). Gives the
  // sequence numbers by key value, each in file order.
  std::map<std::uint32_t, std::vector<std::uint32_t>> finished_streams(std::size_t size) {
    const auto status = bridge_->wait_exit(generous);
    EXPECT_EQ(status, std::optional<int>(0));
    const std::string out = bridge_->output();
    static const std::regex done_line(
        R"(recorder-bridge done: samples=([0-9]+) dropped=0 bytes=([0-9]+) elapsed=[0-9]+\.[0-9]s\n$)");
    std::smatch done;
    EXPECT_TRUE(std::regex_search(out, done, done_line)) << out;
    EXPECT_EQ(out.find("error"), std::string::npos) << out;

    auto opened = recorder::RecordingFile::open(file().string());
    if (!opened) {
      ADD_FAILURE() << recorder::to_string(opened.error());
      return {{0, {}}};
    }
    const auto& recording = opened->recording();
    EXPECT_EQ(recording.end.reason, recorder::DataEnd::Reason::Clean)
        << recorder::to_string(recording.end);
    if (done.size() == 3) {
      EXPECT_EQ(std::stoull(done[1].str()), recording.frames.size());
      EXPECT_EQ(std::stoull(done[2].str()), std::filesystem::file_size(file()));
    }
    // A frame that is no such sample is left out, so the numbers around it still show what was
    // lost.
    std::map<std::uint32_t, std::vector<std::uint32_t>> seqs;
    std::size_t foreign = 0;
    std::string first_foreign;
    for (std::size_t i = 0; i < recording.frames.size(); ++i) {
      const auto payload = recording.frames[i].payload;
      // The key value, then the octet sequence that fills the sample.
      const bool keyed_seq = size >= 12;
      if (payload.size() != size || (keyed_seq && u32_at(payload, 8) != size - 12)) {
        if (foreign++ == 0) {
          first_foreign = "the first is frame " + std::to_string(i) + ", " +
                          std::to_string(payload.size()) + " bytes";
          if (payload.size() >= 4) first_foreign += ", seq " + std::to_string(u32_at(payload, 0));
        }
        continue;
      }
      seqs[keyed_seq ? u32_at(payload, 4) : 0].push_back(u32_at(payload, 0));
    }
    EXPECT_EQ(foreign, 0u) << "frames that are no KeyedSeq sample of " << size << " bytes; "
                           << first_foreign;
    return seqs;
  }

  std::filesystem::path file() const { return dir_ / file_name_; }

  std::filesystem::path dir_;
  std::string file_name_ = "ddsperf.nbrlrec";  // its extension chooses the recorder's format
  std::vector<std::unique_ptr<PeerProcess>> publishers_;
  std::unique_ptr<PeerProcess> bridge_;
};

}  // namespace nimbrel::testing
