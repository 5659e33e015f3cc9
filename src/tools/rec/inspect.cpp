// `info`, `verify` and `dump`: walks over a recording that print text and write no file.
#include <cstdint>
#include <ostream>

#include "foundation/saturating.hpp"
#include "tools/common/json.hpp"
#include "tools/rec/commands.hpp"
#include "tools/rec/info.hpp"
#include "tools/rec/input.hpp"

namespace nimbrel::rec {

int run_info(const InfoOptions& options, std::ostream& out, std::ostream& err) {
  auto input = tools::open_input(options.file);
  if (!input) {
    err << input.error().message << "\n";
    return input.error().status;
  }
  const auto summary = summarize(*input, options.sequence);
  if (options.json) {
    out << to_json(summary, options.sequence) << "\n";
  } else {
    out << options.file << "\n" << to_text(summary, options.sequence);
  }
  return summary.clean_end ? 0 : 1;
}

int run_verify(const std::string& file, std::ostream& out, std::ostream& err) {
  auto input = tools::open_input(file);
  if (!input) {
    err << input.error().message << "\n";
    return input.error().status;
  }
  auto frames = input->frames();
  std::uint64_t count = 0;
  while (frames.next())
    ++count;
  if (frames.end().reason != recorder::DataEnd::Reason::Clean) {
    err << file << ": " << recorder::to_string(frames.end()) << " (after " << count
        << " whole frames)\n";
    return 1;
  }
  if (input->file.bytes().empty()) {
    out << file << ": ok: empty, as the recorder leaves a file that received no sample\n";
  } else {
    out << file << ": ok: " << count << " frames, " << recorder::to_string(frames.end()) << "\n";
  }
  return 0;
}

int run_dump(const DumpOptions& options, std::ostream& out, std::ostream& err) {
  auto opened = open_selected(options.file, "", options.topics, err);
  if (!opened) return opened.error();
  const tools::Input& input = opened->input;
  const std::vector<bool>& selected = opened->topics;
  const auto& header = input.header.header;
  // Quoted once: names repeat on every line.
  std::vector<std::string> topic_fields;
  for (const auto& topic : header.topics)
    topic_fields.push_back(",\"topic\":" + tools::json_string(topic.name) +
                           ",\"type\":" + tools::json_string(topic.type_name));
  const char* key = options.encoding == PayloadEncoding::Hex ? ",\"hex\":\"" : ",\"base64\":\"";
  auto frames = input.frames();
  std::uint64_t printed = 0;
  while (printed < options.limit) {
    auto frame = frames.next();
    if (!frame) return end_status(input, frames.end(), err);
    if (!selected[frame->topic_idx]) continue;
    out << "{\"time_ns\":" << frame->time
        << ",\"unix_ns\":" << saturating_add(header.start_ns, frame->time)
        << ",\"participant\":" << frame->participant_idx << topic_fields[frame->topic_idx]
        << ",\"kind\":" << unsigned{frame->kind} << ",\"size\":" << frame->payload.size() << key
        << (options.encoding == PayloadEncoding::Hex ? tools::to_hex(frame->payload)
                                                     : tools::to_base64(frame->payload))
        << "\"}\n";
    ++printed;
  }
  return 0;
}

}  // namespace nimbrel::rec
