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

// The header's fields are named in its errors; a failed read consumes nothing.
ReadError header_cut(const rtps::WireReader& in, std::uint64_t needed, std::string_view what) {
  return {.kind = ReadError::Kind::HeaderCut,
          .what = what,
          .value = needed,
          .limit = in.remaining(),
          .offset = in.position()};
}

std::expected<std::span<const std::byte>, ReadError> take(rtps::WireReader& in, std::uint64_t n,
                                                          std::string_view what) {
  if (n > in.remaining()) return std::unexpected(header_cut(in, n, what));
  auto piece = in.read_bytes(static_cast<std::size_t>(n));
  if (!piece) return std::unexpected(header_cut(in, n, what));
  return *piece;
}

std::expected<std::uint32_t, ReadError> take_u32(rtps::WireReader& in, std::string_view what) {
  auto v = in.read_u32();
  if (!v) return std::unexpected(header_cut(in, 4, what));
  return *v;
}

std::expected<std::string, ReadError> take_string(rtps::WireReader& in,
                                                  std::string_view length_what,
                                                  std::string_view what) {
  auto length = take_u32(in, length_what);
  if (!length) return std::unexpected(length.error());
  auto piece = take(in, *length, what);
  if (!piece) return std::unexpected(piece.error());
  return std::string(reinterpret_cast<const char*>(piece->data()), piece->size());
}

ReadError count_too_large(std::string_view what, std::uint64_t count, const rtps::WireReader& in) {
  return {.kind = ReadError::Kind::CountTooLarge,
          .what = what,
          .value = count,
          .limit = in.remaining(),
          .offset = in.position()};
}

std::expected<ParticipantEntry, ReadError> read_participant(rtps::WireReader& in) {
  ParticipantEntry entry;
  auto guid = in.read_array<16>();
  if (!guid) return std::unexpected(header_cut(in, entry.guid.size(), "participant GUID"));
  entry.guid = *guid;
  auto name = take_string(in, "participant name length", "participant name");
  if (!name) return std::unexpected(name.error());
  entry.name = std::move(*name);
  return entry;
}

std::expected<TopicKey, ReadError> read_topic(rtps::WireReader& in) {
  auto type_name = take_string(in, "type name length", "type name");
  if (!type_name) return std::unexpected(type_name.error());
  auto name = take_string(in, "topic name length", "topic name");
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
  // Non-blocking, so that a FIFO is refused at once instead of waiting for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::unexpected(ReadError{.kind = ReadError::Kind::Io, .io = last_errno()});
  std::vector<std::byte> bytes;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return std::unexpected(ReadError{.kind = ReadError::Kind::Io,
                                     .io = std::make_error_code(std::errc::invalid_argument)});
  }
  // The size is only a hint: a recording still being written may grow while it is read.
  if (info.st_size > 0) bytes.reserve(static_cast<std::size_t>(info.st_size));
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

std::expected<Header, ReadError> Header::decode(rtps::WireReader& reader) {
  rtps::WireReader in = reader.with_byte_order(/*little_endian=*/true);
  const std::size_t start = in.position();
  if (in.remaining() < fixed_header_size)
    return std::unexpected(ReadError{
        .kind = ReadError::Kind::TooShort, .value = in.remaining(), .limit = fixed_header_size});
  // The fixed part is all there, so its reads cannot fail.
  const auto magic = in.read_array<4>().value_or(std::array<std::uint8_t, 4>{});
  if (!std::ranges::equal(std::as_bytes(std::span(magic)), file_magic)) {
    std::uint64_t value = 0;
    for (std::uint8_t b : magic)
      value = (value << 8) | b;
    return std::unexpected(ReadError{.kind = ReadError::Kind::BadMagic, .value = value});
  }
  const std::uint64_t version = in.read_u32().value_or(0);
  if (version != format_version)
    return std::unexpected(ReadError{
        .kind = ReadError::Kind::UnsupportedVersion, .value = version, .offset = start + 4});

  Header header;
  header.start_ns = in.read_u64().value_or(0);
  const std::uint64_t participant_count = in.read_u32().value_or(0);
  const std::uint64_t topic_count = in.read_u32().value_or(0);

  if (participant_count > in.remaining() / min_participant_record)
    return std::unexpected(count_too_large("participant", participant_count, in));
  header.participants.reserve(static_cast<std::size_t>(participant_count));
  for (std::uint64_t i = 0; i < participant_count; ++i) {
    auto entry = read_participant(in);
    if (!entry) return std::unexpected(entry.error());
    header.participants.push_back(std::move(*entry));
  }

  if (topic_count > in.remaining() / min_topic_record)
    return std::unexpected(count_too_large("topic", topic_count, in));
  header.topics.reserve(static_cast<std::size_t>(topic_count));
  for (std::uint64_t i = 0; i < topic_count; ++i) {
    auto topic = read_topic(in);
    if (!topic) return std::unexpected(topic.error());
    header.topics.push_back(std::move(*topic));
  }
  reader.seek(in.position());
  return header;
}

std::expected<HeaderRead, ReadError> read_header(std::span<const std::byte> data) {
  rtps::WireReader in(data, /*little_endian=*/true);
  auto header = Header::decode(in);
  if (!header) return std::unexpected(header.error());
  return HeaderRead{.header = std::move(*header), .size = in.position()};
}

FrameReader::FrameReader(std::span<const std::byte> data, const HeaderRead& header)
    : in_(data, /*little_endian=*/true),
      participant_count_(static_cast<std::uint32_t>(header.header.participants.size())),
      topic_count_(static_cast<std::uint32_t>(header.header.topics.size())) {
  in_.seek(std::min(header.size, data.size()));
}

std::optional<Frame> FrameReader::next() {
  if (ended_) return std::nullopt;
  const std::size_t at = in_.position();
  const std::size_t left = in_.remaining();
  const auto stop = [&](DataEnd::Reason reason, std::uint64_t value, std::uint64_t limit) {
    ended_ = true;
    end_ = {.reason = reason, .offset = at, .value = value, .limit = limit};
    return std::nullopt;
  };
  if (left == 0) return stop(DataEnd::Reason::Clean, 0, 0);
  // Each read below is of bytes the checks before it found there.
  rtps::WireReader fixed = in_.window(frame_overhead, /*little_endian=*/true);
  const std::uint8_t tag = fixed.read_u8().value_or(0);
  if (tag != std::to_integer<std::uint8_t>(frame_tag)) return stop(DataEnd::Reason::BadTag, tag, 0);
  if (left < frame_overhead) return stop(DataEnd::Reason::FrameCut, frame_overhead, left);

  Frame frame;
  frame.time = fixed.read_u64().value_or(0);
  frame.participant_idx = fixed.read_u32().value_or(0);
  frame.topic_idx = fixed.read_u32().value_or(0);
  frame.kind = fixed.read_u8().value_or(0);
  const std::uint64_t length = fixed.read_u32().value_or(0);
  if (frame.participant_idx >= participant_count_)
    return stop(DataEnd::Reason::ParticipantIndex, frame.participant_idx, participant_count_);
  if (frame.topic_idx >= topic_count_)
    return stop(DataEnd::Reason::TopicIndex, frame.topic_idx, topic_count_);
  if (length > left - frame_overhead)
    return stop(DataEnd::Reason::FrameCut, frame_overhead + length, left);

  in_.seek(at + frame_overhead);
  frame.payload =
      in_.read_bytes(static_cast<std::size_t>(length)).value_or(std::span<const std::byte>{});
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
