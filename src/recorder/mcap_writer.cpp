#include "recorder/mcap_writer.hpp"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace nimbrel::recorder {
namespace {

using Op = McapOp;

void store_le(std::byte* at, std::uint64_t v, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i)
    at[i] = static_cast<std::byte>((v >> (8 * i)) & 0xFF);
}
void put_le(std::vector<std::byte>& out, std::uint64_t v, std::size_t size) {
  const std::size_t at = out.size();
  out.resize(at + size);
  store_le(out.data() + at, v, size);
}
void put_u8(std::vector<std::byte>& out, std::uint8_t v) {
  out.push_back(std::byte{v});
}
void put_u16(std::vector<std::byte>& out, std::uint16_t v) {
  put_le(out, v, 2);
}
void put_u32(std::vector<std::byte>& out, std::uint32_t v) {
  put_le(out, v, 4);
}
void put_u64(std::vector<std::byte>& out, std::uint64_t v) {
  put_le(out, v, 8);
}
void patch_u32(std::vector<std::byte>& out, std::size_t at, std::uint64_t v) {
  store_le(out.data() + at, v, 4);
}
void patch_u64(std::vector<std::byte>& out, std::size_t at, std::uint64_t v) {
  store_le(out.data() + at, v, 8);
}
// resize and memcpy: g++ 12 warns falsely about vector::insert of a span here.
void put_bytes(std::vector<std::byte>& out, std::span<const std::byte> bytes) {
  if (bytes.empty()) return;
  const std::size_t at = out.size();
  out.resize(at + bytes.size());
  std::memcpy(out.data() + at, bytes.data(), bytes.size());
}
// Callers keep strings far below 4 GiB: names and header fields of a parsed recording.
void put_str(std::vector<std::byte>& out, std::string_view s) {
  put_u32(out, static_cast<std::uint32_t>(s.size()));
  put_bytes(out, std::as_bytes(std::span(s.data(), s.size())));
}
void put_map(std::vector<std::byte>& out, const StringPairs& pairs) {
  const std::size_t at = out.size();
  put_u32(out, 0);
  for (const auto& [key, value] : pairs) {
    put_str(out, key);
    put_str(out, value);
  }
  patch_u32(out, at, out.size() - at - 4);
}

// Opens a record; `end_record` patches its length once the content is in place.
std::size_t begin_record(std::vector<std::byte>& out, Op op) {
  put_u8(out, static_cast<std::uint8_t>(op));
  put_u64(out, 0);
  return out.size() - 8;
}
void end_record(std::vector<std::byte>& out, std::size_t length_at) {
  patch_u64(out, length_at, out.size() - length_at - 8);
}

void put_schema(std::vector<std::byte>& out, std::uint16_t id, std::string_view name,
                std::string_view encoding, std::span<const std::byte> data) {
  const auto at = begin_record(out, Op::Schema);
  put_u16(out, id);
  put_str(out, name);
  put_str(out, encoding);
  put_u32(out, static_cast<std::uint32_t>(data.size()));
  put_bytes(out, data);
  end_record(out, at);
}

void put_channel(std::vector<std::byte>& out, const McapChannel& channel) {
  const auto at = begin_record(out, Op::Channel);
  put_u16(out, channel.id);
  put_u16(out, channel.schema_id);
  put_str(out, channel.topic);
  put_str(out, channel.message_encoding);
  put_map(out, channel.metadata);
  end_record(out, at);
}

}  // namespace

McapWriter::McapWriter(ByteSink& out, McapOptions options)
    : out_(out), options_(options), compressor_(options.compression) {
  chunk_.reserve(options_.chunk_size + 4096);
}

std::expected<void, std::error_code> McapWriter::emit(std::span<const Piece> pieces) {
  if (cut_pending_) {
    if (auto cut = out_.truncate(offset_); !cut) return cut;
    cut_pending_ = false;
  }
  spans_.clear();
  for (const auto& piece : pieces)
    spans_.push_back(piece.bytes);
  if (auto done = out_.write_gathered(spans_); !done) {
    // What the sink took of this write is cut away, now or before the next one.
    cut_pending_ = !out_.truncate(offset_);
    return std::unexpected(done.error().error);
  }
  for (const auto& piece : pieces) {
    if (options_.crcs) {
      crc_ = piece.crc ? static_cast<std::uint32_t>(::crc32_combine(
                             crc_, *piece.crc, static_cast<z_off_t>(piece.bytes.size())))
                       : mcap_crc(crc_, piece.bytes);
    }
    offset_ += piece.bytes.size();
  }
  return {};
}

