#include "recorder/mcap_reader.hpp"

#include <lz4frame.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace nimbrel::recorder {
namespace {

constexpr std::size_t record_head = 1 + 8;  // opcode, length

// Names for what is said of a record that ends the data.
constexpr std::pair<McapOp, std::string_view> op_names[] = {
    {McapOp::Header, "header"},
    {McapOp::Footer, "footer"},
    {McapOp::Schema, "schema"},
    {McapOp::Channel, "channel"},
    {McapOp::Message, "message"},
    {McapOp::Chunk, "chunk"},
    {McapOp::MessageIndex, "message index"},
    {McapOp::ChunkIndex, "chunk index"},
    {McapOp::Attachment, "attachment"},
    {McapOp::AttachmentIndex, "attachment index"},
    {McapOp::Statistics, "statistics"},
    {McapOp::Metadata, "metadata"},
    {McapOp::MetadataIndex, "metadata index"},
    {McapOp::SummaryOffset, "summary offset"},
    {McapOp::DataEnd, "data end"},
};

constexpr std::uint8_t op(McapOp code) {
  return static_cast<std::uint8_t>(code);
}

std::string op_name(std::uint8_t code) {
  for (const auto& [known, name] : op_names) {
    if (op(known) == code) return std::string(name);
  }
  return "opcode " + std::to_string(code);
}

std::uint64_t load_le(const std::byte* at, std::size_t size) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < size; ++i)
    v |= std::uint64_t{std::to_integer<std::uint8_t>(at[i])} << (8 * i);
  return v;
}

// The first of a repeated id wins: the summary repeats what the data section holds.
template <typename T>
void add_once(std::vector<std::uint32_t>& slots, std::vector<T>& list, T&& item) {
  const std::uint16_t id = item.id;
  if (slots.size() <= id) slots.resize(std::size_t{id} + 1);
  if (slots[id] != 0) return;
  list.push_back(std::move(item));
  slots[id] = static_cast<std::uint32_t>(list.size());
}

}  // namespace

// A record's fields, each read checked against what is left of the record.
struct McapReader::Cursor {
  std::span<const std::byte> in;
  std::size_t pos = 0;
  bool ok = true;

  std::size_t left() const { return in.size() - pos; }
  std::uint64_t num(std::size_t size) {
    if (!ok || size > left()) return ok = false, 0;
    const auto v = load_le(in.data() + pos, size);
    pos += size;
    return v;
  }
  std::span<const std::byte> bytes(std::uint64_t n) {
    if (!ok || n > left()) return ok = false, std::span<const std::byte>{};
    const auto piece = in.subspan(pos, static_cast<std::size_t>(n));
    pos += piece.size();
    return piece;
  }
  std::string str() {
    const auto piece = bytes(num(4));
    return {reinterpret_cast<const char*>(piece.data()), piece.size()};
  }
  StringPairs map() {
    Cursor inner{.in = bytes(num(4))};
    StringPairs out;
    while (ok && inner.ok && inner.left() > 0) {
      auto key = inner.str();
      auto value = inner.str();
      if (inner.ok) out.emplace_back(std::move(key), std::move(value));
    }
    ok = ok && inner.ok;
    return out;
  }
};

// Decompresses into a buffer grown as output comes, so a chunk that lies about its size costs
// no more memory than what it really decompresses to.
struct McapReader::Decompressor {
  ZSTD_DCtx* zstd = nullptr;
  LZ4F_dctx* lz4 = nullptr;

  ~Decompressor() {
    if (zstd != nullptr) ZSTD_freeDCtx(zstd);
    if (lz4 != nullptr) LZ4F_freeDecompressionContext(lz4);
  }

