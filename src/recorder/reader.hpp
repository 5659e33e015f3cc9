// Reads `.nbrlrec` recordings back: the header, then the frames in file order. A header that does
// not parse is an error; a frame that does not (cut short, wrong tag, an index past the header's
// lists) ends the data, and the reader says where and why, so a cut file still yields its whole
// frames. Frames borrow their payloads from the bytes being read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "recorder/format.hpp"
#include "rtps/wire_cursor.hpp"

namespace nimbrel::recorder {

struct ReadError {
  enum class Kind { Io, TooShort, BadMagic, UnsupportedVersion, CountTooLarge, HeaderCut };

  Kind kind = Kind::Io;
  std::error_code io{};     // Io
  std::string_view what{};  // CountTooLarge: "participant" or "topic"; HeaderCut: the field
  std::uint64_t value = 0;  // the size, magic, version or count found; HeaderCut: bytes needed
  std::uint64_t limit = 0;  // CountTooLarge and HeaderCut: bytes left
  std::uint64_t offset = 0;

  friend bool operator==(const ReadError&, const ReadError&) = default;
};
std::string to_string(const ReadError& error);

struct HeaderRead {
  Header header;
  std::size_t size = 0;  // where the first frame starts
};
std::expected<HeaderRead, ReadError> read_header(std::span<const std::byte> data);

// Why the frames stopped. Anything but `Clean` means the tail from `offset` on was not read.
struct DataEnd {
  enum class Reason { Clean, FrameCut, BadTag, ParticipantIndex, TopicIndex };

  Reason reason = Reason::Clean;
  std::uint64_t offset = 0;  // the first byte not taken as part of a frame
  std::uint64_t value = 0;   // BadTag: the tag; *Index: the index; FrameCut: bytes the frame needs
  std::uint64_t limit = 0;   // *Index: the header's count; FrameCut: bytes left

  friend bool operator==(const DataEnd&, const DataEnd&) = default;
};
std::string to_string(const DataEnd& end);

class FrameReader {
 public:
  // `data` is the whole recording; frames start at `header.size`.
  FrameReader(std::span<const std::byte> data, const HeaderRead& header);

  // Empty once the data has ended; `end()` then tells why.
  std::optional<Frame> next();
  const DataEnd& end() const { return end_; }

 private:
  rtps::WireReader in_;
  std::uint32_t participant_count_;
  std::uint32_t topic_count_;
  bool ended_ = false;
  DataEnd end_{};
};

struct Recording {
  Header header;
  std::vector<Frame> frames;  // payloads borrow from the data read
  DataEnd end;
};
std::expected<Recording, ReadError> read_recording(std::span<const std::byte> data);

// A recording read whole from a file. Its frames borrow from the bytes it holds, so it can be
// moved (a vector's move keeps its buffer) but not copied.
class RecordingFile {
 public:
  static std::expected<RecordingFile, ReadError> open(const std::string& path);

  RecordingFile(RecordingFile&&) = default;
  RecordingFile& operator=(RecordingFile&&) = default;
  RecordingFile(const RecordingFile&) = delete;
  RecordingFile& operator=(const RecordingFile&) = delete;

  const Recording& recording() const { return recording_; }
  std::span<const std::byte> bytes() const { return bytes_; }

 private:
  RecordingFile() = default;

  std::vector<std::byte> bytes_;
  Recording recording_;
};

}  // namespace nimbrel::recorder
