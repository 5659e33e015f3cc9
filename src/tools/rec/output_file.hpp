// The file a subcommand writes: a sink that gathers small records into large writes, since a
// write call per frame would dominate the time of a large cut, merge or export. It writes to a
// temporary name beside the output and takes the output's name only once all is on disk, so that
// a failed write leaves no partial file (and an earlier file of that name as it was). A device or
// pipe given as the output is written directly; "-" is standard output. A symbolic link to a file
// leads to that file, which is replaced, not the link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "recorder/writer.hpp"

namespace nimbrel::rec {

class OutputFile final : public recorder::ByteSink {
 public:
  static std::expected<std::unique_ptr<OutputFile>, std::error_code> create(
      const std::string& path, std::size_t buffer_size = std::size_t{1} << 20);
  // Removes the temporary file unless it was committed.
  ~OutputFile() override;

  std::expected<void, std::error_code> write_all(std::span<const std::byte> bytes) override;
  std::expected<void, std::error_code> truncate(std::uint64_t length) override;
  // Writes out what is gathered, syncs it and gives the file its name.
  std::expected<void, std::error_code> commit();

 private:
  OutputFile(std::unique_ptr<recorder::FileSink> file, std::string path, std::string temporary,
             std::size_t buffer_size)
      : file_(std::move(file)),
        path_(std::move(path)),
        temporary_(std::move(temporary)),
        capacity_(buffer_size) {
    buffer_.reserve(capacity_);
  }
  std::expected<void, std::error_code> flush();

  std::unique_ptr<recorder::FileSink> file_;
  std::string path_;
  std::string temporary_;  // empty when writing to `path_` directly
  bool committed_ = false;
  std::size_t capacity_;
  std::vector<std::byte> buffer_;
};

// A recording being written through an `OutputFile`, its header already in place.
struct RecordingOutput {
  OutputFile* file;  // owned by the writer
  recorder::RecordingWriter writer;
};
// Errors are texts that name `path`.
std::expected<RecordingOutput, std::string> create_recording(const std::string& path,
                                                             const recorder::Header& header);
std::expected<void, std::string> write_frame(RecordingOutput& output, const std::string& path,
                                             const recorder::Frame& frame);
std::expected<void, std::string> finish_recording(RecordingOutput& output, const std::string& path);

}  // namespace nimbrel::rec