  // Room up to one byte past `size`, so that output beyond the declared size is seen.
  template <typename Step>
  static bool run(std::vector<std::byte>& out, std::uint64_t size, std::size_t in_size, Step step) {
    std::size_t filled = 0;
    std::size_t in_pos = 0;
    bool frame_done = false;
    const std::size_t room = static_cast<std::size_t>(size) + 1;
    while (!(frame_done && in_pos == in_size)) {
      if (filled == out.size() || filled == room) {
        if (filled == room) return false;
        out.resize(std::min(room, std::max(filled * 2, std::size_t{1} << 20)));
      }
      const std::size_t limit = std::min(out.size(), room);
      const auto before = std::pair{filled, in_pos};
      if (!step(out.data() + filled, limit - filled, in_pos, filled, frame_done)) return false;
      if (std::pair{filled, in_pos} == before) return false;
    }
    return filled == size;
  }

  bool zstd_into(std::vector<std::byte>& out, std::uint64_t size, std::span<const std::byte> in) {
    if (zstd == nullptr) zstd = ZSTD_createDCtx();
    if (zstd == nullptr) return false;
    ZSTD_DCtx_reset(zstd, ZSTD_reset_session_only);
    return run(
        out, size, in.size(),
        [&](std::byte* dst, std::size_t n, std::size_t& in_pos, std::size_t& filled, bool& done) {
          ZSTD_outBuffer o{dst, n, 0};
          ZSTD_inBuffer i{in.data(), in.size(), in_pos};
          const std::size_t ret = ZSTD_decompressStream(zstd, &o, &i);
          if (ZSTD_isError(ret)) return false;
          filled += o.pos;
          in_pos = i.pos;
          done = ret == 0;
          return true;
        });
  }

  bool lz4_into(std::vector<std::byte>& out, std::uint64_t size, std::span<const std::byte> in) {
    if (lz4 == nullptr && LZ4F_isError(LZ4F_createDecompressionContext(&lz4, LZ4F_VERSION)))
      return false;
    LZ4F_resetDecompressionContext(lz4);
    return run(
        out, size, in.size(),
        [&](std::byte* dst, std::size_t n, std::size_t& in_pos, std::size_t& filled, bool& done) {
          std::size_t src_n = in.size() - in_pos;
          const std::size_t ret =
              LZ4F_decompress(lz4, dst, &n, in.data() + in_pos, &src_n, nullptr);
          if (LZ4F_isError(ret)) return false;
          filled += n;
          in_pos += src_n;
          done = ret == 0;
          return true;
        });
  }
};

bool is_mcap(std::span<const std::byte> data) {
  return data.size() >= mcap_magic.size() &&
         std::ranges::equal(data.first(mcap_magic.size()), mcap_magic);
}

std::string to_string(const McapEnd& end) {
  const std::string at = " at byte " + std::to_string(end.offset);
  const std::string record = op_name(end.opcode) + " record" + at;
  switch (end.reason) {
    case McapEnd::Reason::Clean:
      return "clean: summary, footer and closing magic";
    case McapEnd::Reason::NoFooter:
      return "no summary and no footer: the file stops" + at +
             " after whole records, as a writer that was stopped leaves it";
    case McapEnd::Reason::NoSummary:
      return "footer" + at + " says the file has no summary";
    case McapEnd::Reason::RecordCut:
      return record + " cut short: it needs " + std::to_string(end.value) + " bytes, " +
             std::to_string(end.limit) + " left";
    case McapEnd::Reason::BadRecord:
      return record + " is malformed";
    case McapEnd::Reason::ChunkTooLarge:
      return "chunk" + at + " declares " + std::to_string(end.value) +
             " uncompressed bytes, more than the limit of " + std::to_string(end.limit);
    case McapEnd::Reason::ChunkCorrupt:
      return "chunk" + at + " is corrupt: its records do not decompress or do not parse";
    case McapEnd::Reason::BadCompression:
      return "chunk" + at + " uses a compression this reader does not know";
    case McapEnd::Reason::BadCrc: {
      char buf[64];
      std::snprintf(buf, sizeof buf, ": CRC %08llx where %08llx was stored",
                    static_cast<unsigned long long>(end.value),
                    static_cast<unsigned long long>(end.limit));
      return record + buf;
    }
    case McapEnd::Reason::BadMagic:
      return "no closing magic" + at + " after the footer";
  }
  return "unknown end";
}

