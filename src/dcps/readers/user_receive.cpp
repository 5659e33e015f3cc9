#include "dcps/readers/user_receive.hpp"

#include <algorithm>
#include <iterator>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "dcps/participant/outbound.hpp"
#include "dcps/readers/user_reader.hpp"

namespace nimbrel::dcps {
namespace {

// Routes the reader submessages of one datagram to the local user readers.
class UserDatagramRouter {
 public:
  UserDatagramRouter(UserReaders& readers, Elapsed now, std::uint64_t reception_ns)
      : readers_(readers), now_(now), reception_ns_(reception_ns) {}

  // After the datagram's last submessage: what each reader released goes to its queue; then the
  // answers, so that no admission is held across a send.
  void hand_over_all(const transport::Transport& reply_socket) {
    for (auto& pending : pending_) {
      hand_over(std::move(pending.delivery));
      pending.admission.reset();
    }
    pending_.clear();
    send_to_udp_v4_destinations(reply_socket, replies_);
  }

  void route(const rtps::ReceiverState& from, const rtps::DataSubmessage& data) {
    const rtps::ChangeTimes times{.source = from.timestamp, .reception_ns = reception_ns_};
    to_readers(data.reader_id, {from.source_prefix, data.writer_id}, /*respond=*/false,
               /*needs_room=*/true, [&](rtps::ReliableReader& reader) {
                 return reader.handle_data(from.source_prefix, data, times);
               });
  }
  void route(const rtps::ReceiverState& from, const rtps::DataFragSubmessage& frag) {
    const rtps::ChangeTimes times{.source = from.timestamp, .reception_ns = reception_ns_};
    to_readers(frag.reader_id, {from.source_prefix, frag.writer_id}, /*respond=*/false,
               /*needs_room=*/true, [&](rtps::ReliableReader& reader) {
                 return reader.handle_data_frag(from.source_prefix, frag, now_, times);
               });
  }
  void route(const rtps::ReceiverState& from, const rtps::GapSubmessage& gap) {
    to_readers(gap.reader_id, {from.source_prefix, gap.writer_id}, /*respond=*/false,
               /*needs_room=*/false, [&](rtps::ReliableReader& reader) {
                 return reader.handle_gap(from.source_prefix, gap);
               });
  }
  void route(const rtps::ReceiverState& from, const rtps::HeartbeatSubmessage& heartbeat) {
    to_readers(heartbeat.reader_id, {from.source_prefix, heartbeat.writer_id}, /*respond=*/true,
               /*needs_room=*/false, [&](rtps::ReliableReader& reader) {
                 return reader.handle_heartbeat(from.source_prefix, heartbeat, now_);
               });
  }
  // ACKNACK and NACK_FRAG are the writers' share; HEARTBEAT_FRAG and the INFO submessages carry
  // nothing a reader acts on here.
  template <typename Other>
  void route(const rtps::ReceiverState&, const Other&) {}

 private:
  // What one reader released during the datagram, handed over once at its end: one queue lock
  // and one wake-up per datagram instead of per sample.
  struct Pending {
    const Guarded<UserReaderSlot>* slot = nullptr;
    Delivery delivery{};
    // Held until the released samples are queued, so that a close never misses them.
    std::optional<Admission> admission{};
  };

  // A submessage addressed to no reader (ENTITYID_UNKNOWN) goes to every reader matched with the
  // writer: standard writers address all their matched readers that way.
  // Data needs room in the reader's queue: what the queue cannot take is left to a reliable
  // writer's repair, unacknowledged; a best-effort writer's is lost, and counted as such. A closed
  // queue takes nothing at all.
  template <typename Handle>
  void to_readers(const rtps::EntityId& reader_id, const rtps::Guid& writer, bool respond,
                  bool needs_room, Handle&& handle) {
    if (!reader_id.is_unknown()) {
      if (auto slot = readers_.slots.find(reader_id)) {
        on_slot(*slot, writer, /*only_if_matched=*/false, respond, needs_room, handle);
      }
      return;
    }
    if (!route_ || route_->first != writer) route_.emplace(writer, writer_routes(readers_, writer));
    for (const auto& slot : route_->second) {
      on_slot(*slot, writer, /*only_if_matched=*/true, respond, needs_room, handle);
    }
  }

  Pending& pending_for(const Guarded<UserReaderSlot>& shared) {
    for (auto& pending : pending_) {
      if (pending.slot == &shared) return pending;
    }
    return pending_.emplace_back(Pending{.slot = &shared});
  }

  template <typename Handle>
  void on_slot(Guarded<UserReaderSlot>& shared, const rtps::Guid& writer, bool only_if_matched,
               bool respond, bool needs_room, Handle& handle) {
    auto slot = shared.lock();
    if (!slot) return;
    UserReaderSlot& local = **slot;
    if (only_if_matched && local.reader.writer_proxy_state(writer) == nullptr) return;
    const bool full = needs_room && local.queue && local.queue->full();
    // Only a best-effort writer's data goes on into a full queue's reader, to be counted lost.
    const bool refused = full && is_best_effort(local.reader, writer);
    if (full && !refused) return;
    Pending& pending = pending_for(shared);
    if (local.queue && !pending.admission) {
      auto granted = local.queue->admit();
      if (!granted) return;
      pending.admission.emplace(std::move(*granted));
    }
    append(pending.delivery, collect_delivery(local, handle(local.reader), now_, refused));
    // With its queue filling up the reader answers later, from the tick, once there is room.
    if (respond && !(local.queue && local.queue->holding_answers())) {
      if (auto out = local.reader.tick_outbound(now_))
        std::ranges::move(*out, std::back_inserter(replies_));
    }
  }

  static bool is_best_effort(const rtps::ReliableReader& reader, const rtps::Guid& writer) {
    const rtps::WriterProxyState* state = reader.writer_proxy_state(writer);
    return state != nullptr && !state->proxy.reliable;
  }

  static void append(Delivery& into, Delivery more) {
    if (more.items.empty()) return;
    if (into.items.empty()) {
      into = std::move(more);
      return;
    }
    std::ranges::move(more.items, std::back_inserter(into.items));
  }

  UserReaders& readers_;
  Elapsed now_;
  std::uint64_t reception_ns_;
  // The endpoints of the last writer whose submessages were addressed to no reader: a datagram
  // mostly holds one writer's.
  std::optional<std::pair<rtps::Guid, std::vector<SharedReaderSlot>>> route_;
  std::vector<Pending> pending_;
  std::vector<rtps::OutboundDatagram> replies_;
};

}  // namespace

void handle_user_datagram(UserReaders& readers, const transport::Transport& reply_socket,
                          const rtps::ReceivedDatagram& datagram, Elapsed now) {
  UserDatagramRouter router(readers, now, datagram.reception_ns);
  for (const auto& received : datagram.submessages) {
    if (received.consumer != rtps::Consumer::User) continue;
    std::visit([&](const auto& body) { router.route(received.state, body); }, received.body);
  }
  router.hand_over_all(reply_socket);
}

}  // namespace nimbrel::dcps
