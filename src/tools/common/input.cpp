#include "tools/common/input.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <utility>

namespace nimbrel::tools {
namespace {

std::error_code last_errno() {
  return {errno, std::generic_category()};
}

// A header that is cut or whose counts run past the data still starts as a recording does.
bool is_damaged_recording(const recorder::ReadError& error, std::span<const std::byte> data) {
  using Kind = recorder::ReadError::Kind;
  switch (error.kind) {
    case Kind::HeaderCut:
    case Kind::CountTooLarge:
      return true;
    case Kind::TooShort: {
      const auto n = std::min(data.size(), recorder::file_magic.size());
      return std::ranges::equal(data.first(n), std::span(recorder::file_magic).first(n));
    }
    default:
      return false;
  }
}

}  // namespace

std::expected<MappedFile, std::error_code> MappedFile::open(const std::string& path) {
  // Non-blocking, so that a FIFO is refused at once instead of waiting for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::unexpected(last_errno());
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const auto error = last_errno();
    ::close(fd);
    return std::unexpected(error);
  }
  if (!S_ISREG(info.st_mode)) {
    ::close(fd);
    return std::unexpected(std::make_error_code(std::errc::invalid_argument));
  }
  MappedFile file;
  file.size_ = static_cast<std::size_t>(info.st_size);
  if (file.size_ > 0) {
    void* addr = ::mmap(nullptr, file.size_, PROT_READ, MAP_PRIVATE, fd, 0);
    if (addr == MAP_FAILED) {
      const auto error = last_errno();
      ::close(fd);
      return std::unexpected(error);
    }
    file.addr_ = addr;
    ::madvise(addr, file.size_, MADV_SEQUENTIAL);
  }
  ::close(fd);
  return file;
}

void MappedFile::release(std::span<const std::byte> part) const {
  constexpr std::size_t worth = std::size_t{1} << 20;
  if (part.size() < worth || addr_ == nullptr) return;
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto begin = (reinterpret_cast<std::uintptr_t>(part.data()) + page - 1) / page * page;
  const auto end = reinterpret_cast<std::uintptr_t>(part.data() + part.size()) / page * page;
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : addr_(std::exchange(other.addr_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    if (addr_ != nullptr) ::munmap(addr_, size_);
    addr_ = std::exchange(other.addr_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

MappedFile::~MappedFile() {
  if (addr_ != nullptr) ::munmap(addr_, size_);
}

std::expected<Input, OpenError> open_input(const std::string& path) {
  auto file = MappedFile::open(path);
  if (!file) {
    const bool irregular = file.error() == std::errc::invalid_argument;
    return std::unexpected(OpenError{
        .status = 2,
        .message = path + ": " + (irregular ? "not a regular file" : file.error().message())});
  }
  Input input{.path = path, .file = std::move(*file), .header = {}};
  const auto data = input.file.bytes();
  if (data.empty()) return input;
  auto header = recorder::read_header(data);
  if (!header) {
    const bool damaged = is_damaged_recording(header.error(), data);
    std::string text = recorder::to_string(header.error());
    // The header's own texts give the offset, but for a file that stops inside its fixed part.
    if (header.error().kind == recorder::ReadError::Kind::TooShort)
      text = "header cut short at byte " + std::to_string(data.size()) + ": " + text;
    return std::unexpected(
        OpenError{.status = damaged ? 1 : 2, .message = path + ": " + std::move(text)});
  }
  input.header = std::move(*header);
  return input;
}

std::expected<std::vector<bool>, std::string> select_topics(const recorder::Header& header,
                                                            std::span<const std::string> names) {
  std::vector<bool> selected(header.topics.size(), names.empty());
  for (const auto& name : names) {
    bool found = false;
    for (std::size_t i = 0; i < header.topics.size(); ++i) {
      if (header.topics[i].name == name) selected[i] = found = true;
    }
    if (!found) return std::unexpected("no topic \"" + name + "\" in the recording");
  }
  return selected;
}

}  // namespace nimbrel::tools
