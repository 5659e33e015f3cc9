// What discovery events reach: the participant's components and the rooms that keep local
// endpoints and builtin-topic samples. Taken from the runtime's state, or from anything else that
// holds the four parts under these names.
#pragma once

#include "dcps/builtin/builtin_delivery.hpp"
#include "dcps/participant/participant.hpp"
#include "dcps/readers/user_reader.hpp"
#include "dcps/writers/user_writer.hpp"

namespace nimbrel::dcps {

struct EventTargets {
  template <typename Rooms>
  EventTargets(Rooms& rooms)  // NOLINT(google-explicit-constructor): a view, taken implicitly
      : participant(rooms.participant),
        readers(rooms.readers),
        writers(rooms.writers),
        builtin(rooms.builtin) {}

  Participant& participant;
  UserReaders& readers;
  UserWriters& writers;
  BuiltinTopics& builtin;
};

}  // namespace nimbrel::dcps
