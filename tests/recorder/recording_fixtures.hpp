// Shared by the recorder tests: byte builders for golden vectors, the two-topic example recording,
// an in-memory sink that can run out of room part-way through a write, and a strict reader of the
// file format that refuses anything but a header followed by whole frames.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "recorder/format.hpp"
#include "recorder/writer.hpp"

namespace nimbrel::recorder::fixtures {

using Bytes = std::vector<std::byte>;

inline Bytes raw(std::initializer_list<unsigned> values) {
  Bytes out;
  for (unsigned v : values)
    out.push_back(static_cast<std::byte>(v));
  return out;
}

inline Bytes text(std::string_view s) {
  Bytes out;
  for (char c : s)
    out.push_back(static_cast<std::byte>(c));
  return out;
}

inline Bytes zeros(std::size_t n) {
  return Bytes(n, std::byte{0});
}

inline Bytes cat(std::initializer_list<Bytes> pieces) {
  Bytes out;
  for (const Bytes& piece : pieces)
    out.insert(out.end(), piece.begin(), piece.end());
  return out;
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
  return cat({
      text("NBRL"),                                    // magic
      raw({0x01, 0x00, 0x00, 0x00}),                   // format version 1
      raw({0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}),  // start_ns
      raw({0x01, 0x00, 0x00, 0x00}),                   // participant count 1
      raw({0x02, 0x00, 0x00, 0x00}),                   // topic count 2
      zeros(16),                                       // participant 0: GUID
      raw({0x0F, 0x00, 0x00, 0x00}),                   //   name length 15
      text("recorder-bridge"),                         //   name
      raw({0x02, 0x00, 0x00, 0x00}), text("TA"),       // topic 0: type name
      raw({0x01, 0x00, 0x00, 0x00}), text("A"),        //   topic name
      raw({0x02, 0x00, 0x00, 0x00}), text("TB"),       // topic 1: type name
      raw({0x01, 0x00, 0x00, 0x00}), text("B"),        //   topic name
  });
}
// clang-format on

// Records writes in memory. With `room` set, behaves like a device that fills up: the write that
// crosses the limit stores what still fits and then fails with ENOSPC.
struct SinkState {
  Bytes bytes;
  std::optional<std::size_t> room;
  std::optional<std::error_code> truncate_error;
  bool throw_on_write = false;
  int truncations = 0;
};

class MemorySink final : public ByteSink {
 public:
  explicit MemorySink(std::shared_ptr<SinkState> state) : state_(std::move(state)) {}

  std::expected<void, std::error_code> write_all(std::span<const std::byte> bytes) override {
    if (state_->throw_on_write) throw std::runtime_error("sink blew up");
    std::size_t accepted = bytes.size();
    if (state_->room) accepted = std::min(accepted, *state_->room);
    state_->bytes.insert(state_->bytes.end(), bytes.begin(),
                         bytes.begin() + static_cast<std::ptrdiff_t>(accepted));
    if (state_->room) *state_->room -= accepted;
    if (accepted < bytes.size())
      return std::unexpected(std::error_code(ENOSPC, std::generic_category()));
    return {};
  }

  std::expected<void, std::error_code> truncate(std::uint64_t length) override {
    if (state_->truncate_error) return std::unexpected(*state_->truncate_error);
    ++state_->truncations;
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
};

struct ParsedRecording {
  Header header;
  std::vector<ParsedFrame> frames;
};

// Written from the layout alone, independent of the encoders. Empty unless the data is one header
// followed by whole frames whose indices point into it.
class StrictReader {
 public:
  explicit StrictReader(std::span<const std::byte> data) : data_(data) {}

  std::optional<ParsedRecording> parse() {
    ParsedRecording out;
    const bool magic = std::ranges::equal(take(4), text("NBRL"));
    const bool version = uint(4) == 1;
    out.header.start_ns = uint(8);
    const auto participants = uint(4);
    const auto topics = uint(4);
    if (!magic || !version || failed_) return std::nullopt;
    for (std::uint64_t i = 0; i < participants && !failed_; ++i) {
      ParticipantEntry& entry = out.header.participants.emplace_back();
      std::ranges::transform(take(16), entry.guid.begin(),
                             [](std::byte b) { return std::to_integer<std::uint8_t>(b); });
      entry.name = string();
    }
    for (std::uint64_t i = 0; i < topics && !failed_; ++i) {
      TopicKey& topic = out.header.topics.emplace_back();
      topic.type_name = string();
      topic.name = string();
    }
    while (!failed_ && pos_ < data_.size()) {
      const bool tag = uint(1) == 0x46;
      ParsedFrame& frame = out.frames.emplace_back();
      frame.time = uint(8);
      frame.participant_idx = static_cast<std::uint32_t>(uint(4));
      frame.topic_idx = static_cast<std::uint32_t>(uint(4));
      frame.kind = static_cast<std::uint8_t>(uint(1));
      const auto payload = take(uint(4));
      frame.payload.assign(payload.begin(), payload.end());
      failed_ =
          failed_ || !tag || frame.participant_idx >= participants || frame.topic_idx >= topics;
    }
    if (failed_) return std::nullopt;
    return out;
  }

 private:
  std::span<const std::byte> take(std::uint64_t n) {
    if (failed_ || n > data_.size() - pos_) {
      failed_ = true;
      return {};
    }
    auto piece = data_.subspan(pos_, static_cast<std::size_t>(n));
    pos_ += piece.size();
    return piece;
  }
  std::uint64_t uint(std::size_t n) {
    std::uint64_t v = 0;
    const auto piece = take(n);
    for (std::size_t i = 0; i < piece.size(); ++i)
      v |= std::to_integer<std::uint64_t>(piece[i]) << (8 * i);
    return v;
  }
  std::string string() {
    const auto piece = take(uint(4));
    return {reinterpret_cast<const char*>(piece.data()), piece.size()};
  }

  std::span<const std::byte> data_;
  std::size_t pos_ = 0;
  bool failed_ = false;
};

inline std::optional<ParsedRecording> parse_recording(std::span<const std::byte> data) {
  return StrictReader(data).parse();
}

}  // namespace nimbrel::recorder::fixtures
