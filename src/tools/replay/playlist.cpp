#include "tools/replay/playlist.hpp"

#include <algorithm>
#include <map>
#include <utility>

#include "recorder/mcap_reader.hpp"
#include "tools/common/args.hpp"
#include "tools/common/recorded_type_objects.hpp"
#include "types/type_information.hpp"

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

// The messages of the chosen channels of an MCAP file, their data as recorded: header included.
class McapFrames final : public FrameSource {
 public:
  McapFrames(tools::MappedFile file, recorder::McapReader reader,
             std::vector<std::optional<std::size_t>> writer_of)
      : file_(std::move(file)), reader_(std::move(reader)), writer_of_(std::move(writer_of)) {}

  std::optional<PlayFrame> next() override {
    while (auto message = reader_.next()) {
      if (message->channel >= writer_of_.size() || !writer_of_[message->channel]) continue;
      return PlayFrame{.writer = *writer_of_[message->channel],
                       .time_ns = message->log_time,
                       .encapsulation = {},
                       .data = message->data};
    }
    return std::nullopt;
  }
  // The file opened as MCAP once, and its mapping does not move.
  void rewind() override { reader_ = std::move(*recorder::McapReader::open(file_.bytes())); }

 private:
  tools::MappedFile file_;
  recorder::McapReader reader_;
  std::vector<std::optional<std::size_t>> writer_of_;  // by channel id; empty: not played
};

// "0,2" as the recorder writes them; nothing for an empty or malformed list.
std::optional<std::vector<std::int16_t>> representations(std::string_view text) {
  std::vector<std::int16_t> ids;
  while (!text.empty()) {
    const auto comma = text.find(',');
    const auto id = tools::parse_number<std::int16_t>(text.substr(0, comma));
    if (!id) return std::nullopt;
    ids.push_back(*id);
    text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
  }
  if (ids.empty()) return std::nullopt;
  return ids;
}

// The type information is announced only where it names the type objects the file keeps (a Fast
// DDS writer's names Fast DDS's own hashes of them), and always in the standard form.
void add_type(PlayTopic& topic, std::span<const tools::RecordedTypeObject> recorded,
              const recorder::McapChannel& channel) {
  const auto top =
      tools::identifier_from_hex(tools::metadata_value(channel.metadata, "dds.type_identifier"));
  if (!top) return;
  std::vector<tools::RecordedTypeObject> objects(recorded.begin(), recorded.end());
  const auto is_top = [&](const tools::RecordedTypeObject& o) { return o.id == *top; };
  const auto at = std::ranges::find_if(objects, is_top);
  if (at == objects.end()) return;
  std::rotate(objects.begin(), at, at + 1);
  for (auto& object : objects)
    topic.type_objects.push_back({std::move(object.id), std::move(object.bytes)});
  const auto announced =
      tools::from_hex(tools::metadata_value(channel.metadata, "dds.type_information"));
  if (!announced || announced->empty()) return;
  const auto information = types::decode_type_information(*announced);
  if (!information || information->complete.typeid_with_size.type_id != *top) return;
  if (auto standard = types::encode_type_information(*information))
    topic.type_information = std::move(*standard);
}

// The recorder's channel metadata names the type and keyedness; a foreign file names the type by
// its schema at most.
PlayTopic topic_of(const recorder::McapReader& reader, const recorder::McapChannel& channel) {
  PlayTopic topic{
      .name = channel.topic,
      .type_name = std::string(tools::metadata_value(channel.metadata, "dds.type_name")),
      .keyed = {}};
  if (topic.type_name.empty() && channel.schema_id != 0) {
    if (const auto* schema = reader.schema(channel.schema_id)) topic.type_name = schema->name;
  }
  const auto keyed = tools::metadata_value(channel.metadata, "dds.keyed");
  if (keyed == "true" || keyed == "false") topic.keyed = keyed == "true";
  topic.data_representations =
      representations(tools::metadata_value(channel.metadata, "dds.representations"));
  return topic;
}

// One writer per topic and type, however many channels (recorded writers) it has; only "cdr"
// channels hold DDS samples.
std::expected<Playlist, tools::OpenError> open_mcap(const std::string& path, tools::MappedFile file,
                                                    std::span<const std::string> names) {
  auto reader = recorder::McapReader::open(file.bytes());
  if (!reader) return std::unexpected(refused(path, "not an MCAP file"));
  std::vector<std::uint64_t> messages;  // by channel id
  while (auto message = reader->next()) {
    if (message->channel >= messages.size()) messages.resize(message->channel + std::size_t{1});
    ++messages[message->channel];
  }
  Playlist list;
  if (reader->end().reason != recorder::McapEnd::Reason::Clean)
    list.damage = recorder::to_string(reader->end());
  std::map<std::pair<std::string, std::string>, std::size_t> writer_at;
  std::vector<std::optional<std::size_t>> writer_of;
  const auto types = tools::recorded_type_objects(reader->metadata());
  for (const auto& channel : reader->channels()) {
    if (channel.message_encoding != "cdr") continue;
    if (!names.empty() && std::ranges::find(names, channel.topic) == names.end()) continue;
    PlayTopic topic = topic_of(*reader, channel);
    const auto [at, added] =
        writer_at.try_emplace({topic.name, topic.type_name}, list.topics.size());
    if (added) {
      // The topic's first channel (recorded writer) names the type its writer announces.
      add_type(topic, types, channel);
      list.topics.push_back(std::move(topic));
    }
    if (writer_of.size() <= channel.id) writer_of.resize(channel.id + std::size_t{1});
    writer_of[channel.id] = at->second;
    if (channel.id < messages.size()) list.count += messages[channel.id];
  }
  for (const auto& name : names) {
    if (std::ranges::none_of(list.topics, [&](const PlayTopic& t) { return t.name == name; }))
      return std::unexpected(refused(path, "no topic \"" + name + "\" in the recording"));
  }
  list.frames =
      std::make_unique<McapFrames>(std::move(file), std::move(*reader), std::move(writer_of));
  return list;
}

}  // namespace

std::expected<Playlist, tools::OpenError> open_playlist(const std::string& path,
                                                        std::span<const std::string> topics) {
  // Chosen by content, whatever the file's name.
  auto file = tools::MappedFile::open(path);
  if (file && recorder::is_mcap(file->bytes())) return open_mcap(path, std::move(*file), topics);
  return open_recording(path, topics);
}

}  // namespace nimbrel::replay
