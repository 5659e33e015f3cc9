#include "discovery/sedp/stack.hpp"

#include <utility>
#include <variant>

#include "discovery/detail/builtin_endpoints.hpp"
#include "foundation/saturating.hpp"

namespace nimbrel::discovery {

namespace ids = rtps::entity_ids;
namespace bit = sedp_endpoint_bit;
using detail::append;

namespace {

CodecResult<std::vector<rtps::OutboundDatagram>> goodbyes(
    rtps::ReliableWriter& writer, const std::vector<rtps::Guid>& endpoints) {
  std::vector<rtps::OutboundDatagram> out;
  for (const auto& endpoint : endpoints) {
    auto datagrams = write_endpoint_goodbye(writer, endpoint);
    if (!datagrams) return std::unexpected(datagrams.error());
    append(out, std::move(*datagrams));
  }
  return out;
}

}  // namespace

SedpStack::SedpStack(const rtps::GuidPrefix& prefix, rtps::VendorId vendor_id)
    : publications_writer_(make_sedp_writer({prefix, ids::sedp_publications_writer}, vendor_id)),
      subscriptions_writer_(make_sedp_writer({prefix, ids::sedp_subscriptions_writer}, vendor_id)),
      publications_reader_({prefix, ids::sedp_publications_reader}, vendor_id),
      subscriptions_reader_({prefix, ids::sedp_subscriptions_reader}, vendor_id),
      prefix_(prefix) {}

void SedpStack::on_participant_discovered(const DiscoveredParticipant& participant) {
  if (participant.sender_prefix == prefix_) return;
  const detail::RemoteBuiltinEndpoints remote(participant.sender_prefix, participant.data);
  if (remote.announces(bit::publications_announcer))
    publications_reader_.add_writer_proxy(remote.writer(ids::sedp_publications_writer));
  if (remote.announces(bit::publications_detector))
    publications_writer_.add_reader_proxy(remote.reader(ids::sedp_publications_reader));
  if (remote.announces(bit::subscriptions_announcer))
    subscriptions_reader_.add_writer_proxy(remote.writer(ids::sedp_subscriptions_writer));
  if (remote.announces(bit::subscriptions_detector))
    subscriptions_writer_.add_reader_proxy(remote.reader(ids::sedp_subscriptions_reader));
}

void SedpStack::on_participants_removed(const std::set<rtps::GuidPrefix>& gone) {
  detail::remove_proxies_of(gone, publications_writer_, subscriptions_writer_, publications_reader_,
                            subscriptions_reader_);
  for (const auto& prefix : gone)
    cache_.erase_participant(prefix);
}

rtps::ReliableWriter* SedpStack::announcer_for(const rtps::EntityId& writer_id) {
  if (writer_id == ids::sedp_publications_writer) return &publications_writer_;
  if (writer_id == ids::sedp_subscriptions_writer) return &subscriptions_writer_;
  return nullptr;
}

SedpEvents SedpStack::handle_datagram(const rtps::ReceivedDatagram& datagram, Elapsed now) {
  SedpEvents events;
  for (const auto& received : datagram.submessages) {
    if (received.consumer == rtps::Consumer::Sedp) handle(received, now, events);
  }
  return events;
}

template <typename Record>
void SedpStack::store(SedpDelivery<Record> delivered, Elapsed now, std::uint64_t& updates,
                      std::vector<Record>& records, std::vector<rtps::Guid>& removed) {
  saturating_increment(updates, std::uint64_t{delivered.records.size()});
  auto& table = cache_.table<Record>();
  for (const auto& record : delivered.records)
    table.insert(record, now);
  for (const auto& endpoint : delivered.removed)
    table.erase(endpoint);
  append(records, std::move(delivered.records));
  append(removed, std::move(delivered.removed));
}

void SedpStack::handle(const rtps::ReceivedSubmessage& received, Elapsed now, SedpEvents& events) {
  const rtps::ReceiverState& from = received.state;
  std::visit(
      [&](const auto& body) {
        using T = std::decay_t<decltype(body)>;
        if constexpr (ReaderSubmessage<T>) {
          if (addressed_to(body, ids::sedp_publications_reader, ids::sedp_publications_writer)) {
            store(publications_reader_.handle(from, body, now), now, publication_updates_,
                  events.publications, events.removed_publications);
          } else if (addressed_to(body, ids::sedp_subscriptions_reader,
                                  ids::sedp_subscriptions_writer)) {
            store(subscriptions_reader_.handle(from, body, now), now, subscription_updates_,
                  events.subscriptions, events.removed_subscriptions);
          }
        } else if constexpr (WriterSubmessage<T>) {
          // The set's members are the requested numbers; bits past the words present count as
          // clear.
          if (auto* writer = announcer_for(body.writer_id))
            detail::feed_writer(*writer, from, body);
        }
      },
      received.body);
}

CodecResult<std::vector<rtps::OutboundDatagram>> SedpStack::tick(Elapsed now) {
  return detail::tick_all(now, publications_writer_, subscriptions_writer_, publications_reader_,
                          subscriptions_reader_);
}

CodecResult<std::vector<rtps::OutboundDatagram>> SedpStack::announce_subscriptions_gone(
    const std::vector<rtps::Guid>& subscriptions) {
  return goodbyes(subscriptions_writer_, subscriptions);
}

CodecResult<std::vector<rtps::OutboundDatagram>> SedpStack::announce_publications_gone(
    const std::vector<rtps::Guid>& publications) {
  return goodbyes(publications_writer_, publications);
}

CodecResult<std::vector<rtps::OutboundDatagram>> SedpStack::announce_subscription(
    const rtps::SubscriptionBuiltinTopicData& subscription) {
  return write_subscription(subscriptions_writer_, subscription);
}

CodecResult<std::vector<rtps::OutboundDatagram>> SedpStack::announce_publication(
    const rtps::PublicationBuiltinTopicData& publication) {
  return write_publication(publications_writer_, publication);
}

}  // namespace nimbrel::discovery