std::expected<void, std::error_code> McapWriter::emit_one(std::span<const std::byte> bytes) {
  const std::array<Piece, 1> pieces{Piece{bytes}};
  return emit(pieces);
}

std::expected<void, std::error_code> McapWriter::emit_with_pending(
    std::span<const std::byte> bytes) {
  const std::array<Piece, 2> pieces{Piece{pending_}, Piece{bytes}};
  if (auto done = emit(pieces); !done) return done;
  pending_.clear();
  return {};
}

std::expected<void, std::error_code> McapWriter::start(std::string_view profile,
                                                       std::string_view library) {
  scratch_.clear();
  put_bytes(scratch_, mcap_magic);
  const auto at = begin_record(scratch_, Op::Header);
  put_str(scratch_, profile);
  put_str(scratch_, library);
  end_record(scratch_, at);
  return emit_with_pending(scratch_);
}

std::expected<void, std::error_code> McapWriter::add_schema(std::uint16_t id, std::string_view name,
                                                            std::string_view encoding,
                                                            std::span<const std::byte> data) {
  if (id == 0 || std::ranges::any_of(schemas_, [&](const McapSchema& s) { return s.id == id; }))
    return std::unexpected(std::make_error_code(std::errc::invalid_argument));
  schemas_.push_back({.id = id,
                      .name = std::string(name),
                      .encoding = std::string(encoding),
                      .data = {data.begin(), data.end()}});
  put_schema(pending_, id, name, encoding, data);
  return {};
}

std::expected<void, std::error_code> McapWriter::add_channel(const McapChannel& channel) {
  if (channel.schema_id != 0 && std::ranges::none_of(schemas_, [&](const McapSchema& s) {
        return s.id == channel.schema_id;
      }))
    return std::unexpected(std::make_error_code(std::errc::invalid_argument));
  channels_.push_back(channel);
  if (state_.size() <= channel.id) state_.resize(std::size_t{channel.id} + 1);
  state_[channel.id].known = true;
  put_channel(pending_, channel);
  return {};
}

std::expected<void, std::error_code> McapWriter::add_metadata(std::string_view name,
                                                              const StringPairs& values) {
  if (auto closed = close_chunk(); !closed) return closed;
  scratch_.clear();
  const auto at = begin_record(scratch_, Op::Metadata);
  put_str(scratch_, name);
  put_map(scratch_, values);
  end_record(scratch_, at);
  const MetadataIndex index{
      .offset = offset_ + pending_.size(), .length = scratch_.size(), .name = std::string(name)};
  if (auto done = emit_with_pending(scratch_); !done) return done;
  metadata_indexes_.push_back(index);
  return {};
}

std::expected<void, std::error_code> McapWriter::write_message(std::uint16_t channel,
                                                               std::uint32_t sequence,
                                                               std::uint64_t log_time,
                                                               std::uint64_t publish_time,
                                                               std::span<const std::byte> data) {
  if (channel >= state_.size() || !state_[channel].known)
    return std::unexpected(std::make_error_code(std::errc::invalid_argument));
  ChannelState& state = state_[channel];
  // Uncompressed, a message of a chunk's size or more gets a chunk of its own and goes out from
  // where it lies: copying it whole would double the memory a large sample costs.
  const bool alone =
      options_.compression == McapCompression::None && data.size() >= options_.chunk_size;
  if (!chunk_.empty() && (alone || is_past_bound(log_time))) {
    if (auto closed = close_chunk(); !closed) return closed;
  }
  if (chunk_.empty()) chunk_first_time_ = chunk_start_time_ = chunk_end_time_ = log_time;
  chunk_start_time_ = std::min(chunk_start_time_, log_time);
  chunk_end_time_ = std::max(chunk_end_time_, log_time);
  if (message_count_ == 0) first_time_ = last_time_ = log_time;
  first_time_ = std::min(first_time_, log_time);
  last_time_ = std::max(last_time_, log_time);
  ++message_count_;
  ++state.messages;

  if (state.chunk_entries.empty()) chunk_channels_.push_back(channel);
  state.chunk_entries.emplace_back(log_time, chunk_.size());
  // The record's fixed part in one piece: opcode, length, channel, sequence, the two times.
  std::array<std::byte, 1 + 8 + 2 + 4 + 8 + 8> head{};
  head[0] = std::byte{static_cast<std::uint8_t>(Op::Message)};
  store_le(&head[1], head.size() - 9 + data.size(), 8);
  store_le(&head[9], channel, 2);
  store_le(&head[11], sequence, 4);
  store_le(&head[15], log_time, 8);
  store_le(&head[23], publish_time, 8);
  put_bytes(chunk_, head);
  if (alone) return close_chunk(data);
  put_bytes(chunk_, data);
  if (chunk_.size() >= options_.chunk_size) return close_chunk();
  return {};
}

