// Shared by the nimbrel-rec tests: a temporary folder, recordings written through the project's
// writer, and the command line run in-process.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "recorder/format.hpp"
#include "recorder/recording_fixtures.hpp"
#include "recorder/writer.hpp"
#include "tools/rec/cli.hpp"

namespace nimbrel::rec::testing {

using recorder::fixtures::Bytes;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "rec-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

struct Sample {
  std::uint32_t topic = 0;
  std::uint64_t time = 0;
  Bytes payload;
  std::uint32_t participant = 0;
};

inline Bytes payload_of(std::size_t size, std::uint8_t seed) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i)
    out[i] = static_cast<std::byte>((seed * 31 + i * 7) & 0xFF);
  return out;
}

inline void write_recording(const std::string& path, const recorder::Header& header,
                            const std::vector<Sample>& samples) {
  recorder::RecordingWriter writer(std::move(*recorder::FileSink::create(path)));
  (void)writer.write_header(header);
  for (const auto& s : samples) {
    (void)writer.write_frame({.payload = s.payload,
                              .time = s.time,
                              .participant_idx = s.participant,
                              .topic_idx = s.topic});
  }
}

// Bytes from hex digits; spaces are for reading only.
inline Bytes hex_bytes(std::string_view text) {
  Bytes out;
  std::string digits;
  for (const char c : text) {
    if (c == ' ') continue;
    digits.push_back(c);
    if (digits.size() == 2) {
      out.push_back(static_cast<std::byte>(std::stoi(digits, nullptr, 16)));
      digits.clear();
    }
  }
  return out;
}

inline Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const auto* begin = reinterpret_cast<const std::byte*>(text.data());
  return Bytes(begin, begin + text.size());
}

inline void write_file(const std::string& path, std::span<const std::byte> bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

struct RecRun {
  int status = 0;
  std::string out;
  std::string err;
};

inline RecRun rec(const std::vector<std::string>& args) {
  std::ostringstream out;
  std::ostringstream err;
  const int status = run_cli(args, out, err);
  return {status, out.str(), err.str()};
}

}  // namespace nimbrel::rec::testing
