// The type of each writer for its channel, from what the runtime fetched: the schema worked out
// once per type however many writers share it.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "discovery/type_lookup/type_exchange.hpp"
#include "tools/recorder_bridge/mcap_output.hpp"

namespace nimbrel::bridge {

class WriterTypes {
 public:
  using State = std::function<discovery::TypeState(const rtps::Guid&)>;
  using Fetch = std::function<std::optional<discovery::WriterType>(const rtps::Guid&)>;

  WriterTypes(State state, Fetch fetch) : state_(std::move(state)), fetch_(std::move(fetch)) {}

  WriterType operator()(const rtps::Guid& writer);

 private:
  State state_;
  Fetch fetch_;
  std::map<std::string, tools::TypeSchema> by_identifier_;
};

}  // namespace nimbrel::bridge
