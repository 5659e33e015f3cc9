#include "recorder/reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <initializer_list>
#include <utility>

namespace nimbrel::recorder {
namespace {

constexpr std::size_t fixed_header_size = 24;
// The smallest records: a GUID and an empty name; two empty names.
constexpr std::size_t min_participant_record = 16 + 4;
constexpr std::size_t min_topic_record = 4 + 4;

std::uint64_t load_le(std::span<const std::byte> bytes) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i)
    v |= std::to_integer<std::uint64_t>(bytes[i]) << (8 * i);
  return v;
}

// Bounds-checked walk over the header; a failed take consumes nothing.
class HeaderCursor {
 public:
  HeaderCursor(std::span<const std::byte> data, std::size_t pos) : data_(data), pos_(pos) {}

  std::size_t pos() const { return pos_; }
  std::size_t left() const { return data_.size() - pos_; }

  std::expected<std::span<const std::byte>, ReadError> take(std::uint64_t n,
                                                            std::string_view what) {
    if (n > left())
      return std::unexpected(ReadError{.kind = ReadError::Kind::HeaderCut,
                                       .what = what,
                                       .value = n,
                                       .limit = left(),
                                       .offset = pos_});
    const auto piece = data_.subspan(pos_, static_cast<std::size_t>(n));
    pos_ += piece.size();
    return piece;
  }

  std::expected<std::uint32_t, ReadError> u32(std::string_view what) {
    auto piece = take(4, what);
    if (!piece) return std::unexpected(piece.error());
    return static_cast<std::uint32_t>(load_le(*piece));
  }

  std::expected<std::string, ReadError> string(std::string_view length_what,
                                               std::string_view what) {
    auto length = u32(length_what);
    if (!length) return std::unexpected(length.error());
    auto piece = take(*length, what);
    if (!piece) return std::unexpected(piece.error());
    return std::string(reinterpret_cast<const char*>(piece->data()), piece->size());
  }

 private:
  std::span<const std::byte> data_;
  std::size_t pos_;
};

ReadError count_too_large(std::string_view what, std::uint64_t count, const HeaderCursor& in) {
  return {.kind = ReadError::Kind::CountTooLarge,
          .what = what,
          .value = count,
          .limit = in.left(),
          .offset = in.pos()};
}

std::expected<ParticipantEntry, ReadError> read_participant(HeaderCursor& in) {
  ParticipantEntry entry;
  auto guid = in.take(entry.guid.size(), "participant GUID");
  if (!guid) return std::unexpected(guid.error());
  std::ranges::transform(*guid, entry.guid.begin(),
                         [](std::byte b) { return std::to_integer<std::uint8_t>(b); });
  auto name = in.string("participant name length", "participant name");
  if (!name) return std::unexpected(name.error());
  entry.name = std::move(*name);
  return entry;
}

std::expected<TopicKey, ReadError> read_topic(HeaderCursor& in) {
  auto type_name = in.string("type name length", "type name");
  if (!type_name) return std::unexpected(type_name.error());
  auto name = in.string("topic name length", "topic name");
  if (!name) return std::unexpected(name.error());
  return TopicKey{.name = std::move(*name), .type_name = std::move(*type_name)};
}

// Appending avoids g++ 12's false -Wrestrict warnings on chains of operator+.
std::string joined(std::initializer_list<std::string_view> pieces) {
  std::string out;
  for (std::string_view piece : pieces)
    out.append(piece);
  return out;
}

std::string hex_byte(std::uint64_t v) {
  char buf[3];
  std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned>(v & 0xFFU));
  return buf;
}

std::error_code last_errno() {
  return {errno, std::generic_category()};
}

