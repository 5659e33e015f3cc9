// `info`, `verify` and `dump`: walks over a recording that print text and write no file.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>

#include "foundation/saturating.hpp"
#include "tools/common/json.hpp"
#include "tools/rec/commands.hpp"
#include "tools/rec/info.hpp"
#include "tools/rec/input.hpp"

namespace nimbrel::rec {
namespace {

// In pieces, so that a large payload never needs its whole text in memory, and its pages are
// given back as they are done; a multiple of three bytes keeps base64 from padding before the end.
void write_encoded(std::ostream& out, const tools::Input& input, std::span<const std::byte> payload,
                   PayloadEncoding encoding) {
  constexpr std::size_t piece = 3 << 20;
  for (std::size_t at = 0; at < payload.size(); at += piece) {
    const auto part = payload.subspan(at, std::min(piece, payload.size() - at));
    out << (encoding == PayloadEncoding::Hex ? tools::to_hex(part) : tools::to_base64(part));
    input.release(part);
  }
}

}  // namespace

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
  // Whole frames this system never writes: another kind than 0, or a time that wrapped below
  // the recording's start. The first is named.
  std::string odd;
  while (auto frame = frames.next()) {
    ++count;
    if (!odd.empty()) continue;
    const auto at = input->offset_after(*frame) - frame->payload.size() - recorder::frame_overhead;
    if (frame->kind != 0) {
      odd = "frame " + std::to_string(count) + " at byte " + std::to_string(at) + " has kind " +
            std::to_string(frame->kind) + ", not 0";
    } else if (frame->time == std::numeric_limits<std::uint64_t>::max()) {
      odd = "frame " + std::to_string(count) + " at byte " + std::to_string(at) +
            " has the time 2^64-1, before the recording's start";
    }
  }
  if (!odd.empty() && frames.end().reason == recorder::DataEnd::Reason::Clean) {
    err << file << ": " << odd << " (" << count << " whole frames)\n";
    return 1;
  }
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
  if (options.decode) {
    err << options.file
        << ": a .nbrlrec recording keeps no types; --decode reads MCAP recordings\n";
    return usage_error;
  }
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
        << ",\"kind\":" << unsigned{frame->kind} << ",\"size\":" << frame->payload.size() << key;
    write_encoded(out, input, frame->payload, options.encoding);
    out << "\"}\n";
    ++printed;
  }
  return 0;
}

}  // namespace nimbrel::rec
