// Shared by the recorder tests: byte builders for golden vectors, the two-topic example recording,
// an in-memory sink that can run out of room part-way through a write, and the frames of a
// recording as the project's reader reads them.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "foundation/bytes_test_util.hpp"
#include "recorder/format.hpp"
#include "recorder/reader.hpp"
#include "recorder/writer.hpp"

namespace nimbrel::recorder::fixtures {

using nimbrel::testing::bytes;
using nimbrel::testing::Bytes;
using nimbrel::testing::concat;
using nimbrel::testing::text;

inline Bytes zeros(std::size_t n) {
  return Bytes(n, std::byte{0});
}

inline constexpr std::uint64_t example_start_ns = 0x0102'0304'0506'0708;

// One participant "recorder-bridge" with a zero GUID, topics A:TA and B:TB.
inline Header example_header() {
  return Header{.participants = {{.name = "recorder-bridge", .guid = {}}},
                .topics = {{.name = "A", .type_name = "TA"}, {.name = "B", .type_name = "TB"}},
                .start_ns = example_start_ns};
}

// clang-format off
inline Bytes example_header_bytes() {
  return concat({
      text("NBRL"),                                    // magic
      bytes({0x01, 0x00, 0x00, 0x00}),                   // format version 1
      bytes({0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}),  // start_ns
      bytes({0x01, 0x00, 0x00, 0x00}),                   // participant count 1
      bytes({0x02, 0x00, 0x00, 0x00}),                   // topic count 2
      zeros(16),                                       // participant 0: GUID
      bytes({0x0F, 0x00, 0x00, 0x00}),                   //   name length 15
      text("recorder-bridge"),                         //   name
      bytes({0x02, 0x00, 0x00, 0x00}), text("TA"),       // topic 0: type name
      bytes({0x01, 0x00, 0x00, 0x00}), text("A"),        //   topic name
      bytes({0x02, 0x00, 0x00, 0x00}), text("TB"),       // topic 1: type name
      bytes({0x01, 0x00, 0x00, 0x00}), text("B"),        //   topic name
  });
}
// clang-format on

// Records writes in memory. With `room` set, behaves like a device that fills up: the write that
// crosses the limit stores what still fits and then fails with ENOSPC. With `write_error` set,
// every write fails with it and stores nothing.
struct SinkState {
  Bytes bytes;
  std::optional<std::size_t> room;
  std::optional<std::error_code> write_error;
  std::optional<std::error_code> truncate_error;
  bool throw_on_write = false;
};

class MemorySink final : public ByteSink {
 public:
  explicit MemorySink(std::shared_ptr<SinkState> state) : state_(std::move(state)) {}

  std::expected<void, std::error_code> write_all(std::span<const std::byte> bytes) override {
    if (state_->throw_on_write) throw std::runtime_error("sink blew up");
    if (state_->write_error) return std::unexpected(*state_->write_error);
    const std::size_t accepted = std::min(bytes.size(), state_->room.value_or(bytes.size()));
    state_->bytes.insert(state_->bytes.end(), bytes.begin(), bytes.begin() + accepted);
    if (state_->room) *state_->room -= accepted;
    if (accepted < bytes.size())
      return std::unexpected(std::error_code(ENOSPC, std::generic_category()));
    return {};
  }

  std::expected<void, std::error_code> truncate(std::uint64_t length) override {
    if (state_->truncate_error) return std::unexpected(*state_->truncate_error);
    if (length < state_->bytes.size()) state_->bytes.resize(static_cast<std::size_t>(length));
    return {};
  }

 private:
  std::shared_ptr<SinkState> state_;
};

inline std::unique_ptr<ByteSink> memory_sink(const std::shared_ptr<SinkState>& state) {
  return std::make_unique<MemorySink>(state);
}

struct ParsedFrame {
  std::uint64_t time = 0;
  std::uint32_t participant_idx = 0;
  std::uint32_t topic_idx = 0;
  std::uint8_t kind = 0;
  Bytes payload;
  friend bool operator==(const ParsedFrame&, const ParsedFrame&) = default;
};

inline std::vector<ParsedFrame> parsed(const std::vector<Frame>& frames) {
  std::vector<ParsedFrame> out;
  for (const Frame& f : frames)
    out.push_back(
        {f.time, f.participant_idx, f.topic_idx, f.kind, {f.payload.begin(), f.payload.end()}});
  return out;
}

// The frames read back; empty unless the data is one header followed by whole frames whose indices
// point into it.
inline std::optional<std::vector<ParsedFrame>> whole_frames(std::span<const std::byte> data) {
  const auto recording = read_recording(data);
  if (!recording || recording->end.reason != DataEnd::Reason::Clean) return std::nullopt;
  return parsed(recording->frames);
}

}  // namespace nimbrel::recorder::fixtures