std::optional<McapReader> McapReader::open(std::span<const std::byte> data,
                                           McapReadOptions options) {
  if (!is_mcap(data)) return std::nullopt;
  return McapReader(data, options);
}

McapReader::McapReader(std::span<const std::byte> data, McapReadOptions options)
    : data_(data),
      options_(options),
      offset_(mcap_magic.size()),
      data_crc_(mcap_crc(0, mcap_magic)) {}
McapReader::McapReader(McapReader&&) noexcept = default;
McapReader& McapReader::operator=(McapReader&&) noexcept = default;
McapReader::~McapReader() = default;

const McapChannel* McapReader::channel(std::uint16_t id) const {
  if (id >= channel_slot_.size() || channel_slot_[id] == 0) return nullptr;
  return &channels_[channel_slot_[id] - 1];
}

const McapSchema* McapReader::schema(std::uint16_t id) const {
  if (id >= schema_slot_.size() || schema_slot_[id] == 0) return nullptr;
  return &schemas_[schema_slot_[id] - 1];
}

void McapReader::stop(McapEnd::Reason reason, std::uint64_t value, std::uint64_t limit) {
  ended_ = true;
  chunk_ = {};
  end_ = {.reason = reason,
          .offset = reason == McapEnd::Reason::NoFooter ? offset_ : record_start_,
          .opcode = op_,
          .value = value,
          .limit = limit};
}

std::optional<McapMessage> McapReader::next() {
  while (!ended_) {
    if (chunk_.data() != nullptr) {
      if (auto message = next_in_chunk()) return message;
      continue;
    }
    record_start_ = offset_;
    const std::uint64_t left = data_.size() - offset_;
    if (left == 0) {
      stop(McapEnd::Reason::NoFooter);
      break;
    }
    op_ = std::to_integer<std::uint8_t>(data_[offset_]);
    if (left < record_head) {
      stop(McapEnd::Reason::RecordCut, record_head, left);
      break;
    }
    const std::uint64_t length = load_le(data_.data() + offset_ + 1, 8);
    if (length > left - record_head) {
      stop(McapEnd::Reason::RecordCut,
           length > UINT64_MAX - record_head ? UINT64_MAX : length + record_head, left);
      break;
    }
    const auto body = data_.subspan(static_cast<std::size_t>(offset_ + record_head),
                                    static_cast<std::size_t>(length));
    if (!header_seen_ && op_ != op(McapOp::Header)) {
      stop(McapEnd::Reason::BadRecord);
      break;
    }
    if (!take_record(op_, body, /*in_chunk=*/false)) break;
    if (!data_end_seen_) fold_data_crc(record_head + length);
    // A chunk moves the offset once its last record is taken.
    if (chunk_.data() == nullptr && !ended_) offset_ += record_head + length;
    if (pending_) {
      ++messages_;
      return std::exchange(pending_, std::nullopt);
    }
  }
  return std::nullopt;
}

std::optional<McapMessage> McapReader::next_in_chunk() {
  while (chunk_pos_ < chunk_.size()) {
    const std::size_t left = chunk_.size() - chunk_pos_;
    if (left < record_head) {
      stop(McapEnd::Reason::ChunkCorrupt);
      return std::nullopt;
    }
    const auto code = std::to_integer<std::uint8_t>(chunk_[chunk_pos_]);
    const std::uint64_t length = load_le(chunk_.data() + chunk_pos_ + 1, 8);
    if (length > left - record_head) {
      stop(McapEnd::Reason::ChunkCorrupt);
      return std::nullopt;
    }
    const auto body = chunk_.subspan(chunk_pos_ + record_head, static_cast<std::size_t>(length));
    chunk_pos_ += record_head + static_cast<std::size_t>(length);
    if (!take_record(code, body, /*in_chunk=*/true)) return std::nullopt;
    if (pending_) {
      ++messages_;
      return std::exchange(pending_, std::nullopt);
    }
  }
  // The chunk record is whole: the walk goes on after it.
  offset_ += record_head + load_le(data_.data() + offset_ + 1, 8);
  chunk_ = {};
  ++chunks_;
  return std::nullopt;
}

