#include "recorder/writer.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <vector>

#include "foundation/saturating.hpp"

namespace nimbrel::recorder {
namespace {

class SinkCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "nimbrel.recorder.sink"; }
  std::string message(int code) const override {
    if (code == static_cast<int>(SinkErrc::WriteZero)) return "failed to write whole buffer";
    return "unknown sink error";
  }
};

std::error_code last_errno() {
  return {errno, std::generic_category()};
}

std::uint32_t clamped_count(std::size_t n) {
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(n, max_field_value));
}

const char* index_name(WriteError::Index kind) {
  return kind == WriteError::Index::Participant ? "participant" : "topic";
}

}  // namespace

const std::error_category& sink_category() {
  static const SinkCategory category;
  return category;
}

std::error_code make_error_code(SinkErrc e) {
  return {static_cast<int>(e), sink_category()};
}

std::string to_string(const WriteError& error) {
  switch (error.kind) {
    case WriteError::Kind::Io:
      return "io: " + error.io.message();
    case WriteError::Kind::HeaderAlreadyWritten:
      return "header already written";
    case WriteError::Kind::FrameBeforeHeader:
      return "frame written before header";
    case WriteError::Kind::IndexOutOfRange: {
      const std::string kind = index_name(error.index_kind);
      return kind + "_idx " + std::to_string(error.value) + " >= " + kind + "_count " +
             std::to_string(error.limit);
    }
    case WriteError::Kind::PayloadTooLong:
      return "payload length " + std::to_string(error.value) + " exceeds " +
             std::to_string(error.limit);
  }
  return "unknown write error";
}

std::expected<std::unique_ptr<FileSink>, std::error_code> FileSink::create(
    const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return std::unexpected(last_errno());
  return std::unique_ptr<FileSink>(new FileSink(fd));
}

FileSink::~FileSink() {
  ::close(fd_);
}

std::expected<void, std::error_code> FileSink::write_all(std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(last_errno());
    }
    if (n == 0) return std::unexpected(make_error_code(SinkErrc::WriteZero));
    const auto done = static_cast<std::size_t>(n);
    position_ += done;
    bytes = bytes.subspan(done);
  }
  return {};
}

std::expected<void, std::error_code> FileSink::truncate(std::uint64_t length) {
  if (length == position_) return {};
  if (length > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
    return std::unexpected(std::make_error_code(std::errc::file_too_large));
  const auto offset = static_cast<off_t>(length);
  while (::ftruncate(fd_, offset) != 0) {
    if (errno != EINTR) return std::unexpected(last_errno());
  }
  if (::lseek(fd_, offset, SEEK_SET) < 0) return std::unexpected(last_errno());
  position_ = length;
  return {};
}

RecordingWriter::RecordingWriter(std::unique_ptr<ByteSink> sink) : sink_(std::move(sink)) {}

std::expected<void, WriteError> RecordingWriter::write_header(const Header& header) {
  if (header_written_)
    return std::unexpected(WriteError{.kind = WriteError::Kind::HeaderAlreadyWritten});
  std::vector<std::byte> buffer;
  buffer.reserve(64 + 32 * (header.participants.size() + header.topics.size()));
  header.write(buffer);
  if (auto appended = append(buffer); !appended) return appended;
  participant_count_ = clamped_count(header.participants.size());
  topic_count_ = clamped_count(header.topics.size());
  header_written_ = true;
  return {};
}

std::expected<void, WriteError> RecordingWriter::write_frame(const Frame& frame) {
  if (!header_written_)
    return std::unexpected(WriteError{.kind = WriteError::Kind::FrameBeforeHeader});
  if (frame.participant_idx >= participant_count_) {
    return std::unexpected(WriteError{.kind = WriteError::Kind::IndexOutOfRange,
                                      .index_kind = WriteError::Index::Participant,
                                      .value = frame.participant_idx,
                                      .limit = participant_count_});
  }
  if (frame.topic_idx >= topic_count_) {
    return std::unexpected(WriteError{.kind = WriteError::Kind::IndexOutOfRange,
                                      .index_kind = WriteError::Index::Topic,
                                      .value = frame.topic_idx,
                                      .limit = topic_count_});
  }
  // Cutting the payload to the length field would record a different sample; refuse it whole.
  if (frame.payload.size() > max_field_value) {
    return std::unexpected(WriteError{.kind = WriteError::Kind::PayloadTooLong,
                                      .value = frame.payload.size(),
                                      .limit = max_field_value});
  }
  std::vector<std::byte> buffer;
  buffer.reserve(frame.payload.size() + 32);
  frame.write(buffer);
  if (auto appended = append(buffer); !appended) return appended;
  saturating_increment(frames_written_);
  return {};
}

std::expected<void, WriteError> RecordingWriter::append(std::span<const std::byte> record) {
  if (auto cut = cut_back_partial_record(); !cut) return cut;
  if (auto written = sink_->write_all(record); !written) {
    cut_pending_ = true;
    // Cut at once so a file closed right after still ends on a whole record; a cut that fails
    // now is retried before the next write.
    (void)cut_back_partial_record();
    return std::unexpected(WriteError::io_error(written.error()));
  }
  saturating_increment(bytes_written_, std::uint64_t{record.size()});
  return {};
}

std::expected<void, WriteError> RecordingWriter::cut_back_partial_record() {
  if (!cut_pending_) return {};
  if (auto cut = sink_->truncate(bytes_written_); !cut)
    return std::unexpected(WriteError::io_error(cut.error()));
  cut_pending_ = false;
  return {};
}

}  // namespace nimbrel::recorder
