#include "tools/rec/mcap_copy.hpp"

#include <algorithm>
#include <limits>

namespace nimbrel::rec {
namespace {

// Length-prefixed pieces, so that no two different contents give one key.
void key_piece(std::string& key, std::string_view piece) {
  key += std::to_string(piece.size());
  key += ':';
  key += piece;
}

std::string schema_key(const recorder::McapSchema& schema) {
  std::string key;
  key_piece(key, schema.name);
  key_piece(key, schema.encoding);
  key_piece(key, {reinterpret_cast<const char*>(schema.data.data()), schema.data.size()});
  return key;
}

std::string metadata_key(const recorder::McapMetadata& metadata) {
  std::string key;
  key_piece(key, metadata.name);
  for (const auto& [k, v] : metadata.values) {
    key_piece(key, k);
    key_piece(key, v);
  }
  return key;
}

}  // namespace

McapCopy::McapCopy(std::string path, std::unique_ptr<OutputFile> file)
    : path_(std::move(path)),
      file_(std::move(file)),
      writer_(*file_, {.chunk_size = std::size_t{1} << 20,
                       .max_chunk_duration_ns = 0,
                       .compression = recorder::McapCompression::Zstd}) {}

std::expected<std::unique_ptr<McapCopy>, std::string> McapCopy::create(const std::string& path) {
  auto file = OutputFile::create(path);
  if (!file) return std::unexpected(path + ": " + file.error().message());
  std::unique_ptr<McapCopy> copy(new McapCopy(path, std::move(*file)));
  if (auto started = copy->writer_.start("", "nimbrel-rec"); !started)
    return std::unexpected(copy->failed(started.error()));
  return copy;
}

std::string McapCopy::failed(std::error_code error) const {
  return path_ + ": " + error.message();
}

std::expected<std::uint16_t, std::string> McapCopy::channel(std::size_t source,
                                                            const recorder::McapReader& reader,
                                                            std::uint16_t id) {
  const std::uint64_t slot = (std::uint64_t{source} << 16) | id;
  if (auto it = channel_of_.find(slot); it != channel_of_.end()) return it->second;
  recorder::McapChannel channel = *reader.channel(id);
  if (const auto* schema = reader.schema(channel.schema_id)) {
    const std::string key = schema_key(*schema);
    auto [it, added] = schema_ids_.try_emplace(key, schema_ids_.size() + 1);
    if (added) {
      if (it->second == std::numeric_limits<std::uint16_t>::max())
        return std::unexpected(path_ + ": more schemas than an MCAP file has ids");
      if (auto done = writer_.add_schema(it->second, schema->name, schema->encoding, schema->data);
          !done)
        return std::unexpected(failed(done.error()));
    }
    channel.schema_id = it->second;
  } else {
    channel.schema_id = 0;
  }
  std::string key;
  key_piece(key, channel.topic);
  key_piece(key, channel.message_encoding);
  key_piece(key, std::to_string(channel.schema_id));
  for (const auto& [k, v] : channel.metadata) {
    key_piece(key, k);
    key_piece(key, v);
  }
  auto [it, added] = channel_ids_.try_emplace(key, channel_ids_.size() + 1);
  if (added) {
    if (it->second == std::numeric_limits<std::uint16_t>::max())
      return std::unexpected(path_ + ": more channels than an MCAP file has ids");
    channel.id = it->second;
    if (auto done = writer_.add_channel(channel); !done)
      return std::unexpected(failed(done.error()));
  }
  channel_of_[slot] = it->second;
  return it->second;
}

std::expected<void, std::string> McapCopy::write(std::uint16_t channel,
                                                 const recorder::McapMessage& message) {
  auto done = writer_.write_message(channel, message.sequence, message.log_time,
                                    message.publish_time, message.data);
  if (!done) return std::unexpected(failed(done.error()));
  return {};
}

std::expected<void, std::string> McapCopy::copy_metadata(std::size_t source,
                                                         const recorder::McapReader& reader) {
  if (metadata_seen_.size() <= source) metadata_seen_.resize(source + 1);
  const auto& all = reader.metadata();
  for (std::size_t& seen = metadata_seen_[source]; seen < all.size(); ++seen) {
    std::string key = metadata_key(all[seen]);
    if (std::ranges::find(metadata_written_, key) != metadata_written_.end()) continue;
    metadata_written_.push_back(std::move(key));
    if (auto done = writer_.add_metadata(all[seen].name, all[seen].values); !done)
      return std::unexpected(failed(done.error()));
  }
  return {};
}

std::expected<void, std::string> McapCopy::finish() {
  if (auto done = writer_.finish(); !done) return std::unexpected(failed(done.error()));
  if (auto done = file_->commit(); !done) return std::unexpected(failed(done.error()));
  return {};
}

}  // namespace nimbrel::rec
