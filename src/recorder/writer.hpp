// Appends a recording's header and frames to a byte sink, each record in one write-everything
// call with nothing buffered in between, so every record is in the file once its call returns.
// After a failed write the sink is cut back to the last whole record before anything else is
// appended; a reader never meets a half frame in the middle of the data.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "recorder/format.hpp"

namespace nimbrel::recorder {

// A sink that accepted zero bytes of a write.
enum class SinkErrc { WriteZero = 1 };
const std::error_category& sink_category();
std::error_code make_error_code(SinkErrc e);

struct WriteError {
  enum class Kind { Io, HeaderAlreadyWritten, FrameBeforeHeader, IndexOutOfRange, PayloadTooLong };
  enum class Index { Participant, Topic };

  Kind kind = Kind::Io;
  std::error_code io{};             // Io
  Index index_kind = Index::Topic;  // IndexOutOfRange
  std::uint64_t value = 0;          // the index, or the payload length
  std::uint64_t limit = 0;          // the count, or the largest payload length

  static WriteError io_error(std::error_code ec) { return {.kind = Kind::Io, .io = ec}; }
  friend bool operator==(const WriteError&, const WriteError&) = default;
};
std::string to_string(const WriteError& error);

// Why a gathered write stopped, and how many of its bytes are surely in the sink; more of them may
// be.
struct GatheredWriteError {
  std::error_code error;
  std::uint64_t written = 0;
};

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Writes all of `bytes` or fails; on failure any prefix of them may have been written.
  virtual std::expected<void, std::error_code> write_all(std::span<const std::byte> bytes) = 0;
  // Writes the pieces back to back, as `write_all` of their concatenation would; this one writes
  // them one at a time.
  virtual std::expected<void, GatheredWriteError> write_gathered(
      std::span<const std::span<const std::byte>> pieces);
  // Keeps only the first `length` bytes ever written and continues writing after them.
  virtual std::expected<void, std::error_code> truncate(std::uint64_t length) = 0;
};

class FileSink final : public ByteSink {
 public:
  // Creates or empties `path` (mode 0666 before the umask); errors carry errno.
  static std::expected<std::unique_ptr<FileSink>, std::error_code> create(const std::string& path);
  // As `create`, but what `path` holds stays until `truncate(0)`: a caller that may yet fail to
  // start destroys nothing.
  static std::expected<std::unique_ptr<FileSink>, std::error_code> open_keeping(
      const std::string& path);

  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;
  ~FileSink() override;

  std::expected<void, std::error_code> write_all(std::span<const std::byte> bytes) override;
  // As few system calls as the pieces allow.
  std::expected<void, GatheredWriteError> write_gathered(
      std::span<const std::span<const std::byte>> pieces) override;
  std::expected<void, std::error_code> truncate(std::uint64_t length) override;

 private:
  explicit FileSink(int fd) : fd_(fd) {}

  int fd_;
  // Lets a cut that has nothing to remove succeed on sinks that cannot seek, such as pipes.
  std::uint64_t position_ = 0;
};

// A batch of frames ended early: the first `written` frames are in the sink, the next one failed.
struct BatchError {
  std::size_t written = 0;
  WriteError error;
};

class RecordingWriter {
 public:
  explicit RecordingWriter(std::unique_ptr<ByteSink> sink);

  std::expected<void, WriteError> write_header(const Header& header);
  std::expected<void, WriteError> write_frame(const Frame& frame);
  // The frames in order, in one gathered write up to the first frame that cannot be written.
  // After a failed write the sink ends on the last whole frame, and the counters count exactly
  // the frames before it.
  std::expected<void, BatchError> write_frames(std::span<const Frame> frames);

  std::uint64_t frames_written() const { return frames_written_; }
  // Header and frame bytes of whole records: the sink's length whenever no cut is pending.
  std::uint64_t bytes_written() const { return bytes_written_; }
  bool header_written() const { return header_written_; }

 private:
  std::expected<void, WriteError> append(std::span<const std::byte> record);
  std::expected<void, WriteError> cut_back_partial_record();
  std::optional<WriteError> refusal(const Frame& frame) const;

  std::unique_ptr<ByteSink> sink_;
  std::uint64_t frames_written_ = 0;
  std::uint64_t bytes_written_ = 0;
  std::uint32_t participant_count_ = 0;
  std::uint32_t topic_count_ = 0;
  bool header_written_ = false;
  bool cut_pending_ = false;  // a failed write may have left part of a record in the sink
  // Reused from batch to batch.
  std::vector<std::array<std::byte, frame_overhead>> prefixes_;
  std::vector<std::span<const std::byte>> pieces_;
};

}  // namespace nimbrel::recorder
