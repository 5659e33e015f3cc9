// Opens recordings for the tools. The file is mapped, not read, so a recording larger than
// memory can be walked; frames borrow their payloads from the mapping. An empty file is what the
// recorder leaves when no sample arrived: it opens as a recording with no topics and no frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "recorder/reader.hpp"

namespace nimbrel::tools {

class MappedFile {
 public:
  static std::expected<MappedFile, std::error_code> open(const std::string& path);

  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  std::span<const std::byte> bytes() const { return {static_cast<const std::byte*>(addr_), size_}; }
  // Gives back the pages wholly inside `part` (of `bytes()`), which the caller is done with: read
  // pages count as the process's memory while they stay mapped. They read again as before.
  // Parts below a few pages are left alone, as the call would cost more than it saves.
  void release(std::span<const std::byte> part) const;

 private:
  MappedFile() = default;

  void* addr_ = nullptr;
  std::size_t size_ = 0;
};

struct Input {
  std::string path;
  MappedFile file;
  recorder::HeaderRead header;

  recorder::FrameReader frames() const { return recorder::FrameReader(file.bytes(), header); }
  void release(std::span<const std::byte> part) const { file.release(part); }
  // Where `frame` ends in the file: how far a walk over the frames has come.
  std::uint64_t offset_after(const recorder::Frame& frame) const {
    return static_cast<std::uint64_t>(frame.payload.data() - file.bytes().data()) +
           frame.payload.size();
  }
};

// `status` 1: a recording whose header is cut or damaged; 2: not a recording, or unreadable.
struct OpenError {
  int status = 2;
  std::string message;
};
std::expected<Input, OpenError> open_input(const std::string& path);

// Which of the header's topics the names select: all when `names` is empty. An error names a
// topic the recording does not have.
std::expected<std::vector<bool>, std::string> select_topics(const recorder::Header& header,
                                                            std::span<const std::string> names);

}  // namespace nimbrel::tools
