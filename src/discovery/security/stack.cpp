#include "discovery/security/stack.hpp"

#include <type_traits>
#include <utility>
#include <variant>

#include "discovery/detail/builtin_endpoints.hpp"

namespace nimbrel::discovery {

namespace ids = rtps::entity_ids;
namespace bit = secure_endpoint_bit;

SecurityBuiltinStack::SecurityBuiltinStack(const rtps::GuidPrefix& prefix, rtps::VendorId vendor_id)
    : stateless_writer_({prefix, ids::participant_stateless_writer}),
      stateless_reader_({prefix, ids::participant_stateless_reader}),
      volatile_writer_(
          make_volatile_secure_writer({prefix, ids::volatile_secure_writer}, vendor_id)),
      volatile_reader_({prefix, ids::volatile_secure_reader}, vendor_id),
      prefix_(prefix) {}

void SecurityBuiltinStack::handle_remote_endpoints(const DiscoveredParticipant& participant) {
  const auto& data = participant.data;
  if (data.participant_guid.prefix == prefix_) return;
  const detail::RemoteBuiltinEndpoints remote(data.participant_guid.prefix, data);
  if (remote.announces(bit::stateless_writer | bit::stateless_reader)) {
    stateless_reader_.add_writer_proxy(remote.writer(ids::participant_stateless_writer));
    stateless_writer_.add_reader_proxy(remote.reader(ids::participant_stateless_reader));
  }
  if (remote.announces(bit::volatile_writer | bit::volatile_reader)) {
    volatile_reader_.add_writer_proxy(remote.writer(ids::volatile_secure_writer));
    volatile_writer_.add_reader_proxy(remote.reader(ids::volatile_secure_reader));
  }
}

void SecurityBuiltinStack::on_participants_removed(const std::set<rtps::GuidPrefix>& gone) {
  detail::remove_proxies_of(gone, stateless_writer_, stateless_reader_, volatile_writer_,
                            volatile_reader_);
}

SecureMessages SecurityBuiltinStack::handle_datagram(const rtps::ReceivedDatagram& datagram,
                                                     Elapsed now) {
  SecureMessages out;
  for (const auto& received : datagram.submessages) {
    if (received.consumer == rtps::Consumer::SecureStateless ||
        received.consumer == rtps::Consumer::SecureVolatile) {
      handle(received, now, out);
    }
  }
  return out;
}

void SecurityBuiltinStack::handle(const rtps::ReceivedSubmessage& received, Elapsed now,
                                  SecureMessages& out) {
  const rtps::ReceiverState& from = received.state;
  std::visit(
      [&](const auto& body) {
        using T = std::decay_t<decltype(body)>;
        if constexpr (std::is_same_v<T, rtps::DataSubmessage>) {
          if (body.reader_id == ids::participant_stateless_reader ||
              body.writer_id == ids::participant_stateless_writer) {
            if (auto message = stateless_reader_.handle_data(body)) {
              out.stateless.push_back(std::move(*message));
            }
            return;
          }
        }
        if constexpr (ReaderSubmessage<T>) {
          if (addressed_to(body, ids::volatile_secure_reader, ids::volatile_secure_writer)) {
            detail::append(out.volatile_secure, volatile_reader_.handle(from, body, now));
          }
        } else if constexpr (WriterSubmessage<T>) {
          if (body.writer_id == ids::volatile_secure_writer) {
            detail::feed_writer(volatile_writer_, from, body);
          }
        }
      },
      received.body);
}

CodecResult<std::vector<rtps::OutboundDatagram>> SecurityBuiltinStack::poll(Elapsed now) {
  return detail::tick_all(now, volatile_writer_, volatile_reader_);
}

}  // namespace nimbrel::discovery
