// What the opaque C handles are. Each handle holds its own reference to the runtime, so the
// runtime lives until the last handle is gone, whatever order the caller destroys them in.
// Private to the C API and its tests.
#pragma once

#include <memory>

#include "dcps/readers/sample_queue.hpp"
#include "dcps/runtime/runtime.hpp"
#include "foundation/guarded.hpp"
#include "nimbrel/nimbrel.h"
#include "rtps/wire_types.hpp"

struct NimbrelRuntime {
  std::shared_ptr<nimbrel::dcps::DcpsRuntime> runtime;
};

struct NimbrelReader {
  std::shared_ptr<nimbrel::dcps::DcpsRuntime> runtime;
  nimbrel::rtps::EntityId entity_id;
  // Serialises takes from any caller thread; the runtime only appends through the sending side.
  nimbrel::Guarded<nimbrel::dcps::SampleReceiver> samples;
  nimbrel::dcps::QueueLevel level;  // of `samples`' queue, read without its lock
};
