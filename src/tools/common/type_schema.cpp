#include "tools/common/type_schema.hpp"

#include "cdr/buffer.hpp"
#include "discovery/type_lookup/type_exchange.hpp"
#include "tools/common/json.hpp"
#include "types/idl_text.hpp"
#include "types/resolve.hpp"
#include "types/type_object_xcdr2.hpp"

namespace nimbrel::tools {

std::string identifier_hex(const types::TypeIdentifier& id) {
  cdr::BufferWriter writer;
  if (!id.encode(writer)) return {};
  return to_hex(writer.bytes());
}

TypeSchema type_schema(const discovery::WriterType& fetched) {
  TypeSchema out{.type_identifier = identifier_hex(fetched.type_id)};
  types::TypeRegistry registry;
  for (const auto& entry : fetched.objects) {
    out.objects.emplace_back(identifier_hex(entry.type_id), entry.type_object);
    auto object = types::decode_xcdr2(entry.type_object);
    if (!object) {
      out.error = "type object " + out.objects.back().first + " does not decode";
      continue;
    }
    registry.add(entry.type_id, std::move(*object));
  }
  auto idl = types::to_idl_text(fetched.type_id, registry);
  if (idl) {
    out.name = std::move(idl->top_level_name);
    out.idl = std::move(idl->text);
  } else if (out.error.empty()) {
    out.error = types::to_string(idl.error());
  }
  return out;
}

}  // namespace nimbrel::tools
