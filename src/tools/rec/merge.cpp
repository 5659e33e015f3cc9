// `merge`: the frames of several recordings, one file, in time order. Topics are joined by name
// and type, participants by name and GUID; the earliest start becomes the output's start and
// every frame keeps its wall-clock time. Frames with equal times keep the order of the inputs,
// and each input's frames keep their own order.
#include <array>
#include <functional>
#include <limits>
#include <map>
#include <ostream>
#include <queue>
#include <span>

#include "foundation/saturating.hpp"
#include "tools/rec/commands.hpp"
#include "tools/rec/input.hpp"
#include "tools/rec/output_file.hpp"
#include "tools/rec/progress.hpp"

namespace nimbrel::rec {
namespace {

// The index of `item` in `list`, appended if it is not there yet. `where` indexes `list` by
// `key`, so that joining many inputs' topics costs n log n rather than n squared.
template <typename T, typename Key>
std::uint32_t index_in(std::vector<T>& list, std::map<Key, std::uint32_t>& where, const T& item,
                       Key key) {
  const auto [it, added] =
      where.try_emplace(std::move(key), static_cast<std::uint32_t>(list.size()));
  if (added) list.push_back(item);
  return it->second;
}

struct Source {
  const tools::Input* input;
  recorder::FrameReader frames;
  std::optional<recorder::Frame> current;
  std::uint64_t time = 0;  // of `current`, since the Unix epoch
  std::vector<std::uint32_t> participant_index;
  std::vector<std::uint32_t> topic_index;
  std::uint64_t done = 0;  // bytes of the input walked so far

  void advance() {
    current = frames.next();
    if (!current) return;
    time = saturating_add(input->header.header.start_ns, current->time);
    done = input->offset_after(*current);
  }
};

}  // namespace

int run_merge(const MergeOptions& options, std::ostream& err) {
  std::vector<tools::Input> inputs;
  inputs.reserve(options.files.size());
  std::uint64_t total_bytes = 0;
  for (const auto& file : options.files) {
    auto input = tools::open_input(file);
    if (!input) {
      err << input.error().message << "\n";
      return input.error().status;
    }
    total_bytes += input->file.bytes().size();
    inputs.push_back(std::move(*input));
  }
  // The same recording twice, or a link to it, would double every one of its frames.
  for (std::size_t i = 1; i < options.files.size(); ++i) {
    if (is_one_of(options.files[i], std::span(options.files).first(i))) {
      err << options.files[i] << ": given twice (or a link to an input given before)\n";
      return 2;
    }
  }
  if (is_one_of(options.out, options.files)) {
    err << options.out << ": is one of the inputs; write the merge to another file\n";
    return 2;
  }

  recorder::Header header;
  std::map<std::pair<std::string, std::array<std::uint8_t, 16>>, std::uint32_t> participant_at;
  std::map<std::pair<std::string, std::string>, std::uint32_t> topic_at;
  std::vector<Source> sources;
  bool any_start = false;
  for (const auto& input : inputs) {
    const auto& in = input.header.header;
    Source source{.input = &input,
                  .frames = input.frames(),
                  .current = {},
                  .participant_index = {},
                  .topic_index = {}};
    for (const auto& participant : in.participants) {
      source.participant_index.push_back(index_in(header.participants, participant_at, participant,
                                                  std::pair{participant.name, participant.guid}));
    }
    for (const auto& topic : in.topics) {
      source.topic_index.push_back(
          index_in(header.topics, topic_at, topic, std::pair{topic.name, topic.type_name}));
    }
    // An empty input has no header and so no start of its own.
    if (input.file.bytes().empty()) continue;
    header.start_ns = any_start ? std::min(header.start_ns, in.start_ns) : in.start_ns;
    any_start = true;
    sources.push_back(std::move(source));
  }

  auto output = create_recording(options.out, header);
  if (!output) {
    err << output.error() << "\n";
    return output_not_written;
  }
  const auto later = [&](std::size_t a, std::size_t b) {
    return sources[a].time != sources[b].time ? sources[a].time > sources[b].time : a > b;
  };
  std::priority_queue<std::size_t, std::vector<std::size_t>, decltype(later)> next(later);
  for (std::size_t i = 0; i < sources.size(); ++i) {
    sources[i].advance();
    if (sources[i].current) next.push(i);
  }
  auto progress = Progress::for_terminal("merge", total_bytes);
  std::uint64_t walked = 0;  // bytes of all inputs taken as frames so far
  while (!next.empty()) {
    const std::size_t i = next.top();
    next.pop();
    Source& source = sources[i];
    recorder::Frame frame = *source.current;
    frame.time = source.time - header.start_ns;
    frame.participant_idx = source.participant_index[frame.participant_idx];
    frame.topic_idx = source.topic_index[frame.topic_idx];
    if (auto written = write_frame(*output, options.out, frame); !written) {
      err << written.error() << "\n";
      return output_not_written;
    }
    source.input->release(frame.payload);
    const std::uint64_t before = source.done;
    source.advance();
    if (source.current) next.push(i);
    walked += source.done - before;
    progress.update(walked);
  }
  if (auto finished = finish_recording(*output, options.out); !finished) {
    err << finished.error() << "\n";
    return output_not_written;
  }
  progress.finish();
  int status = 0;
  for (const auto& source : sources)
    status = std::max(status, end_status(*source.input, source.frames.end(), err));
  return status;
}

}  // namespace nimbrel::rec
