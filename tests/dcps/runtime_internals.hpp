// Lets tests look inside a running runtime: its state, with the slots and stacks that the public
// interface does not hand out.
#pragma once

#include "dcps/runtime/runtime.hpp"

namespace nimbrel::dcps {

struct RuntimeInternals {
  static RuntimeState& state(const DcpsRuntime& runtime) { return *runtime.state_; }
  static SharedReaderSlot reader_slot(const DcpsRuntime& runtime, const rtps::EntityId& reader) {
    return state(runtime).readers.slots.find(reader);
  }
};

}  // namespace nimbrel::dcps