bool McapWriter::is_past_bound(std::uint64_t time) const {
  const std::uint64_t bound = options_.max_chunk_duration_ns;
  return bound != 0 && time >= chunk_first_time_ && time - chunk_first_time_ >= bound;
}

std::expected<void, std::error_code> McapWriter::close_chunk_if_older(std::uint64_t now_ns) {
  if (chunk_.empty() || !is_past_bound(now_ns)) return {};
  return close_chunk();
}

std::expected<void, std::error_code> McapWriter::close_chunk(std::span<const std::byte> tail) {
  if (chunk_.empty()) return {};
  const std::uint32_t chunk_crc = options_.crcs ? mcap_crc(0, chunk_) : 0;
  const std::uint32_t tail_crc = options_.crcs ? mcap_crc(0, tail) : 0;
  const std::uint64_t records_size = chunk_.size() + tail.size();
  const auto records_crc = options_.crcs
                               ? static_cast<std::uint32_t>(::crc32_combine(
                                     chunk_crc, tail_crc, static_cast<z_off_t>(tail.size())))
                               : 0;
  const auto compressed = compressor_.compress(chunk_);
  if (!compressed) return drop_chunk(compressed.error());
  const std::uint64_t chunk_offset = offset_ + pending_.size();
  scratch_.clear();
  const auto at = begin_record(scratch_, Op::Chunk);
  put_u64(scratch_, chunk_start_time_);
  put_u64(scratch_, chunk_end_time_);
  // Only uncompressed chunks have a tail, so its size adds to both.
  const std::uint64_t stored_size = compressed->size() + tail.size();
  put_u64(scratch_, records_size);
  put_u32(scratch_, records_crc);
  put_str(scratch_, compression_name(options_.compression));
  put_u64(scratch_, stored_size);
  patch_u64(scratch_, at, scratch_.size() - at - 8 + stored_size);
  const std::uint64_t indexes_start = chunk_offset + scratch_.size() + stored_size;
  ChunkIndex index{.start_time = chunk_start_time_,
                   .end_time = chunk_end_time_,
                   .offset = chunk_offset,
                   .length = indexes_start - chunk_offset,
                   .message_index_offsets = {},
                   .message_index_length = 0,
                   .compressed_size = stored_size,
                   .records_size = records_size};

  indexes_.clear();
  std::ranges::sort(chunk_channels_);
  for (const std::uint16_t channel : chunk_channels_) {
    const auto& entries = state_[channel].chunk_entries;
    index.message_index_offsets[channel] = indexes_start + indexes_.size();
    const auto record = begin_record(indexes_, Op::MessageIndex);
    put_u16(indexes_, channel);
    put_u32(indexes_, static_cast<std::uint32_t>(entries.size() * 16));
    for (const auto& [time, offset] : entries) {
      put_u64(indexes_, time);
      put_u64(indexes_, offset);
    }
    end_record(indexes_, record);
  }
  index.message_index_length = indexes_.size();
  // Uncompressed records have a known CRC: folded into the running one instead of read twice.
  const bool plain = options_.compression == McapCompression::None;
  const std::array<Piece, 5> pieces{
      Piece{pending_}, Piece{scratch_},
      Piece{.bytes = *compressed, .crc = plain ? std::optional(chunk_crc) : std::nullopt},
      Piece{.bytes = tail, .crc = tail_crc}, Piece{indexes_}};
  if (auto done = emit(pieces); !done) return drop_chunk(done.error());
  pending_.clear();
  chunk_indexes_.push_back(std::move(index));
  for (const std::uint16_t channel : chunk_channels_) {
    auto& state = state_[channel];
    state.written += state.chunk_entries.size();
    written_ += state.chunk_entries.size();
  }
  clear_chunk();
  return {};
}

void McapWriter::clear_chunk() {
  for (const std::uint16_t channel : chunk_channels_)
    state_[channel].chunk_entries.clear();
  chunk_channels_.clear();
  chunk_.clear();
}

