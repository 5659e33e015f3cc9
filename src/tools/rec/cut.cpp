// `cut`: a smaller recording with the frames of a time range and of chosen topics. The header
// keeps the start time and the participants, so times and participant indices stay as they were;
// only the chosen topics remain, renumbered in their order.
#include <ostream>

#include "tools/rec/commands.hpp"
#include "tools/rec/input.hpp"
#include "tools/rec/output_file.hpp"
#include "tools/rec/progress.hpp"

namespace nimbrel::rec {

int run_cut(const CutOptions& options, std::ostream& err) {
  auto opened = open_selected(options.file, options.out, options.topics, err);
  if (!opened) return opened.error();
  const tools::Input& input = opened->input;
  const std::vector<bool>& selected = opened->topics;
  const auto& header = input.header.header;
  recorder::Header out_header{
      .participants = header.participants, .topics = {}, .start_ns = header.start_ns};
  std::vector<std::uint32_t> new_index(header.topics.size());
  for (std::size_t i = 0; i < header.topics.size(); ++i) {
    if (!selected[i]) continue;
    new_index[i] = static_cast<std::uint32_t>(out_header.topics.size());
    out_header.topics.push_back(header.topics[i]);
  }

  auto output = create_recording(options.out, out_header);
  if (!output) {
    err << output.error() << "\n";
    return output_not_written;
  }
  auto progress = Progress::for_terminal("cut", input.file.bytes().size());
  auto frames = input.frames();
  while (auto frame = frames.next()) {
    progress.update(input.offset_after(*frame));
    if (!selected[frame->topic_idx] || frame->time < options.from_ns ||
        frame->time >= options.to_ns)
      continue;
    frame->topic_idx = new_index[frame->topic_idx];
    if (auto written = write_frame(*output, options.out, *frame); !written) {
      err << written.error() << "\n";
      return output_not_written;
    }
    input.release(frame->payload);
  }
  if (auto finished = finish_recording(*output, options.out); !finished) {
    err << finished.error() << "\n";
    return output_not_written;
  }
  progress.finish();
  return end_status(input, frames.end(), err);
}

}  // namespace nimbrel::rec
