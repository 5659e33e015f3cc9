// Copies messages of one or more MCAP inputs into one MCAP output: channels and their schemas are
// added as their first message comes (ids renumbered, identical ones from several inputs joined),
// metadata as it is met, so the copy stays in the inputs' order without a pass ahead.
#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "recorder/mcap_reader.hpp"
#include "recorder/mcap_writer.hpp"
#include "tools/rec/output_file.hpp"

namespace nimbrel::rec {

class McapCopy {
 public:
  // Errors are texts naming `path`.
  static std::expected<std::unique_ptr<McapCopy>, std::string> create(const std::string& path);

  // The output channel for `reader`'s channel `id` (input number `source`), added on first use.
  std::expected<std::uint16_t, std::string> channel(std::size_t source,
                                                    const recorder::McapReader& reader,
                                                    std::uint16_t id);
  std::expected<void, std::string> write(std::uint16_t channel,
                                         const recorder::McapMessage& message);
  // Adds the metadata `reader` met since the last call for `source`, unless written already.
  std::expected<void, std::string> copy_metadata(std::size_t source,
                                                 const recorder::McapReader& reader);
  std::expected<void, std::string> finish();

 private:
  McapCopy(std::string path, std::unique_ptr<OutputFile> file);
  std::string failed(std::error_code error) const;

  std::string path_;
  std::unique_ptr<OutputFile> file_;
  recorder::McapWriter writer_;
  std::unordered_map<std::uint64_t, std::uint16_t> channel_of_;  // (source << 16 | id)
  std::map<std::string, std::uint16_t> channel_ids_;             // by content, to join
  std::map<std::string, std::uint16_t> schema_ids_;
  std::vector<std::string> metadata_written_;
  std::vector<std::size_t> metadata_seen_;  // per source
};

}  // namespace nimbrel::rec
