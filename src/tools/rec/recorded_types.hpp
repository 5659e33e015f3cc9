// The writers' types an MCAP recording keeps, for decoding its samples: the type objects of its
// `nimbrel.type_object` metadata records, and each channel's top-level type, named by its
// `dds.type_identifier`. Objects are taken as the walk meets them, before the messages that use
// them.
#pragma once

#include <cstddef>
#include <expected>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "recorder/mcap_reader.hpp"
#include "types/resolve.hpp"

namespace nimbrel::rec {

class RecordedTypes {
 public:
  // Takes the metadata records met since the last call.
  void take(const std::vector<recorder::McapMetadata>& metadata);
  // The sample as JSON, or why it cannot be decoded.
  std::expected<std::string, std::string> decode(const recorder::McapChannel& channel,
                                                 std::span<const std::byte> sample) const;
  std::size_t objects() const { return registry_.minimal.size() + registry_.complete.size(); }

 private:
  types::TypeRegistry registry_;
  std::size_t taken_ = 0;
};

}  // namespace nimbrel::rec
