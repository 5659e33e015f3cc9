// Writes MCAP files: messages gathered into chunks (uncompressed, LZ4 or Zstandard), each followed
// by its message indexes, then a summary section (schemas, channels, statistics, chunk and metadata
// indexes) with summary offsets, so that readers can seek by time and channel without scanning the
// data. Usage: start, add the schemas, channels and metadata, write the messages, finish; channels
// may be added while messages are written. The writer reads no clock: a caller that wants idle
// chunks on disk calls `close_chunk_if_older`.
//
// The file only ever grows by whole records: schemas and channels go out with the next chunk, and
// after a failed write the sink is cut back to the last whole record (or before the next write),
// so a recording that meets a full disk stays readable and can go on once there is room. A chunk
// whose write fails is dropped with its messages; `take_dropped` tells how many per channel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "recorder/mcap_compression.hpp"
#include "recorder/mcap_records.hpp"
#include "recorder/writer.hpp"

namespace nimbrel::recorder {

struct DroppedMessages {
  std::uint16_t channel = 0;
  std::uint64_t count = 0;
  friend bool operator==(const DroppedMessages&, const DroppedMessages&) = default;
};

struct McapOptions {
  std::size_t chunk_size = std::size_t{1} << 20;  // uncompressed, past which a chunk is closed
  // A message this long after the chunk's first one starts the next chunk; 0: no time bound.
  std::uint64_t max_chunk_duration_ns = 0;
  McapCompression compression = McapCompression::None;
  // Without, every CRC field is 0, which readers take as "not computed": a pass over every byte
  // saved, at 4 to 5 GB/s the cost of writing an uncompressed file.
  bool crcs = true;
};

class McapWriter {
 public:
  explicit McapWriter(ByteSink& out, McapOptions options = {});

  std::expected<void, std::error_code> start(std::string_view profile, std::string_view library);
  // `id` is not 0, which channels use to say they have no schema.
  std::expected<void, std::error_code> add_schema(std::uint16_t id, std::string_view name,
                                                  std::string_view encoding,
                                                  std::span<const std::byte> data);
  // Its schema, if any, was added before.
  std::expected<void, std::error_code> add_channel(const McapChannel& channel);
  std::expected<void, std::error_code> add_metadata(std::string_view name,
                                                    const StringPairs& values);
  std::expected<void, std::error_code> write_message(std::uint16_t channel, std::uint32_t sequence,
                                                     std::uint64_t log_time,
                                                     std::uint64_t publish_time,
                                                     std::span<const std::byte> data);
  // Closes the open chunk when `now_ns` (a log time) is past its time bound, so that a writer
  // killed while no message comes loses nothing already written.
  std::expected<void, std::error_code> close_chunk_if_older(std::uint64_t now_ns);
  std::expected<void, std::error_code> finish();

  // The messages of the chunks dropped since the last call, per channel, in the order dropped.
  std::vector<DroppedMessages> take_dropped();
  // Messages in chunks written whole, of all channels or of one.
  std::uint64_t messages_written() const { return written_; }
  std::uint64_t messages_written(std::uint16_t channel) const {
    return channel < state_.size() ? state_[channel].written : 0;
  }
  // Messages of a channel in the open chunk.
  std::size_t open_messages(std::uint16_t channel) const {
    return channel < state_.size() ? state_[channel].chunk_entries.size() : 0;
  }
  // Bytes surely in the sink: the file's length once no cut is pending.
  std::uint64_t bytes_written() const { return offset_; }

 private:
  struct ChunkIndex {
    std::uint64_t start_time = 0;
    std::uint64_t end_time = 0;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::map<std::uint16_t, std::uint64_t> message_index_offsets;
    std::uint64_t message_index_length = 0;
    std::uint64_t compressed_size = 0;
    std::uint64_t records_size = 0;
  };
  struct MetadataIndex {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::string name;
  };

  struct Piece {
    std::span<const std::byte> bytes;
    std::optional<std::uint32_t> crc{};  // of `bytes`, when already known
  };
  // Writes the pieces in one go, or cuts the sink back to where it was and fails.
  std::expected<void, std::error_code> emit(std::span<const Piece> pieces);
  std::expected<void, std::error_code> emit_one(std::span<const std::byte> bytes);
  std::expected<void, std::error_code> emit_with_pending(std::span<const std::byte> bytes);
  // `tail` ends the chunk's records without being copied into it: a large message's data.
  std::expected<void, std::error_code> close_chunk(std::span<const std::byte> tail = {});
  void clear_chunk();
  std::unexpected<std::error_code> drop_chunk(std::error_code error);
  bool is_past_bound(std::uint64_t time) const;

  ByteSink& out_;
  McapOptions options_;
  ChunkCompressor compressor_;
  std::uint64_t offset_ = 0;  // bytes of whole records in the sink
  std::uint32_t crc_ = 0;     // of all bytes emitted since the start of the data or summary section

  std::vector<McapSchema> schemas_;
  std::vector<McapChannel> channels_;
  // Indexed by channel id: a map lookup per message would cost more than the copy of its bytes.
  struct ChannelState {
    bool known = false;
    std::uint64_t messages = 0;
    std::uint64_t written = 0;  // of `messages`, those in chunks written whole
    std::vector<std::pair<std::uint64_t, std::uint64_t>> chunk_entries;  // (time, offset)
  };
  std::vector<ChannelState> state_;
  std::uint64_t message_count_ = 0;
  std::uint64_t written_ = 0;
  std::uint64_t first_time_ = 0;
  std::uint64_t last_time_ = 0;

  std::vector<std::byte> chunk_;               // the open chunk's records
  std::vector<std::uint16_t> chunk_channels_;  // those with entries in the open chunk
  std::uint64_t chunk_first_time_ = 0;  // its first message's: the time bound counts from there
  std::uint64_t chunk_start_time_ = 0;
  std::uint64_t chunk_end_time_ = 0;

  std::vector<ChunkIndex> chunk_indexes_;
  std::vector<MetadataIndex> metadata_indexes_;
  std::vector<std::byte> pending_;  // schema and channel records not yet written
  bool cut_pending_ = false;        // a failed write may have left bytes past `offset_`
  std::vector<DroppedMessages> dropped_;
  std::vector<std::byte> scratch_;
  std::vector<std::byte> indexes_;  // the message indexes of the chunk being closed
  std::vector<std::span<const std::byte>> spans_;
};

}  // namespace nimbrel::recorder