std::unexpected<std::error_code> McapWriter::drop_chunk(std::error_code error) {
  for (const std::uint16_t channel : chunk_channels_) {
    const std::uint64_t count = state_[channel].chunk_entries.size();
    state_[channel].messages -= count;
    message_count_ -= count;
    dropped_.push_back({.channel = channel, .count = count});
  }
  clear_chunk();
  return std::unexpected(error);
}

std::vector<DroppedMessages> McapWriter::take_dropped() {
  return std::exchange(dropped_, {});
}

std::expected<void, std::error_code> McapWriter::finish() {
  if (auto closed = close_chunk(); !closed) return closed;
  scratch_.clear();
  if (!pending_.empty()) {
    if (auto done = emit_one(pending_); !done) return done;
    pending_.clear();
  }
  scratch_.clear();
  auto at = begin_record(scratch_, Op::DataEnd);
  put_u32(scratch_, crc_);
  end_record(scratch_, at);
  if (auto done = emit_one(scratch_); !done) return done;

  crc_ = 0;
  const std::uint64_t summary_start = offset_;
  std::vector<std::pair<Op, std::pair<std::uint64_t, std::uint64_t>>> groups;
  const auto group = [&](Op op, auto&& fill) {
    const std::size_t begin = scratch_.size();
    fill();
    if (scratch_.size() > begin)
      groups.push_back({op, {summary_start + begin, scratch_.size() - begin}});
  };
  scratch_.clear();
  group(Op::Schema, [&] {
    for (const auto& schema : schemas_)
      put_schema(scratch_, schema.id, schema.name, schema.encoding, schema.data);
  });
  group(Op::Channel, [&] {
    for (const auto& channel : channels_)
      put_channel(scratch_, channel);
  });
  group(Op::Statistics, [&] {
    const auto record = begin_record(scratch_, Op::Statistics);
    put_u64(scratch_, message_count_);
    put_u16(scratch_, static_cast<std::uint16_t>(schemas_.size()));
    put_u32(scratch_, static_cast<std::uint32_t>(channels_.size()));
    put_u32(scratch_, 0);  // attachments
    put_u32(scratch_, static_cast<std::uint32_t>(metadata_indexes_.size()));
    put_u32(scratch_, static_cast<std::uint32_t>(chunk_indexes_.size()));
    put_u64(scratch_, first_time_);
    put_u64(scratch_, last_time_);
    put_u32(scratch_, static_cast<std::uint32_t>(channels_.size() * 10));
    for (const auto& channel : channels_) {
      put_u16(scratch_, channel.id);
      put_u64(scratch_, state_[channel.id].messages);
    }
    end_record(scratch_, record);
  });
  group(Op::ChunkIndex, [&] {
    for (const auto& index : chunk_indexes_) {
      const auto record = begin_record(scratch_, Op::ChunkIndex);
      put_u64(scratch_, index.start_time);
      put_u64(scratch_, index.end_time);
      put_u64(scratch_, index.offset);
      put_u64(scratch_, index.length);
      put_u32(scratch_, static_cast<std::uint32_t>(index.message_index_offsets.size() * 10));
      for (const auto& [channel, offset] : index.message_index_offsets) {
        put_u16(scratch_, channel);
        put_u64(scratch_, offset);
      }
      put_u64(scratch_, index.message_index_length);
      put_str(scratch_, compression_name(options_.compression));
      put_u64(scratch_, index.compressed_size);
      put_u64(scratch_, index.records_size);
      end_record(scratch_, record);
    }
  });
  group(Op::MetadataIndex, [&] {
    for (const auto& index : metadata_indexes_) {
      const auto record = begin_record(scratch_, Op::MetadataIndex);
      put_u64(scratch_, index.offset);
      put_u64(scratch_, index.length);
      put_str(scratch_, index.name);
      end_record(scratch_, record);
    }
  });
  const std::uint64_t summary_offset_start = summary_start + scratch_.size();
  for (const auto& [op, where] : groups) {
    const auto record = begin_record(scratch_, Op::SummaryOffset);
    put_u8(scratch_, static_cast<std::uint8_t>(op));
    put_u64(scratch_, where.first);
    put_u64(scratch_, where.second);
    end_record(scratch_, record);
  }
  put_u8(scratch_, static_cast<std::uint8_t>(Op::Footer));
  put_u64(scratch_, 8 + 8 + 4);
  put_u64(scratch_, summary_start);
  put_u64(scratch_, summary_offset_start);
  if (auto done = emit_one(scratch_); !done) return done;
  scratch_.clear();
  put_u32(scratch_, crc_);
  put_bytes(scratch_, mcap_magic);
  return emit_one(scratch_);
}

}  // namespace nimbrel::recorder
