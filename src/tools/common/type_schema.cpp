#include "tools/common/type_schema.hpp"

#include "cdr/buffer.hpp"
#include "tools/common/json.hpp"

namespace nimbrel::tools {

std::string identifier_hex(const types::TypeIdentifier& id) {
  cdr::BufferWriter writer;
  if (!id.encode(writer)) return {};
  return to_hex(writer.bytes());
}

}  // namespace nimbrel::tools