std::expected<std::vector<std::byte>, ReadError> read_whole_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(ReadError{.kind = ReadError::Kind::Io, .io = last_errno()});
  std::vector<std::byte> bytes;
  struct stat info {};
  // The size is only a hint: a recording still being written may grow while it is read.
  if (::fstat(fd, &info) == 0 && info.st_size > 0)
    bytes.reserve(static_cast<std::size_t>(info.st_size));
  constexpr std::size_t chunk = 64 * 1024;
  for (;;) {
    const std::size_t used = bytes.size();
    bytes.resize(used + chunk);
    const ssize_t got = ::read(fd, bytes.data() + used, chunk);
    if (got < 0 && errno == EINTR) {
      bytes.resize(used);
      continue;
    }
    if (got <= 0) {
      const std::error_code error = got < 0 ? last_errno() : std::error_code{};
      bytes.resize(used);
      ::close(fd);
      if (error) return std::unexpected(ReadError{.kind = ReadError::Kind::Io, .io = error});
      return bytes;
    }
    bytes.resize(used + static_cast<std::size_t>(got));
  }
}

}  // namespace

std::string to_string(const ReadError& error) {
  const auto n = [](std::uint64_t v) { return std::to_string(v); };
  switch (error.kind) {
    case ReadError::Kind::Io:
      return joined({"io: ", error.io.message()});
    case ReadError::Kind::TooShort:
      return joined({"too short for a header: ", n(error.value), " bytes, at least ",
                     n(error.limit), " needed"});
    case ReadError::Kind::BadMagic:
      return joined({"bad magic ", hex_byte(error.value >> 24), " ", hex_byte(error.value >> 16),
                     " ", hex_byte(error.value >> 8), " ", hex_byte(error.value),
                     ", expected \"NBRL\""});
    case ReadError::Kind::UnsupportedVersion:
      return joined(
          {"unsupported format version ", n(error.value), ", expected ", n(format_version)});
    case ReadError::Kind::CountTooLarge:
      return joined({error.what, " count ", n(error.value), " does not fit in the ", n(error.limit),
                     " bytes left at byte ", n(error.offset)});
    case ReadError::Kind::HeaderCut:
      return joined({"header cut short at byte ", n(error.offset), ": ", error.what, " needs ",
                     n(error.value), " bytes, ", n(error.limit), " left"});
  }
  return "unknown read error";
}

std::string to_string(const DataEnd& end) {
  const auto n = [](std::uint64_t v) { return std::to_string(v); };
  switch (end.reason) {
    case DataEnd::Reason::Clean:
      return joined({"clean end at byte ", n(end.offset)});
    case DataEnd::Reason::FrameCut:
      return joined({"frame cut short at byte ", n(end.offset), ": needs ", n(end.value),
                     " bytes, ", n(end.limit), " left"});
    case DataEnd::Reason::BadTag:
      return joined({"bad frame tag 0x", hex_byte(end.value), " at byte ", n(end.offset)});
    case DataEnd::Reason::ParticipantIndex:
      return joined({"participant_idx ", n(end.value), " >= participant_count ", n(end.limit),
                     " at byte ", n(end.offset)});
    case DataEnd::Reason::TopicIndex:
      return joined({"topic_idx ", n(end.value), " >= topic_count ", n(end.limit), " at byte ",
                     n(end.offset)});
  }
  return "unknown end of data";
}

std::expected<HeaderRead, ReadError> read_header(std::span<const std::byte> data) {
  if (data.size() < fixed_header_size)
    return std::unexpected(ReadError{
        .kind = ReadError::Kind::TooShort, .value = data.size(), .limit = fixed_header_size});
  if (!std::ranges::equal(data.first(4), file_magic)) {
    std::uint64_t magic = 0;
    for (std::byte b : data.first(4))
      magic = (magic << 8) | std::to_integer<std::uint64_t>(b);
    return std::unexpected(ReadError{.kind = ReadError::Kind::BadMagic, .value = magic});
  }
  const std::uint64_t version = load_le(data.subspan(4, 4));
  if (version != format_version)
    return std::unexpected(
        ReadError{.kind = ReadError::Kind::UnsupportedVersion, .value = version, .offset = 4});

  HeaderRead out;
  out.header.start_ns = load_le(data.subspan(8, 8));
  const std::uint64_t participant_count = load_le(data.subspan(16, 4));
  const std::uint64_t topic_count = load_le(data.subspan(20, 4));
  HeaderCursor in(data, fixed_header_size);

  if (participant_count > in.left() / min_participant_record)
    return std::unexpected(count_too_large("participant", participant_count, in));
  out.header.participants.reserve(static_cast<std::size_t>(participant_count));
  for (std::uint64_t i = 0; i < participant_count; ++i) {
    auto entry = read_participant(in);
    if (!entry) return std::unexpected(entry.error());
    out.header.participants.push_back(std::move(*entry));
  }

  if (topic_count > in.left() / min_topic_record)
    return std::unexpected(count_too_large("topic", topic_count, in));
  out.header.topics.reserve(static_cast<std::size_t>(topic_count));
  for (std::uint64_t i = 0; i < topic_count; ++i) {
    auto topic = read_topic(in);
    if (!topic) return std::unexpected(topic.error());
    out.header.topics.push_back(std::move(*topic));
  }
  out.size = in.pos();
  return out;
}

