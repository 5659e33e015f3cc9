#include "recorder/writer.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/uio.h>
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

std::uint64_t record_size(const Frame& frame) {
  return frame_overhead + frame.payload.size();
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

std::expected<std::unique_ptr<FileSink>, std::error_code> FileSink::open_keeping(
    const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return std::unexpected(last_errno());
  std::unique_ptr<FileSink> sink(new FileSink(fd));
  // Writes start at the end of what is kept, so `truncate(0)` empties a regular file; a device
  // or a pipe has nothing to keep.
  struct stat status {};
  if (::fstat(fd, &status) != 0) return std::unexpected(last_errno());
  if (S_ISREG(status.st_mode) && status.st_size > 0) {
    if (::lseek(fd, 0, SEEK_END) < 0) return std::unexpected(last_errno());
    sink->position_ = static_cast<std::uint64_t>(status.st_size);
  }
  return sink;
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

std::expected<void, GatheredWriteError> ByteSink::write_gathered(
    std::span<const std::span<const std::byte>> pieces) {
  std::uint64_t written = 0;
  for (const auto piece : pieces) {
    if (auto done = write_all(piece); !done)
      return std::unexpected(GatheredWriteError{.error = done.error(), .written = written});
    written += piece.size();
  }
  return {};
}

std::expected<void, GatheredWriteError> FileSink::write_gathered(
    std::span<const std::span<const std::byte>> pieces) {
  std::array<iovec, IOV_MAX> vectors{};
  std::uint64_t written = 0;
  std::size_t next = 0;  // the first piece not yet wholly written
  std::size_t skip = 0;  // the bytes of it already written
  for (;;) {
    while (next < pieces.size() && pieces[next].size() == skip) {
      ++next;
      skip = 0;
    }
    if (next == pieces.size()) return {};
    std::size_t count = 0;
    for (std::size_t i = next; i < pieces.size() && count < vectors.size(); ++i) {
      const auto piece = pieces[i].subspan(i == next ? skip : 0);
      vectors[count++] =
          iovec{.iov_base = const_cast<std::byte*>(piece.data()), .iov_len = piece.size()};
    }
    const ssize_t n = ::writev(fd_, vectors.data(), static_cast<int>(count));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const auto error = n < 0 ? last_errno() : make_error_code(SinkErrc::WriteZero);
      return std::unexpected(GatheredWriteError{.error = error, .written = written});
    }
    auto done = static_cast<std::size_t>(n);
    position_ += done;
    written += done;
    while (done > 0) {
      const std::size_t step = std::min(done, pieces[next].size() - skip);
      skip += step;
      done -= step;
      if (skip == pieces[next].size()) {
        ++next;
        skip = 0;
      }
    }
  }
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
  rtps::WireWriter writer(buffer, /*little_endian=*/true);
  header.encode(writer);
  if (auto appended = append(buffer); !appended) return appended;
  participant_count_ = clamped_count(header.participants.size());
  topic_count_ = clamped_count(header.topics.size());
  header_written_ = true;
  return {};
}

std::optional<WriteError> RecordingWriter::refusal(const Frame& frame) const {
  if (!header_written_) return WriteError{.kind = WriteError::Kind::FrameBeforeHeader};
  if (frame.participant_idx >= participant_count_) {
    return WriteError{.kind = WriteError::Kind::IndexOutOfRange,
                      .index_kind = WriteError::Index::Participant,
                      .value = frame.participant_idx,
                      .limit = participant_count_};
  }
  if (frame.topic_idx >= topic_count_) {
    return WriteError{.kind = WriteError::Kind::IndexOutOfRange,
                      .index_kind = WriteError::Index::Topic,
                      .value = frame.topic_idx,
                      .limit = topic_count_};
  }
  // Cutting the payload to the length field would record a different sample; refuse it whole.
  if (frame.payload.size() > max_field_value) {
    return WriteError{.kind = WriteError::Kind::PayloadTooLong,
                      .value = frame.payload.size(),
                      .limit = max_field_value};
  }
  return std::nullopt;
}

std::expected<void, WriteError> RecordingWriter::write_frame(const Frame& frame) {
  if (auto written = write_frames({&frame, 1}); !written)
    return std::unexpected(written.error().error);
  return {};
}

std::expected<void, BatchError> RecordingWriter::write_frames(std::span<const Frame> frames) {
  std::size_t valid = 0;
  std::optional<WriteError> refused;
  while (valid < frames.size() && !(refused = refusal(frames[valid])))
    ++valid;
  if (valid > 0) {
    if (auto cut = cut_back_partial_record(); !cut)
      return std::unexpected(BatchError{.written = 0, .error = cut.error()});
    prefixes_.resize(valid);
    pieces_.clear();
    for (std::size_t i = 0; i < valid; ++i) {
      prefixes_[i] = frames[i].prefix();
      pieces_.push_back(prefixes_[i]);
      pieces_.push_back(frames[i].payload);
    }
    if (auto written = sink_->write_gathered(pieces_); !written) {
      // The frames wholly in the sink stay; the rest of the batch is cut away.
      std::uint64_t left = written.error().written;
      std::size_t whole = 0;
      for (; whole < valid && record_size(frames[whole]) <= left; ++whole) {
        left -= record_size(frames[whole]);
        saturating_increment(bytes_written_, record_size(frames[whole]));
      }
      saturating_increment(frames_written_, std::uint64_t{whole});
      cut_pending_ = true;
      (void)cut_back_partial_record();
      return std::unexpected(
          BatchError{.written = whole, .error = WriteError::io_error(written.error().error)});
    }
    for (std::size_t i = 0; i < valid; ++i)
      saturating_increment(bytes_written_, record_size(frames[i]));
    saturating_increment(frames_written_, std::uint64_t{valid});
  }
  if (refused) return std::unexpected(BatchError{.written = valid, .error = *refused});
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
