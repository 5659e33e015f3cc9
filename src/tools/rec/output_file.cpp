#include "tools/rec/output_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

namespace nimbrel::rec {
namespace {

std::error_code last_errno() {
  return {errno, std::generic_category()};
}

// Syncs what is written to `path`: a file's data, or a folder's entries.
std::expected<void, std::error_code> sync(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return std::unexpected(last_errno());
  const bool synced = ::fsync(fd) == 0;
  const auto error = last_errno();
  ::close(fd);
  if (!synced) return std::unexpected(error);
  return {};
}

}  // namespace

std::expected<std::unique_ptr<OutputFile>, std::error_code> OutputFile::create(
    const std::string& name, std::size_t buffer_size) {
  std::string path = name == "-" ? "/dev/stdout" : name;
  // A device or pipe (/dev/null, /dev/stdout) is written as it is: renaming over it would replace
  // it, and it keeps no partial file anyway.
  struct stat info {};
  const bool exists = ::stat(path.c_str(), &info) == 0;
  if (exists && !S_ISREG(info.st_mode)) {
    auto file = recorder::FileSink::create(path);
    if (!file) return std::unexpected(file.error());
    return std::unique_ptr<OutputFile>(new OutputFile(std::move(*file), path, {}, buffer_size));
  }
  // A link to a file (/dev/stdout redirected to one, too) leads to where the file is: that file
  // is replaced, never the link.
  if (exists) {
    std::error_code error;
    auto target = std::filesystem::canonical(path, error);
    if (error) return std::unexpected(error);
    path = target.string();
  }
  // In the output's folder, so that the rename stays on its file system.
  std::string temporary;
  for (unsigned attempt = 0;; ++attempt) {
    temporary = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::close(fd);
      break;
    }
    if (errno != EEXIST || attempt == 100) return std::unexpected(last_errno());
  }
  auto file = recorder::FileSink::create(temporary);
  if (!file) {
    ::unlink(temporary.c_str());
    return std::unexpected(file.error());
  }
  return std::unique_ptr<OutputFile>(
      new OutputFile(std::move(*file), path, std::move(temporary), buffer_size));
}

OutputFile::~OutputFile() {
  file_.reset();
  if (!committed_ && !temporary_.empty()) ::unlink(temporary_.c_str());
}

std::expected<void, std::error_code> OutputFile::commit() {
  if (auto flushed = flush(); !flushed) return flushed;
  if (temporary_.empty()) {
    committed_ = true;
    return {};
  }
  if (auto synced = sync(temporary_, O_RDONLY); !synced) return synced;
  if (::rename(temporary_.c_str(), path_.c_str()) != 0) return std::unexpected(last_errno());
  committed_ = true;
  const auto folder = std::filesystem::path(path_).parent_path().string();
  // The name is in place; a folder that cannot be synced (some file systems) loses nothing here.
  (void)sync(folder.empty() ? "." : folder, O_RDONLY | O_DIRECTORY);
  return {};
}

std::expected<void, std::error_code> OutputFile::write_all(std::span<const std::byte> bytes) {
  if (bytes.size() > capacity_ - buffer_.size()) {
    if (auto flushed = flush(); !flushed) return flushed;
    if (bytes.size() >= capacity_) return file_->write_all(bytes);
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  return {};
}

std::expected<void, std::error_code> OutputFile::truncate(std::uint64_t length) {
  if (auto flushed = flush(); !flushed) return flushed;
  return file_->truncate(length);
}

std::expected<void, std::error_code> OutputFile::flush() {
  if (buffer_.empty()) return {};
  auto written = file_->write_all(buffer_);
  buffer_.clear();
  return written;
}

std::expected<RecordingOutput, std::string> create_recording(const std::string& path,
                                                             const recorder::Header& header) {
  auto file = OutputFile::create(path);
  if (!file) return std::unexpected(path + ": " + file.error().message());
  OutputFile* raw = file->get();
  RecordingOutput output{.file = raw, .writer = recorder::RecordingWriter(std::move(*file))};
  if (auto written = output.writer.write_header(header); !written)
    return std::unexpected(path + ": " + recorder::to_string(written.error()));
  return output;
}

std::expected<void, std::string> write_frame(RecordingOutput& output, const std::string& path,
                                             const recorder::Frame& frame) {
  if (auto written = output.writer.write_frame(frame); !written)
    return std::unexpected(path + ": " + recorder::to_string(written.error()));
  return {};
}

std::expected<void, std::string> finish_recording(RecordingOutput& output,
                                                  const std::string& path) {
  if (auto flushed = output.file->commit(); !flushed)
    return std::unexpected(path + ": " + flushed.error().message());
  return {};
}

}  // namespace nimbrel::rec