FrameReader::FrameReader(std::span<const std::byte> data, const HeaderRead& header)
    : data_(data),
      pos_(std::min(header.size, data.size())),
      participant_count_(static_cast<std::uint32_t>(header.header.participants.size())),
      topic_count_(static_cast<std::uint32_t>(header.header.topics.size())) {}

std::optional<Frame> FrameReader::next() {
  if (ended_) return std::nullopt;
  const std::size_t left = data_.size() - pos_;
  const auto stop = [&](DataEnd::Reason reason, std::uint64_t value, std::uint64_t limit) {
    ended_ = true;
    end_ = {.reason = reason, .offset = pos_, .value = value, .limit = limit};
    return std::nullopt;
  };
  if (left == 0) return stop(DataEnd::Reason::Clean, 0, 0);
  const std::byte tag = data_[pos_];
  if (tag != frame_tag)
    return stop(DataEnd::Reason::BadTag, std::to_integer<std::uint64_t>(tag), 0);
  if (left < frame_overhead) return stop(DataEnd::Reason::FrameCut, frame_overhead, left);

  const auto fixed = data_.subspan(pos_, frame_overhead);
  Frame frame;
  frame.time = load_le(fixed.subspan(1, 8));
  frame.participant_idx = static_cast<std::uint32_t>(load_le(fixed.subspan(9, 4)));
  frame.topic_idx = static_cast<std::uint32_t>(load_le(fixed.subspan(13, 4)));
  frame.kind = std::to_integer<std::uint8_t>(fixed[17]);
  const std::uint64_t length = load_le(fixed.subspan(18, 4));
  if (frame.participant_idx >= participant_count_)
    return stop(DataEnd::Reason::ParticipantIndex, frame.participant_idx, participant_count_);
  if (frame.topic_idx >= topic_count_)
    return stop(DataEnd::Reason::TopicIndex, frame.topic_idx, topic_count_);
  if (length > left - frame_overhead)
    return stop(DataEnd::Reason::FrameCut, frame_overhead + length, left);

  frame.payload = data_.subspan(pos_ + frame_overhead, static_cast<std::size_t>(length));
  pos_ += frame_overhead + frame.payload.size();
  return frame;
}

std::expected<Recording, ReadError> read_recording(std::span<const std::byte> data) {
  auto header = read_header(data);
  if (!header) return std::unexpected(header.error());
  Recording out;
  FrameReader frames(data, *header);
  while (auto frame = frames.next())
    out.frames.push_back(*frame);
  out.header = std::move(header->header);
  out.end = frames.end();
  return out;
}

std::expected<RecordingFile, ReadError> RecordingFile::open(const std::string& path) {
  auto bytes = read_whole_file(path);
  if (!bytes) return std::unexpected(bytes.error());
  RecordingFile file;
  file.bytes_ = std::move(*bytes);
  auto recording = read_recording(file.bytes_);
  if (!recording) return std::unexpected(recording.error());
  file.recording_ = std::move(*recording);
  return file;
}

}  // namespace nimbrel::recorder
