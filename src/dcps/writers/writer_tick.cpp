#include "dcps/writers/writer_tick.hpp"

#include <iterator>
#include <optional>
#include <vector>

#include "dcps/participant/outbound.hpp"
#include "dcps/participant/participant.hpp"
#include "dcps/writers/user_writer.hpp"
#include "foundation/saturating.hpp"

namespace nimbrel::dcps {
namespace {

std::uint64_t ns_since(Elapsed then, Elapsed now) {
  const auto ns = (now - then).count();
  return ns < 0 ? 0 : static_cast<std::uint64_t>(ns);
}

}  // namespace

void check_offered_deadline(UserWriterSlot& writer, Elapsed now) {
  if (writer.deadline_ns == 0 || !writer.last_write_time) return;
  if (ns_since(*writer.last_write_time, now) < writer.deadline_ns) return;
  saturating_increment(writer.offered_deadline_missed);
  writer.last_write_time = now;
}

void expire_lifespan(UserWriterSlot& writer, Elapsed now) {
  if (writer.lifespan_ns == 0) return;
  std::optional<rtps::SequenceNumber> expired;
  while (!writer.write_times.empty() &&
         ns_since(writer.write_times.front().at, now) >= writer.lifespan_ns) {
    expired = writer.write_times.front().sequence_number;
    writer.write_times.pop_front();
  }
  if (expired) writer.writer.remove_up_to(*expired);
}

void check_writer_liveliness(UserWriterSlot& writer, Elapsed now) {
  if (writer.liveliness_lease_ns == 0) return;
  // Writes assert liveliness as well, so the assertion time covers both kinds; a writer that
  // never wrote nor asserted has nothing to lose yet.
  const std::optional<Elapsed>& reference = writer.last_liveliness_assertion;
  if (!reference || ns_since(*reference, now) < writer.liveliness_lease_ns) return;
  saturating_increment(writer.liveliness_lost);
  writer.last_liveliness_assertion = now;
}

void tick_user_writers(Participant& participant, UserWriters& writers, Elapsed now) {
  std::vector<rtps::OutboundDatagram> datagrams;
  for (const auto& [id, shared] : writers.slots.snapshot()) {
    auto slot = shared->lock();
    if (!slot) continue;
    UserWriterSlot& writer = **slot;
    if (auto out = writer.writer.tick(now)) {
      datagrams.insert(datagrams.end(), std::make_move_iterator(out->begin()),
                       std::make_move_iterator(out->end()));
    }
    check_offered_deadline(writer, now);
    expire_lifespan(writer, now);
    check_writer_liveliness(writer, now);
  }
  // Sent after every slot is released, so a slow send never holds up a writing thread.
  send_to_udp_v4_destinations(*participant.sockets.user_rx, datagrams);
}

}  // namespace nimbrel::dcps
