#include "tools/replay/playlist.hpp"

namespace nimbrel::replay {
namespace {

// CDR little-endian, options 0: how the recorder's peers encode their samples; a .nbrlrec
// recording keeps only the body.
constexpr std::byte cdr_le_header[] = {std::byte{0x00}, std::byte{0x01}, std::byte{0x00},
                                       std::byte{0x00}};

tools::OpenError refused(const std::string& path, const std::string& why, int status = 2) {
  return {.status = status, .message = path + ": " + why};
}

// The samples of the chosen topics of a .nbrlrec recording, walked from the mapped file.
class RecordingFrames final : public FrameSource {
 public:
  RecordingFrames(tools::Input input, std::vector<std::optional<std::size_t>> writer_of)
      : input_(std::move(input)), writer_of_(std::move(writer_of)), reader_(input_.frames()) {}

  std::optional<PlayFrame> next() override {
    while (auto frame = reader_.next()) {
      const auto writer = writer_of_[frame->topic_idx];
      if (frame->kind != 0 || !writer) continue;
      return PlayFrame{.writer = *writer,
                       .time_ns = frame->time,
                       .encapsulation = cdr_le_header,
                       .data = frame->payload};
    }
    return std::nullopt;
  }
  void rewind() override { reader_ = input_.frames(); }
  const recorder::DataEnd& end() const { return reader_.end(); }

 private:
  tools::Input input_;
  std::vector<std::optional<std::size_t>> writer_of_;  // by topic index; empty: not played
  recorder::FrameReader reader_;
};

std::expected<Playlist, tools::OpenError> open_recording(const std::string& path,
                                                         std::span<const std::string> names) {
  auto input = tools::open_input(path);
  if (!input) return std::unexpected(input.error());
  if (input->file.bytes().empty())
    return std::unexpected(refused(path, "empty recording, nothing to replay"));
  const auto& header = input->header.header;
  auto selected = tools::select_topics(header, names);
  if (!selected) return std::unexpected(refused(path, selected.error()));
  Playlist list;
  std::vector<std::optional<std::size_t>> writer_of(header.topics.size());
  for (std::size_t i = 0; i < header.topics.size(); ++i) {
    if (!(*selected)[i]) continue;
    writer_of[i] = list.topics.size();
    list.topics.push_back({.name = header.topics[i].name,
                           .type_name = header.topics[i].type_name,
                           .keyed = std::nullopt});
  }
  auto frames = std::make_unique<RecordingFrames>(std::move(*input), std::move(writer_of));
  while (frames->next())
    ++list.count;
  if (frames->end().reason != recorder::DataEnd::Reason::Clean)
    list.damage = recorder::to_string(frames->end());
  list.frames = std::move(frames);
  return list;
}

}  // namespace

std::expected<Playlist, tools::OpenError> open_playlist(const std::string& path,
                                                        std::span<const std::string> topics) {
  return open_recording(path, topics);
}

}  // namespace nimbrel::replay
