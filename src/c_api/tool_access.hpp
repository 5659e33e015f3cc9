// What the project's own tools do beyond the six C functions; they link the C API statically. A
// runtime with a configuration of their own, whole samples with the losses between them, and
// closing a reader ahead of its last takes, so that everything it acknowledged is recorded; what
// discovery knows of a writer whose samples are taken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "dcps/participant/runtime_config.hpp"
#include "dcps/readers/sample_queue.hpp"
#include "dcps/runtime/runtime.hpp"
#include "nimbrel/nimbrel.h"

namespace nimbrel::c_api {

// As nimbrel_runtime_create, with `config` instead of the defaults.
NimbrelRuntime* create_runtime(uint32_t domain_id, dcps::RuntimeConfig config) noexcept;

// Appends what the reader holds, oldest first, to `out`: at most `max_items`, and no more once
// their payloads reach `max_bytes`. Samples come whole (every change kind, the payload with its
// encapsulation header); a take through nimbrel_reader_take never sees those taken here.
// Returns NIMBREL_STATUS_OK, NIMBREL_STATUS_NULL_ARGUMENT or NIMBREL_STATUS_POISONED.
int32_t take_items(NimbrelReader* reader, std::vector<dcps::ReaderItem>& out, std::size_t max_items,
                   std::size_t max_bytes) noexcept;

// As nimbrel_reader_create, with `config` instead of the defaults; null when the runtime is null,
// a name is not UTF-8 or registration fails.
NimbrelReader* create_reader(NimbrelRuntime* runtime, dcps::UserReaderConfig config) noexcept;

// Stops the reader from taking in new samples, so that what it holds can be taken to the last one
// before the reader is destroyed: every sample it acknowledged to a writer is queued for a take.
// Data that arrives afterwards is left unacknowledged to its writer. Waits only for a delivery in
// progress. Returns NIMBREL_STATUS_OK, NIMBREL_STATUS_NULL_ARGUMENT or NIMBREL_STATUS_POISONED.
int32_t close_reader(NimbrelReader* reader) noexcept;

// The writer's publication and its participant as discovered; empty for a null runtime or a writer
// no longer (or never) known.
std::optional<dcps::RemoteWriter> describe_writer(NimbrelRuntime* runtime,
                                                  const rtps::Guid& writer) noexcept;

// The topics and types of remote writers announced after `generation` (see
// DcpsRuntime::writer_topics_since); for a null runtime, nothing and `missed` set.
ArrivalLog<dcps::TopicType>::Since writer_topics_since(NimbrelRuntime* runtime,
                                                       std::uint64_t generation) noexcept;

// A remote writer's type once fetched whole and checked (see DcpsRuntime::writer_type); empty for a
// null runtime or a type not (yet) known.
std::optional<discovery::WriterType> writer_type(NimbrelRuntime* runtime,
                                                 const rtps::Guid& writer) noexcept;

// Whether the writer's type is on its way (Pending), known, given up on (Failed), or was never
// announced (None, also for a null runtime).
discovery::TypeState type_state(NimbrelRuntime* runtime, const rtps::Guid& writer) noexcept;

// The writers whose type became known after `generation`; ask first with 0, then with the
// generation returned. `missed` set: some were dropped, look at every writer. For a null runtime,
// nothing new and `missed` set.
discovery::TypeArrivals type_arrivals_since(NimbrelRuntime* runtime,
                                            std::uint64_t generation) noexcept;

// Types to serve to standard type lookups, the top-level one first, each as its XCDR2 bytes.
// False for a null runtime, an object that does not hash to its identifier, or a full store.
bool add_type_objects(NimbrelRuntime* runtime,
                      std::span<const discovery::TypeEntry> closure) noexcept;

}  // namespace nimbrel::c_api
