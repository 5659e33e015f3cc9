// Reads MCAP files back, in file order, over the bytes of a mapped file: the header, then every
// record, chunks decompressed one at a time into a buffer the reader reuses. It yields the messages
// and learns the schemas, channels and metadata on the way; when the data stops it says where and
// why, and everything before that point stays readable, so a file cut by a killed recorder still
// gives its whole chunks. Usage: `open`, then `next()` until empty, then `end()`.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "recorder/mcap_writer.hpp"

namespace nimbrel::recorder {

// Whether `data` starts as an MCAP file does: the tools pick the format by content.
bool is_mcap(std::span<const std::byte> data);

struct McapMetadata {
  std::string name;
  StringPairs values;
};

// `data` borrows from the file or from the reader's chunk buffer: valid until the next `next()`.
struct McapMessage {
  std::uint16_t channel = 0;
  std::uint32_t sequence = 0;
  std::uint64_t log_time = 0;
  std::uint64_t publish_time = 0;
  std::span<const std::byte> data;
};

// Why the records stopped. Anything but `Clean` means the file from `offset` on was not read.
struct McapEnd {
  enum class Reason {
    Clean,           // footer, summary and closing magic
    NoFooter,        // whole records up to the end of the file, as a killed writer leaves them
    NoSummary,       // a footer, but no summary section
    RecordCut,       // a record longer than what is left of the file
    BadRecord,       // a record whose fields run past its length, or name an unknown channel
    ChunkTooLarge,   // a chunk declaring more uncompressed bytes than the reader's cap
    ChunkCorrupt,    // a chunk that does not decompress to its declared size
    BadCompression,  // a chunk compressed by a codec the reader lacks
    BadCrc,          // a chunk, the data section or the summary not matching its CRC
    BadMagic,        // no closing magic after the footer
  };

  Reason reason = Reason::Clean;
  std::uint64_t offset = 0;  // the first byte not taken as part of a whole record
  std::uint8_t opcode = 0;   // of the record that ended the data
  std::uint64_t value = 0;   // RecordCut: bytes the record needs; ChunkTooLarge: its size; BadCrc:
                             // the CRC found
  std::uint64_t limit = 0;   // RecordCut: bytes left; ChunkTooLarge: the cap; BadCrc: the stored

  friend bool operator==(const McapEnd&, const McapEnd&) = default;
};
std::string to_string(const McapEnd& end);

struct McapReadOptions {
  // Past this a chunk is refused before anything is allocated for it.
  std::uint64_t max_chunk_bytes = std::uint64_t{2} << 30;
};

class McapReader {
 public:
  // Empty when `data` does not start with the MCAP magic.
  static std::optional<McapReader> open(std::span<const std::byte> data,
                                        McapReadOptions options = {});

  McapReader(McapReader&&) noexcept;
  McapReader& operator=(McapReader&&) noexcept;
  ~McapReader();

  // Empty once the data has ended; `end()` then tells why.
  std::optional<McapMessage> next();
  const McapEnd& end() const { return end_; }
  bool ended() const { return ended_; }

  const std::string& profile() const { return profile_; }
  const std::string& library() const { return library_; }
  // Those met so far, in file order.
  const std::vector<McapChannel>& channels() const { return channels_; }
  const std::vector<McapSchema>& schemas() const { return schemas_; }
  const std::vector<McapMetadata>& metadata() const { return metadata_; }
  const McapChannel* channel(std::uint16_t id) const;
  const McapSchema* schema(std::uint16_t id) const;

  // Where the walk has come: the end of the last whole record taken at the top level.
  std::uint64_t offset() const { return offset_; }
  std::uint64_t chunks() const { return chunks_; }  // whole chunks read
  std::uint64_t messages() const { return messages_; }
  // The summary's message count, once a statistics record was read.
  std::optional<std::uint64_t> summary_messages() const { return summary_messages_; }

 private:
  struct Decompressor;
  struct Cursor;

  McapReader(std::span<const std::byte> data, McapReadOptions options);

  std::optional<McapMessage> next_in_chunk();
  bool take_record(std::uint8_t code, std::span<const std::byte> body, bool in_chunk);
  bool open_chunk(std::span<const std::byte> body);
  void read_footer(std::span<const std::byte> body);
  void fold_data_crc(std::uint64_t length);
  void stop(McapEnd::Reason reason, std::uint64_t value = 0, std::uint64_t limit = 0);

  std::span<const std::byte> data_;
  McapReadOptions options_;
  std::uint64_t offset_ = 0;
  std::uint8_t op_ = 0;  // of the record being taken
  std::uint64_t record_start_ = 0;
  bool header_seen_ = false;
  bool data_end_seen_ = false;
  // Of every byte before the data end record, checked against the CRC it holds.
  std::uint32_t data_crc_ = 0;
  // The records of the uncompressed chunk just opened and their checked CRC.
  std::optional<std::pair<std::uint32_t, std::span<const std::byte>>> records_crc_;
  bool ended_ = false;
  McapEnd end_{};

  std::string profile_;
  std::string library_;
  std::vector<McapChannel> channels_;
  std::vector<McapSchema> schemas_;
  std::vector<McapMetadata> metadata_;
  std::vector<std::uint32_t> channel_slot_;  // by id: 1 + index in channels_, 0 when unknown
  std::vector<std::uint32_t> schema_slot_;

  std::unique_ptr<Decompressor> decompressor_;
  std::vector<std::byte> chunk_buffer_;
  std::span<const std::byte> chunk_;  // records of the open chunk
  std::size_t chunk_pos_ = 0;
  std::uint64_t chunks_ = 0;
  std::uint64_t messages_ = 0;
  std::optional<std::uint64_t> summary_messages_;
  std::optional<McapMessage> pending_;  // a message outside chunks, taken by `take_record`
};

}  // namespace nimbrel::recorder
