// `export --mcap`: one MCAP channel per chosen topic, every frame a message stamped with its
// wall-clock receive time, and the recording's header as metadata. Payloads are copied as
// recorded: the recorder keeps samples without their encapsulation header, and the channel says
// so rather than guessing one.
#include <limits>
#include <ostream>

#include "foundation/saturating.hpp"
#include "recorder/mcap_writer.hpp"
#include "tools/common/json.hpp"
#include "tools/rec/commands.hpp"
#include "tools/rec/input.hpp"
#include "tools/rec/output_file.hpp"
#include "tools/rec/progress.hpp"

namespace nimbrel::rec {
namespace {

using recorder::McapChannel;
using recorder::McapWriter;
using recorder::StringPairs;

// MCAP strings are UTF-8: a name that is not gets U+FFFD for its bad bytes, and its raw bytes
// as hex under `key` + "_hex", so that nothing of it is lost.
void add_name(StringPairs& out, const std::string& key, const std::string& name) {
  std::string text = tools::utf8_lossy(name);
  const bool changed = text != name;
  out.emplace_back(key, std::move(text));
  if (changed) out.emplace_back(key + "_hex", tools::to_hex(std::as_bytes(std::span(name))));
}

StringPairs header_metadata(const recorder::Header& header) {
  StringPairs out{{"format_version", std::to_string(recorder::format_version)},
                  {"start_ns", std::to_string(header.start_ns)}};
  for (std::size_t i = 0; i < header.participants.size(); ++i) {
    const auto& participant = header.participants[i];
    const std::string key = "participant." + std::to_string(i);
    add_name(out, key + ".name", participant.name);
    out.emplace_back(key + ".guid", tools::to_hex(std::as_bytes(std::span(participant.guid))));
  }
  for (std::size_t i = 0; i < header.topics.size(); ++i) {
    const std::string key = "topic." + std::to_string(i);
    add_name(out, key + ".name", header.topics[i].name);
    add_name(out, key + ".type", header.topics[i].type_name);
  }
  return out;
}

}  // namespace

int run_export(const ExportOptions& options, std::ostream& err) {
  auto opened = open_selected(options.file, options.mcap, options.topics, err);
  if (!opened) return opened.error();
  const tools::Input& input = opened->input;
  const std::vector<bool>& selected = opened->topics;
  const auto& header = input.header.header;
  std::vector<McapChannel> channels;
  std::vector<std::uint16_t> channel_of(header.topics.size());
  std::vector<std::uint32_t> sequence_of(header.topics.size());  // counted per channel from 0
  for (std::size_t i = 0; i < header.topics.size(); ++i) {
    if (!selected[i]) continue;
    if (channels.size() == std::numeric_limits<std::uint16_t>::max()) {
      err << options.file
          << ": more topics than an MCAP file has channel ids; choose with --topic\n";
      return 2;
    }
    channel_of[i] = static_cast<std::uint16_t>(channels.size() + 1);
    StringPairs metadata;
    add_name(metadata, "type_name", header.topics[i].type_name);
    metadata.emplace_back("encapsulation_header", "not recorded");
    StringPairs topic;
    add_name(topic, "topic", header.topics[i].name);
    if (topic.size() > 1) metadata.push_back(topic.back());
    channels.push_back({.id = channel_of[i],
                        .topic = topic.front().second,
                        .message_encoding = "cdr",
                        .metadata = std::move(metadata)});
  }

  auto file = OutputFile::create(options.mcap);
  if (!file) {
    err << options.mcap << ": " << file.error().message() << "\n";
    return output_not_written;
  }
  McapWriter writer(**file);
  const auto failed = [&](std::error_code error) {
    err << options.mcap << ": " << error.message() << "\n";
    return output_not_written;
  };
  if (auto done = writer.start("", "nimbrel-rec"); !done) return failed(done.error());
  for (const auto& channel : channels) {
    if (auto done = writer.add_channel(channel); !done) return failed(done.error());
  }
  if (auto done = writer.add_metadata("nbrlrec_header", header_metadata(header)); !done)
    return failed(done.error());

  auto progress = Progress::for_terminal("export", input.file.bytes().size());
  auto frames = input.frames();
  while (auto frame = frames.next()) {
    progress.update(input.offset_after(*frame));
    if (!selected[frame->topic_idx]) continue;
    const std::uint64_t time = saturating_add(header.start_ns, frame->time);
    auto done = writer.write_message(channel_of[frame->topic_idx], sequence_of[frame->topic_idx]++,
                                     time, time, frame->payload);
    if (!done) return failed(done.error());
    input.release(frame->payload);
  }
  if (auto done = writer.finish(); !done) return failed(done.error());
  if (auto done = (*file)->commit(); !done) return failed(done.error());
  progress.finish();
  return end_status(input, frames.end(), err);
}

}  // namespace nimbrel::rec
