// A type as OMG IDL text, for readers that know nothing of type objects: MCAP schemas, the
// discovery tool. Written from the complete type objects of a registry, dependencies first and
// each once, the same text for the same types. An array inside a sequence or map gets a typedef
// named after its spelling (anon_long_3), as IDL has no other way to say it. Foxglove's parser
// reads all but inheritance, bitmasks, maps, nested sequences, char case labels and recursion.
#pragma once

#include <expected>
#include <string>

#include "types/resolve.hpp"
#include "types/type_identifier.hpp"

namespace nimbrel::types {

struct IdlTextError {
  enum class Kind : std::uint8_t {
    MinimalOnly,  // the registry has only the minimal form: member and type names are gone
    Missing,      // neither form is known
    Unwritable,   // IDL has no spelling for it
  };
  Kind kind = Kind::Missing;
  std::string detail{};  // the hash in hex, or what cannot be written

  friend bool operator==(const IdlTextError&, const IdlTextError&) = default;
};

std::string to_string(const IdlTextError& error);

struct IdlText {
  std::string top_level_name{};  // scoped as in the text: a::b::T (a keyword part escaped, _map)
  std::string text{};
};

// `top` names the type by its complete (or minimal) hash.
std::expected<IdlText, IdlTextError> to_idl_text(const TypeIdentifier& top,
                                                 const TypeRegistry& registry);

}  // namespace nimbrel::types
