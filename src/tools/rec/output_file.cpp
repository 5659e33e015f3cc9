#include "tools/rec/output_file.hpp"

namespace nimbrel::rec {

std::expected<std::unique_ptr<OutputFile>, std::error_code> OutputFile::create(
    const std::string& path, std::size_t buffer_size) {
  auto file = recorder::FileSink::create(path);
  if (!file) return std::unexpected(file.error());
  return std::unique_ptr<OutputFile>(new OutputFile(std::move(*file), buffer_size));
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
  if (auto flushed = output.file->flush(); !flushed)
    return std::unexpected(path + ": " + flushed.error().message());
  return {};
}

}  // namespace nimbrel::rec