bool McapReader::take_record(std::uint8_t code, std::span<const std::byte> body, bool in_chunk) {
  Cursor in{.in = body};
  // A chunk holds only these; anything else in it is skipped as unknown.
  const bool allowed = !in_chunk || code == op(McapOp::Schema) || code == op(McapOp::Channel) ||
                       code == op(McapOp::Message);
  switch (allowed ? code : 0) {
    case op(McapOp::Header):
      if (header_seen_) return true;
      profile_ = in.str();
      library_ = in.str();
      header_seen_ = in.ok;
      break;
    case op(McapOp::Footer):
      read_footer(body);
      return false;
    case op(McapOp::Schema): {
      McapSchema schema{.id = static_cast<std::uint16_t>(in.num(2)),
                        .name = in.str(),
                        .encoding = in.str(),
                        .data = {}};
      const auto data = in.bytes(in.num(4));
      if (!in.ok || schema.id == 0) break;
      schema.data.assign(data.begin(), data.end());
      add_once(schema_slot_, schemas_, std::move(schema));
      return true;
    }
    case op(McapOp::Channel): {
      McapChannel channel{.id = static_cast<std::uint16_t>(in.num(2)),
                          .schema_id = static_cast<std::uint16_t>(in.num(2)),
                          .topic = in.str(),
                          .message_encoding = in.str(),
                          .metadata = in.map()};
      if (!in.ok) break;
      add_once(channel_slot_, channels_, std::move(channel));
      return true;
    }
    case op(McapOp::Message): {
      McapMessage message{.channel = static_cast<std::uint16_t>(in.num(2)),
                          .sequence = static_cast<std::uint32_t>(in.num(4)),
                          .log_time = in.num(8),
                          .publish_time = in.num(8),
                          .data = {}};
      // A message before its channel cannot be told apart from garbage.
      in.ok = in.ok && channel(message.channel) != nullptr;
      if (!in.ok) break;
      message.data = in.bytes(in.left());
      pending_ = message;
      return true;
    }
    case op(McapOp::Chunk):
      return open_chunk(body);
    case op(McapOp::Metadata): {
      McapMetadata metadata{.name = in.str(), .values = in.map()};
      if (!in.ok) break;
      metadata_.push_back(std::move(metadata));
      return true;
    }
    case op(McapOp::DataEnd): {
      const auto crc = static_cast<std::uint32_t>(in.num(4));
      if (!in.ok) break;
      data_end_seen_ = true;
      if (crc != 0 && crc != data_crc_) {
        stop(McapEnd::Reason::BadCrc, data_crc_, crc);
        return false;
      }
      return true;
    }
    case op(McapOp::Statistics):
      summary_messages_ = in.num(8);
      if (!in.ok) break;
      return true;
    default:  // indexes, attachments, data end, and records of later versions
      return true;
  }
  if (in.ok) return true;
  if (in_chunk) {
    stop(McapEnd::Reason::ChunkCorrupt);
  } else {
    stop(McapEnd::Reason::BadRecord);
  }
  return false;
}

