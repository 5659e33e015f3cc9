// What a recording (.nbrlrec or MCAP, told apart by content) gives a replay: the topics to write,
// each with what the file says of its keyedness, and a source of their frames in file order.
// Opening walks the file once, to count the frames and to find how its data ends; the frames
// themselves are read again as they are played.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "discovery/type_lookup/type_exchange.hpp"
#include "tools/common/input.hpp"
#include "tools/replay/player.hpp"

namespace nimbrel::replay {

struct PlayTopic {
  std::string name;
  std::string type_name;
  std::optional<bool> keyed;  // as recorded; empty when the file does not say
  // The type an MCAP recording keeps for the topic's writer, so that readers that do not know it
  // can fetch it from the replay: the type information that writer announced (in the standard
  // form), and every type object the file keeps.
  std::optional<std::vector<std::byte>> type_information{};
  std::vector<discovery::TypeEntry> type_objects{};
  // The data representations its writer offered (XCDR2 only for a type that needs it); empty when
  // the file does not say: the runtime's own are offered.
  std::optional<std::vector<std::int16_t>> data_representations{};
};

struct Playlist {
  std::vector<PlayTopic> topics;  // frames name them by index, as their writer
  std::unique_ptr<FrameSource> frames;
  std::uint64_t count = 0;  // frames in one pass
  std::string damage;       // why the data stopped early; empty for a clean end
};

// `topics` chooses by name, all when empty. An error says why on one line, with the exit status.
std::expected<Playlist, tools::OpenError> open_playlist(const std::string& path,
                                                        std::span<const std::string> topics);

}  // namespace nimbrel::replay
