// The user writers' share of each tick: repairs and heartbeats of every writer, sent after all
// slots are released, and the writers' QoS timers (offered deadline, lifespan, liveliness). The
// timer steps work on one locked slot and read no clock, so they are tested on their own.
#pragma once

#include "dcps/participant/participant.hpp"
#include "dcps/writers/user_writer.hpp"

#include "foundation/time.hpp"

namespace nimbrel::dcps {

// At most one miss per tick; the next period counts from the miss. Liveliness never moves the
// reference, so a writer that stopped writing keeps missing its deadline.
void check_offered_deadline(UserWriterSlot& writer, Elapsed now);

// Expired samples leave the history, exactly those and no later one.
void expire_lifespan(UserWriterSlot& writer, Elapsed now);

// Counted once per lease without a write (automatic) or an assertion (manual kinds); the loss
// moves only the liveliness reference, never the last write time.
void check_writer_liveliness(UserWriterSlot& writer, Elapsed now);

// Ticks every user writer in entity-id order, then sends what they produced.
void tick_user_writers(Participant& participant, UserWriters& writers, Elapsed now);

}  // namespace nimbrel::dcps
