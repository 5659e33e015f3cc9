#include "discovery/security/stack.hpp"

#include <iterator>
#include <utility>
#include <variant>

namespace nimbrel::discovery {
namespace {

namespace ids = rtps::entity_ids;
namespace bit = secure_endpoint_bit;

bool has_both(std::uint32_t set, std::uint32_t a, std::uint32_t b) {
  return (set & a) != 0 && (set & b) != 0;
}

// Addressed to our volatile reader, or to every reader of the remote volatile writer.
template <typename T>
bool for_volatile_reader(const T& submessage) {
  return submessage.reader_id == ids::volatile_secure_reader ||
         (submessage.reader_id.is_unknown() && submessage.writer_id == ids::volatile_secure_writer);
}

void append(GenericMessages& to, GenericMessages&& from) {
  to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
}

}  // namespace

SecurityBuiltinStack::SecurityBuiltinStack(const rtps::GuidPrefix& prefix, rtps::VendorId vendor_id)
    : stateless_writer_({prefix, ids::participant_stateless_writer}),
      stateless_reader_({prefix, ids::participant_stateless_reader}),
      volatile_writer_(
          make_volatile_secure_writer({prefix, ids::volatile_secure_writer}, vendor_id)),
      volatile_reader_({prefix, ids::volatile_secure_reader}, vendor_id),
      prefix_(prefix) {}

void SecurityBuiltinStack::handle_remote_endpoints(const DiscoveredParticipant& participant) {
  const auto& data = participant.data;
  const rtps::GuidPrefix& remote = data.participant_guid.prefix;
  if (remote == prefix_) return;
  const std::vector<rtps::Locator> locators = builtin_endpoint_locators(data);
  const std::uint32_t set = data.builtin_endpoint_set;
  if (has_both(set, bit::stateless_writer, bit::stateless_reader)) {
    stateless_reader_.add_writer_proxy(
        rtps::WriterProxy{.unicast_locators = locators,
                          .remote_writer_guid = {remote, ids::participant_stateless_writer}});
    stateless_writer_.add_reader_proxy(
        rtps::ReaderProxy{.remote_reader_guid = {remote, ids::participant_stateless_reader},
                          .unicast_locators = locators});
  }
  if (has_both(set, bit::volatile_writer, bit::volatile_reader)) {
    volatile_reader_.add_writer_proxy(rtps::WriterProxy{
        .unicast_locators = locators, .remote_writer_guid = {remote, ids::volatile_secure_writer}});
    volatile_writer_.add_reader_proxy(rtps::ReaderProxy{
        .remote_reader_guid = {remote, ids::volatile_secure_reader}, .unicast_locators = locators});
  }
}

void SecurityBuiltinStack::on_participants_removed(const std::set<rtps::GuidPrefix>& gone) {
  if (gone.empty()) return;
  const auto of_gone = [&](const rtps::Guid& guid) { return gone.contains(guid.prefix); };
  stateless_writer_.remove_reader_proxies_if(of_gone);
  stateless_reader_.remove_writer_proxies_if(of_gone);
  volatile_writer_.remove_reader_proxies_if(of_gone);
  volatile_reader_.remove_writer_proxies_if(of_gone);
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
  const rtps::GuidPrefix& source = received.state.source_prefix;
  std::visit(
      [&](const auto& body) {
        using T = std::decay_t<decltype(body)>;
        if constexpr (std::is_same_v<T, rtps::DataSubmessage>) {
          if (body.reader_id == ids::participant_stateless_reader ||
              body.writer_id == ids::participant_stateless_writer) {
            if (auto message = stateless_reader_.handle_data(body)) {
              out.stateless.push_back(std::move(*message));
            }
          } else if (for_volatile_reader(body)) {
            append(out.volatile_secure, volatile_reader_.handle_data(source, body));
          }
        } else if constexpr (std::is_same_v<T, rtps::DataFragSubmessage>) {
          if (for_volatile_reader(body))
            append(out.volatile_secure, volatile_reader_.handle_data_frag(source, body, now));
        } else if constexpr (std::is_same_v<T, rtps::GapSubmessage>) {
          if (for_volatile_reader(body))
            append(out.volatile_secure, volatile_reader_.handle_gap(source, body));
        } else if constexpr (std::is_same_v<T, rtps::HeartbeatSubmessage>) {
          if (for_volatile_reader(body))
            append(out.volatile_secure, volatile_reader_.handle_heartbeat(source, body, now));
        } else if constexpr (std::is_same_v<T, rtps::AckNackSubmessage> ||
                             std::is_same_v<T, rtps::NackFragSubmessage>) {
          if (body.writer_id != ids::volatile_secure_writer) return;
          if constexpr (std::is_same_v<T, rtps::AckNackSubmessage>) {
            volatile_writer_.handle_acknack(body, source);
          } else {
            volatile_writer_.handle_nackfrag(body, source);
          }
        }
      },
      received.body);
}

CodecResult<std::vector<rtps::OutboundDatagram>> SecurityBuiltinStack::poll(Elapsed now) {
  auto out = volatile_writer_.tick(now);
  if (!out) return std::unexpected(out.error());
  auto acks = volatile_reader_.tick_outbound(now);
  if (!acks) return std::unexpected(acks.error());
  out->insert(out->end(), std::make_move_iterator(acks->begin()),
              std::make_move_iterator(acks->end()));
  return std::move(*out);
}

}  // namespace nimbrel::discovery
