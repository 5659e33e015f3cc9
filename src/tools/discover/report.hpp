// The two forms of a listing: text for people, JSON for scripts.
#pragma once

#include <cstdint>
#include <string>

#include "tools/discover/domain_view.hpp"

namespace nimbrel::discover {

std::string render_text(const DomainView& view, std::uint32_t domain);
// One object: {"domain", "participants": [...], "topics": [...]}; endpoints carry "guid",
// "participant", "type_name", "reliability", "durability", "keyed" and "partitions".
// With `with_types`, each topic lists the types fetched from its writers (empty: none was).
std::string render_json(const DomainView& view, std::uint32_t domain, bool with_types = false);

// User data as text when it is printable UTF-8 without control characters, else as hex.
std::string user_data_text(const std::vector<std::byte>& bytes);

}  // namespace nimbrel::discover
