// The state one running participant shares between its four threads and the API calls: the
// participant with its sockets and discovery components, and one part per room. Threads hold it
// in shared ownership; only the public `DcpsRuntime` decides when they stop.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "dcps/builtin/builtin_delivery.hpp"
#include "dcps/participant/participant.hpp"
#include "dcps/readers/user_reader.hpp"
#include "dcps/writers/user_writer.hpp"

namespace nimbrel::dcps {

struct RuntimeState {
  template <typename... ParticipantArgs>
  explicit RuntimeState(ParticipantArgs&&... args)
      : participant(std::forward<ParticipantArgs>(args)...) {}
  RuntimeState(const RuntimeState&) = delete;
  RuntimeState& operator=(const RuntimeState&) = delete;

  Participant participant;
  UserReaders readers;
  UserWriters writers;
  BuiltinTopics builtin;
  std::atomic<bool> stop{false};  // set once by shutdown; read by all four threads
};

}  // namespace nimbrel::dcps
