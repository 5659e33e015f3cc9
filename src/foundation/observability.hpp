// A minimal event sink for diagnostics that callers may route elsewhere; the default discards
// every event.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace nimbrel {

struct Event {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attrs;

  Event with_attr(std::string key, std::string value) &&;
};

class Sink {
 public:
  virtual ~Sink() = default;
  virtual void record(const Event& event) = 0;
};

class NullSink final : public Sink {
 public:
  void record(const Event&) override {}
};

}  // namespace nimbrel