bool McapReader::open_chunk(std::span<const std::byte> body) {
  Cursor in{.in = body};
  in.num(8);  // start and end times: the messages carry their own
  in.num(8);
  const std::uint64_t size = in.num(8);
  const auto crc = static_cast<std::uint32_t>(in.num(4));
  const std::string compression = in.str();
  const auto compressed = in.bytes(in.num(8));
  if (!in.ok) {
    stop(McapEnd::Reason::BadRecord);
    return false;
  }
  std::span<const std::byte> records;
  if (compression.empty()) {
    if (size != compressed.size()) {
      stop(McapEnd::Reason::ChunkCorrupt);
      return false;
    }
    records = compressed;
  } else if (compression != "zstd" && compression != "lz4") {
    stop(McapEnd::Reason::BadCompression);
    return false;
  } else if (size > options_.max_chunk_bytes) {
    stop(McapEnd::Reason::ChunkTooLarge, size, options_.max_chunk_bytes);
    return false;
  } else {
    if (!decompressor_) decompressor_ = std::make_unique<Decompressor>();
    const bool done = compression == "zstd"
                          ? decompressor_->zstd_into(chunk_buffer_, size, compressed)
                          : decompressor_->lz4_into(chunk_buffer_, size, compressed);
    if (!done) {
      stop(McapEnd::Reason::ChunkCorrupt);
      return false;
    }
    records = std::span<const std::byte>(chunk_buffer_).first(static_cast<std::size_t>(size));
  }
  if (crc != 0) {
    if (const std::uint32_t found = mcap_crc(0, records); found != crc) {
      stop(McapEnd::Reason::BadCrc, found, crc);
      return false;
    }
    if (compression.empty()) records_crc_ = {crc, records};
  }
  // A span that is never null marks the chunk open, even when it holds no records.
  chunk_ = records.data() != nullptr ? records : std::span(body.data(), 0);
  chunk_pos_ = 0;
  return true;
}

void McapReader::fold_data_crc(std::uint64_t length) {
  const auto record =
      data_.subspan(static_cast<std::size_t>(record_start_), static_cast<std::size_t>(length));
  const auto fold = [&](std::span<const std::byte> bytes) {
    data_crc_ = mcap_crc(data_crc_, bytes);
  };
  if (!records_crc_) return fold(record);
  // The records of an uncompressed chunk were checked already: their CRC is not computed twice.
  const auto [crc, records] = *std::exchange(records_crc_, std::nullopt);
  const auto before = static_cast<std::size_t>(records.data() - record.data());
  fold(record.first(before));
  data_crc_ = static_cast<std::uint32_t>(
      ::crc32_combine(data_crc_, crc, static_cast<z_off_t>(records.size())));
  fold(record.subspan(before + records.size()));
}

void McapReader::read_footer(std::span<const std::byte> body) {
  Cursor in{.in = body};
  const std::uint64_t summary_start = in.num(8);
  in.num(8);  // summary offsets: a reader in file order meets the summary anyway
  const auto crc = static_cast<std::uint32_t>(in.num(4));
  if (!in.ok || summary_start > record_start_) {
    stop(McapEnd::Reason::BadRecord);
    return;
  }
  const std::uint64_t after = offset_ + record_head + body.size();
  if (summary_start != 0 && crc != 0) {
    // From the summary's start through the footer's fields before the CRC.
    const auto covered =
        data_.subspan(static_cast<std::size_t>(summary_start),
                      static_cast<std::size_t>(record_start_ + record_head + 16 - summary_start));
    if (const std::uint32_t found = mcap_crc(0, covered); found != crc) {
      stop(McapEnd::Reason::BadCrc, found, crc);
      return;
    }
  }
  offset_ = after;
  const auto rest = data_.subspan(static_cast<std::size_t>(after));
  if (!is_mcap(rest)) {
    record_start_ = offset_;
    stop(McapEnd::Reason::BadMagic);
    return;
  }
  offset_ += mcap_magic.size();
  stop(summary_start == 0 ? McapEnd::Reason::NoSummary : McapEnd::Reason::Clean);
  if (end_.reason == McapEnd::Reason::Clean) end_.offset = offset_;
}

}  // namespace nimbrel::recorder
