// Closing a reader ahead of its last takes. Not one of the six C functions: the project's own
// tools link the C API statically and need it to record everything a reader has acknowledged.
#pragma once

#include <cstdint>

#include "nimbrel/nimbrel.h"

namespace nimbrel::c_api {

// Stops the reader from taking in new samples, so that what it holds can be taken to the last one
// before the reader is destroyed: every sample it acknowledged to a writer is queued for a take.
// Data that arrives afterwards is left unacknowledged to its writer. Waits only for a delivery in
// progress. Returns NIMBREL_STATUS_OK, NIMBREL_STATUS_NULL_ARGUMENT or NIMBREL_STATUS_POISONED.
int32_t close_reader(NimbrelReader* reader) noexcept;

}  // namespace nimbrel::c_api
