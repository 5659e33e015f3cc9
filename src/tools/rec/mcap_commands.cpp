#include "tools/rec/mcap_commands.hpp"

#include "tools/common/recorded_type_objects.hpp"
#include "tools/rec/recorded_types.hpp"

#include <algorithm>
#include <functional>
#include <ostream>
#include <queue>

#include "tools/common/input.hpp"
#include "tools/common/json.hpp"
#include "tools/rec/input.hpp"
#include "tools/rec/mcap_copy.hpp"
#include "tools/rec/mcap_info.hpp"
#include "tools/rec/progress.hpp"

namespace nimbrel::rec {
namespace {

using recorder::McapEnd;
using recorder::McapReader;

bool is_clean(const McapReader& reader) {
  return reader.end().reason == McapEnd::Reason::Clean;
}

std::expected<tools::MappedFile, int> open_mapped(const std::string& path, std::ostream& err) {
  auto file = tools::MappedFile::open(path);
  if (!file) {
    err << path << ": " << file.error().message() << "\n";
    return std::unexpected(2);
  }
  return std::move(*file);
}

// The output's writer, refused when `out` is one of `inputs`.
std::expected<std::unique_ptr<McapCopy>, int> create_output(const std::string& out,
                                                            std::span<const std::string> inputs,
                                                            std::ostream& err) {
  if (is_one_of(out, inputs)) {
    err << out << ": is an input; write to another file\n";
    return std::unexpected(2);
  }
  auto copy = McapCopy::create(out);
  if (!copy) {
    err << copy.error() << "\n";
    return std::unexpected(output_not_written);
  }
  return std::move(*copy);
}

// The file was chosen for its magic, but may have changed since.
std::expected<McapReader, int> open_reader(const std::string& path, const tools::MappedFile& file,
                                           std::ostream& err) {
  auto reader = McapReader::open(file.bytes());
  if (!reader) {
    err << path << ": not an MCAP file\n";
    return std::unexpected(2);
  }
  return std::move(*reader);
}

// What of a damaged input was used, on `err`; 1 when it was damaged, else 0.
int end_status(const std::string& path, const McapReader& reader, std::ostream& err) {
  if (is_clean(reader)) return 0;
  err << path << ": " << recorder::to_string(reader.end()) << "; the " << reader.messages()
      << " messages before byte " << reader.end().offset << " were used, the rest was not\n";
  return 1;
}

// The payload written in pieces: a large message never becomes one large string.
void write_payload(std::ostream& out, std::span<const std::byte> data, PayloadEncoding encoding) {
  const std::size_t piece = 3 * 16384;  // whole base64 groups
  for (std::size_t at = 0; at < data.size(); at += piece) {
    const auto part = data.subspan(at, std::min(piece, data.size() - at));
    out << (encoding == PayloadEncoding::Hex ? tools::to_hex(part) : tools::to_base64(part));
  }
}

bool selected(std::span<const std::string> topics, const std::string& topic) {
  return topics.empty() || std::ranges::find(topics, topic) != topics.end();
}

// Names given with --topic that no channel had: an error, as for .nbrlrec.
int unknown_topics(const std::string& path, std::span<const std::string> topics,
                   const McapReader& reader, std::ostream& err) {
  for (const auto& name : topics) {
    if (std::ranges::none_of(reader.channels(), [&](const auto& c) { return c.topic == name; })) {
      err << path << ": no topic " << tools::json_string(name) << " in the recording\n";
      return 2;
    }
  }
  return 0;
}

// Copies the messages `keep` accepts, then the channels and metadata met, into `copy`.
template <typename Keep>
std::expected<void, std::string> copy_all(McapCopy& copy, std::size_t source, McapReader& reader,
                                          std::uint64_t file_size, const char* label,
                                          std::span<const std::string> topics, Keep keep) {
  auto progress = Progress::for_terminal(label, file_size);
  while (auto message = reader.next()) {
    progress.update(reader.offset());
    if (auto done = copy.copy_metadata(source, reader); !done) return done;
    // `keep` sees every message: a cut's start is the recording's, not the chosen topics'.
    if (!keep(*message) || !selected(topics, reader.channel(message->channel)->topic)) continue;
    auto channel = copy.channel(source, reader, message->channel);
    if (!channel) return std::unexpected(channel.error());
    if (auto done = copy.write(*channel, *message); !done) return done;
  }
  for (const auto& channel : reader.channels()) {
    if (!selected(topics, channel.topic)) continue;
    if (auto done = copy.channel(source, reader, channel.id); !done)
      return std::unexpected(done.error());
  }
  if (auto done = copy.copy_metadata(source, reader); !done) return done;
  progress.finish();
  return {};
}

std::optional<std::uint64_t> start_time_metadata(const McapReader& reader) {
  for (const auto& metadata : reader.metadata()) {
    if (metadata.name != "nimbrel.recording") continue;
    for (const auto& [key, value] : metadata.values) {
      if (key == "start_time_ns") return std::strtoull(value.c_str(), nullptr, 10);
    }
  }
  return std::nullopt;
}

}  // namespace

bool is_mcap_file(const std::string& path) {
  auto file = tools::MappedFile::open(path);
  return file && recorder::is_mcap(file->bytes());
}

int run_mcap_info(const InfoOptions& options, std::ostream& out, std::ostream& err) {
  auto file = open_mapped(options.file, err);
  if (!file) return file.error();
  const auto summary = summarize_mcap(file->bytes());
  if (options.json) {
    out << to_json(summary) << "\n";
  } else {
    out << options.file << "\n" << to_text(summary);
  }
  return summary.end.reason == McapEnd::Reason::Clean ? 0 : 1;
}

int run_mcap_verify(const std::string& path, std::ostream& out, std::ostream& err) {
  auto file = open_mapped(path, err);
  if (!file) return file.error();
  auto reader = open_reader(path, *file, err);
  if (!reader) return reader.error();
  std::uint64_t last_time = 0;
  while (auto message = reader->next())
    last_time = std::max(last_time, message->log_time);
  if (is_clean(*reader)) {
    out << path << ": ok: MCAP, " << reader->messages() << " messages in " << reader->chunks()
        << " chunks, " << recorder::to_string(reader->end()) << "\n";
    return 0;
  }
  err << path << ": damaged: " << recorder::to_string(reader->end()) << "\n"
      << path << ": readable: " << reader->chunks() << " whole chunks, " << reader->messages()
      << " messages, bytes up to " << reader->end().offset;
  if (reader->messages() > 0) err << ", log times up to " << last_time;
  err << "; `nimbrel-rec recover` rewrites them with a summary\n";
  return 1;
}

int run_mcap_dump(const DumpOptions& options, std::ostream& out, std::ostream& err) {
  auto file = open_mapped(options.file, err);
  if (!file) return file.error();
  auto reader = open_reader(options.file, *file, err);
  if (!reader) return reader.error();
  const char* key = options.encoding == PayloadEncoding::Hex ? ",\"hex\":\"" : ",\"base64\":\"";
  std::vector<std::string> prefix(65536);  // by channel id: the quoted fields that repeat
  RecordedTypes types;
  std::uint64_t printed = 0;
  while (printed < options.limit) {
    auto message = reader->next();
    if (!message) break;
    const auto& channel = *reader->channel(message->channel);
    if (!selected(options.topics, channel.topic)) continue;
    std::string& fields = prefix[message->channel];
    if (fields.empty()) {
      fields = "{\"topic\":" + tools::json_string(channel.topic);
      const std::string writer(tools::metadata_value(channel.metadata, "dds.writer_guid"));
      if (!writer.empty()) fields += ",\"writer\":" + tools::json_string(writer);
      fields += ",\"channel\":" + std::to_string(channel.id);
    }
    out << fields << ",\"sequence\":" << message->sequence << ",\"log_time\":" << message->log_time
        << ",\"publish_time\":" << message->publish_time << ",\"size\":" << message->data.size();
    if (options.decode) {
      types.take(reader->metadata());
      const auto value = types.decode(channel, message->data);
      if (value) {
        out << ",\"value\":" << *value << "}\n";
        ++printed;
        continue;
      }
      out << ",\"decode_error\":" << tools::json_string(value.error());
    }
    out << key;
    write_payload(out, message->data, options.encoding);
    out << "\"}\n";
    ++printed;
  }
  if (printed == options.limit) return 0;
  if (int status = unknown_topics(options.file, options.topics, *reader, err); status != 0)
    return status;
  return end_status(options.file, *reader, err);
}

int run_mcap_cut(const CutOptions& options, std::ostream& err) {
  auto file = open_mapped(options.file, err);
  if (!file) return file.error();
  auto reader = open_reader(options.file, *file, err);
  if (!reader) return reader.error();
  auto copy = create_output(options.out, std::span(&options.file, 1), err);
  if (!copy) return copy.error();
  std::optional<std::uint64_t> start;
  const auto in_range = [&](const recorder::McapMessage& message) {
    if (!start) start = start_time_metadata(*reader).value_or(message.log_time);
    const std::uint64_t since = message.log_time >= *start ? message.log_time - *start : 0;
    return since >= options.from_ns && since < options.to_ns;
  };
  auto copied = copy_all(**copy, 0, *reader, file->bytes().size(), "cut", options.topics, in_range);
  if (copied) {
    // Channels are met as the walk goes: only at its end is a name known to be no topic.
    if (int status = unknown_topics(options.file, options.topics, *reader, err); status != 0) {
      copy->reset();  // drops the temporary file: a file of that name stays as it was
      return status;
    }
    copied = (*copy)->finish();
  }
  if (!copied) {
    err << copied.error() << "\n";
    return output_not_written;
  }
  return end_status(options.file, *reader, err);
}

int run_recover(const RecoverOptions& options, std::ostream& err) {
  auto file = open_mapped(options.file, err);
  if (!file) return file.error();
  auto reader = McapReader::open(file->bytes());
  if (!reader) {
    err << options.file << ": not an MCAP file; recover rewrites damaged MCAP recordings\n";
    return 2;
  }
  auto copy = create_output(options.out, std::span(&options.file, 1), err);
  if (!copy) return copy.error();
  auto copied = copy_all(**copy, 0, *reader, file->bytes().size(), "recover", {},
                         [](const auto&) { return true; });
  if (copied) copied = (*copy)->finish();
  if (!copied) {
    err << copied.error() << "\n";
    return output_not_written;
  }
  err << options.out << ": " << reader->messages() << " messages of " << reader->chunks()
      << " whole chunks, " << reader->channels().size() << " channels, with a summary\n";
  return end_status(options.file, *reader, err);
}

int run_mcap_merge(const MergeOptions& options, std::ostream& err) {
  struct Source {
    std::string path;
    tools::MappedFile file;
    std::optional<McapReader> reader;
    std::optional<recorder::McapMessage> current;
  };
  std::vector<Source> sources;
  sources.reserve(options.files.size());
  std::uint64_t total_bytes = 0;
  for (std::size_t i = 0; i < options.files.size(); ++i) {
    const auto& path = options.files[i];
    if (is_one_of(path, std::span(options.files).first(i))) {
      err << path << ": given twice (or a link to an input given before)\n";
      return 2;
    }
    auto file = open_mapped(path, err);
    if (!file) return file.error();
    total_bytes += file->bytes().size();
    sources.push_back({.path = path, .file = std::move(*file), .reader = {}, .current = {}});
    sources.back().reader = McapReader::open(sources.back().file.bytes());
    if (!sources.back().reader) {
      err << path << ": not an MCAP file; merge takes all MCAP or all .nbrlrec recordings\n";
      return 2;
    }
  }
  auto copy = create_output(options.out, options.files, err);
  if (!copy) return copy.error();
  // Equal times keep the order of the inputs, and each input its own order.
  const auto later = [&](std::size_t a, std::size_t b) {
    const auto ta = sources[a].current->log_time;
    const auto tb = sources[b].current->log_time;
    return ta != tb ? ta > tb : a > b;
  };
  std::priority_queue<std::size_t, std::vector<std::size_t>, decltype(later)> next(later);
  for (std::size_t i = 0; i < sources.size(); ++i) {
    sources[i].current = sources[i].reader->next();
    if (sources[i].current) next.push(i);
  }
  auto progress = Progress::for_terminal("merge", total_bytes);
  std::uint64_t walked = 0;
  const auto fail = [&](const std::string& message) {
    err << message << "\n";
    return output_not_written;
  };
  while (!next.empty()) {
    const std::size_t i = next.top();
    next.pop();
    Source& source = sources[i];
    if (auto done = (*copy)->copy_metadata(i, *source.reader); !done) return fail(done.error());
    auto channel = (*copy)->channel(i, *source.reader, source.current->channel);
    if (!channel) return fail(channel.error());
    if (auto done = (*copy)->write(*channel, *source.current); !done) return fail(done.error());
    const std::uint64_t before = source.reader->offset();
    source.current = source.reader->next();
    if (source.current) next.push(i);
    walked += source.reader->offset() - before;
    progress.update(walked);
  }
  for (std::size_t i = 0; i < sources.size(); ++i) {
    for (const auto& channel : sources[i].reader->channels()) {
      if (auto done = (*copy)->channel(i, *sources[i].reader, channel.id); !done)
        return fail(done.error());
    }
    if (auto done = (*copy)->copy_metadata(i, *sources[i].reader); !done) return fail(done.error());
  }
  if (auto done = (*copy)->finish(); !done) return fail(done.error());
  progress.finish();
  int status = 0;
  for (const auto& source : sources)
    status = std::max(status, end_status(source.path, *source.reader, err));
  return status;
}

}  // namespace nimbrel::rec
