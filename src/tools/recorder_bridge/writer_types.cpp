#include "tools/recorder_bridge/writer_types.hpp"

namespace nimbrel::bridge {

WriterType WriterTypes::operator()(const rtps::Guid& writer) {
  switch (state_(writer)) {
    case discovery::TypeState::Pending:
      return {.state = WriterType::State::Pending};
    case discovery::TypeState::Failed:
      return {.state = WriterType::State::None,
              .schema = {.error = "the writer's type could not be fetched"}};
    case discovery::TypeState::None:
      return {};
    case discovery::TypeState::Known:
      break;
  }
  const auto fetched = fetch_(writer);
  if (!fetched) return {};
  const std::string key = tools::identifier_hex(fetched->type_id);
  auto it = by_identifier_.find(key);
  if (it == by_identifier_.end())
    it = by_identifier_.emplace(key, tools::type_schema(*fetched)).first;
  return {.state = WriterType::State::Known, .schema = it->second};
}

}  // namespace nimbrel::bridge
