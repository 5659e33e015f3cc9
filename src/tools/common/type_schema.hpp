// A type as tools show and keep it: OMG IDL text of its complete form (or why there is none), its
// identifier, and its type objects as they travelled (XCDR2), written once per type however many
// writers share it.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "types/type_identifier.hpp"

namespace nimbrel::discovery {
struct WriterType;
}

namespace nimbrel::tools {

struct TypeSchema {
  std::string type_identifier{};  // the top-level identifier in hex
  std::string name{};             // the top-level name as `idl` spells it
  std::string idl{};              // empty when IDL cannot say the type: `error` says why
  std::string error{};
  // Every type object of its closure: (identifier in hex, XCDR2 bytes).
  std::vector<std::pair<std::string, std::vector<std::byte>>> objects{};
};

// The identifier as it travels, in hex: the kind byte and the hash for a hashed one.
std::string identifier_hex(const types::TypeIdentifier& id);

TypeSchema type_schema(const discovery::WriterType& fetched);

}  // namespace nimbrel::tools
