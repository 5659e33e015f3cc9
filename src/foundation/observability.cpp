#include "foundation/observability.hpp"

namespace nimbrel {

Event Event::with_attr(std::string key, std::string value) && {
  attrs.emplace_back(std::move(key), std::move(value));
  return std::move(*this);
}

}  // namespace nimbrel
