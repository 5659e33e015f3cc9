// Writes MCAP files: messages gathered into uncompressed chunks, each followed by its message
// indexes, then a summary section (channels, statistics, chunk and metadata indexes) with summary
// offsets, so that readers can seek by time and channel without scanning the data.
// Usage: start, add the channels and metadata, write the messages, finish.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "recorder/writer.hpp"

namespace nimbrel::recorder {

using StringPairs = std::vector<std::pair<std::string, std::string>>;

struct McapChannel {
  std::uint16_t id = 0;
  std::string topic;
  std::string message_encoding;
  StringPairs metadata;
};

class McapWriter {
 public:
  // `chunk_size`: the uncompressed size past which a chunk is closed.
  explicit McapWriter(ByteSink& out, std::size_t chunk_size = std::size_t{1} << 20);

  std::expected<void, std::error_code> start(std::string_view profile, std::string_view library);
  std::expected<void, std::error_code> add_channel(const McapChannel& channel);
  std::expected<void, std::error_code> add_metadata(std::string_view name,
                                                    const StringPairs& values);
  std::expected<void, std::error_code> write_message(std::uint16_t channel, std::uint64_t log_time,
                                                     std::uint64_t publish_time,
                                                     std::span<const std::byte> data);
  std::expected<void, std::error_code> finish();

 private:
  struct ChunkIndex {
    std::uint64_t start_time = 0;
    std::uint64_t end_time = 0;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::map<std::uint16_t, std::uint64_t> message_index_offsets;
    std::uint64_t message_index_length = 0;
    std::uint64_t records_size = 0;
  };
  struct MetadataIndex {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::string name;
  };

  std::expected<void, std::error_code> emit(std::span<const std::byte> bytes);
  std::expected<void, std::error_code> close_chunk();

  ByteSink& out_;
  std::size_t chunk_size_;
  std::uint64_t offset_ = 0;
  std::uint32_t crc_ = 0;  // of all bytes emitted since the start of the data or summary section

  std::vector<McapChannel> channels_;
  // Indexed by channel id: a map lookup per message would cost more than the copy of its bytes.
  struct ChannelState {
    bool known = false;
    std::uint32_t sequence = 0;
    std::uint64_t messages = 0;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> chunk_entries;  // (time, offset)
  };
  std::vector<ChannelState> state_;
  std::uint64_t message_count_ = 0;
  std::uint64_t first_time_ = 0;
  std::uint64_t last_time_ = 0;

  std::vector<std::byte> chunk_;               // the open chunk's records
  std::vector<std::uint16_t> chunk_channels_;  // those with entries in the open chunk
  std::uint64_t chunk_start_time_ = 0;
  std::uint64_t chunk_end_time_ = 0;

  std::vector<ChunkIndex> chunk_indexes_;
  std::vector<MetadataIndex> metadata_indexes_;
  std::vector<std::byte> scratch_;
};

}  // namespace nimbrel::recorder
