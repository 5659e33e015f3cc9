#include "discovery/sedp/stack.hpp"

#include <iterator>
#include <utility>
#include <variant>

#include "foundation/saturating.hpp"

namespace nimbrel::discovery {

namespace ids = rtps::entity_ids;

namespace {

template <typename T>
void append(std::vector<T>& to, std::vector<T>&& from) {
  to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
}

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
  const rtps::GuidPrefix& remote = participant.sender_prefix;
  if (remote == prefix_) return;
  const auto& data = participant.data;
  const std::vector<rtps::Locator> locators = builtin_endpoint_locators(data);

  const std::uint32_t set = data.builtin_endpoint_set;
  auto add_writer = [&](auto& detector, const rtps::EntityId& writer) {
    detector.add_writer_proxy(
        rtps::WriterProxy{.unicast_locators = locators, .remote_writer_guid = {remote, writer}});
  };
  auto add_reader = [&](rtps::ReliableWriter& writer, const rtps::EntityId& reader) {
    writer.add_reader_proxy(
        rtps::ReaderProxy{.remote_reader_guid = {remote, reader}, .unicast_locators = locators});
  };
  if ((set & sedp_endpoint_bit::publications_announcer) != 0)
    add_writer(publications_reader_, ids::sedp_publications_writer);
  if ((set & sedp_endpoint_bit::publications_detector) != 0)
    add_reader(publications_writer_, ids::sedp_publications_reader);
  if ((set & sedp_endpoint_bit::subscriptions_announcer) != 0)
    add_writer(subscriptions_reader_, ids::sedp_subscriptions_writer);
  if ((set & sedp_endpoint_bit::subscriptions_detector) != 0)
    add_reader(subscriptions_writer_, ids::sedp_subscriptions_reader);
}

void SedpStack::on_participants_removed(const std::set<rtps::GuidPrefix>& gone) {
  if (gone.empty()) return;
  const auto of_gone = [&](const rtps::Guid& guid) { return gone.contains(guid.prefix); };
  publications_writer_.remove_reader_proxies_if(of_gone);
  subscriptions_writer_.remove_reader_proxies_if(of_gone);
  publications_reader_.remove_writer_proxies_if(of_gone);
  subscriptions_reader_.remove_writer_proxies_if(of_gone);
  for (const auto& prefix : gone)
    cache_.erase_participant(prefix);
}

std::optional<SedpStack::Detector> SedpStack::detector_for(const rtps::EntityId& reader_id,
                                                           const rtps::EntityId& writer_id) {
  if (reader_id == ids::sedp_publications_reader) return Detector::Publications;
  if (reader_id == ids::sedp_subscriptions_reader) return Detector::Subscriptions;
  // ENTITYID_UNKNOWN addresses every matched reader of the writer (DDSI-RTPS 2.5 section 8.3.7);
  // peers send their first announcements and heartbeats that way.
  if (reader_id.is_unknown()) {
    if (writer_id == ids::sedp_publications_writer) return Detector::Publications;
    if (writer_id == ids::sedp_subscriptions_writer) return Detector::Subscriptions;
  }
  return std::nullopt;
}

rtps::ReliableWriter* SedpStack::announcer_for(const rtps::EntityId& writer_id) {
  if (writer_id == ids::sedp_publications_writer) return &publications_writer_;
  if (writer_id == ids::sedp_subscriptions_writer) return &subscriptions_writer_;
  return nullptr;
}

SedpEvents SedpStack::handle_datagram(const rtps::ReceivedDatagram& datagram, Elapsed now) {
  SedpEvents events;
  for (const auto& received : datagram.submessages) {
    if (received.consumer != rtps::Consumer::Sedp) continue;
    std::visit([&](const auto& body) { handle(received.state, body, now, events); }, received.body);
  }
  return events;
}

void SedpStack::store(SedpDelivery<rtps::PublicationBuiltinTopicData> delivered, Elapsed now,
                      SedpEvents& events) {
  saturating_increment(publication_updates_, std::uint64_t{delivered.records.size()});
  for (const auto& publication : delivered.records)
    cache_.insert_publication(publication, now);
  for (const auto& endpoint : delivered.removed)
    cache_.erase_publication(endpoint);
  append(events.publications, std::move(delivered.records));
  append(events.removed_publications, std::move(delivered.removed));
}

void SedpStack::store(SedpDelivery<rtps::SubscriptionBuiltinTopicData> delivered, Elapsed now,
                      SedpEvents& events) {
  saturating_increment(subscription_updates_, std::uint64_t{delivered.records.size()});
  for (const auto& subscription : delivered.records)
    cache_.insert_subscription(subscription, now);
  for (const auto& endpoint : delivered.removed)
    cache_.erase_subscription(endpoint);
  append(events.subscriptions, std::move(delivered.records));
  append(events.removed_subscriptions, std::move(delivered.removed));
}

template <typename Fn>
void SedpStack::to_detector(const rtps::EntityId& reader_id, const rtps::EntityId& writer_id,
                            Fn&& fn) {
  const auto detector = detector_for(reader_id, writer_id);
  if (!detector) return;
  if (*detector == Detector::Publications) {
    fn(publications_reader_);
  } else {
    fn(subscriptions_reader_);
  }
}

void SedpStack::handle(const rtps::ReceiverState& from, const rtps::DataSubmessage& data,
                       Elapsed now, SedpEvents& events) {
  to_detector(data.reader_id, data.writer_id,
              [&](auto& detector) { store(detector.handle_data(from, data), now, events); });
}

void SedpStack::handle(const rtps::ReceiverState& from, const rtps::DataFragSubmessage& frag,
                       Elapsed now, SedpEvents& events) {
  to_detector(frag.reader_id, frag.writer_id, [&](auto& detector) {
    store(detector.handle_data_frag(from, frag, now), now, events);
  });
}

void SedpStack::handle(const rtps::ReceiverState& from, const rtps::GapSubmessage& gap, Elapsed now,
                       SedpEvents& events) {
  to_detector(gap.reader_id, gap.writer_id,
              [&](auto& detector) { store(detector.handle_gap(from, gap), now, events); });
}

void SedpStack::handle(const rtps::ReceiverState& from, const rtps::HeartbeatSubmessage& heartbeat,
                       Elapsed now, SedpEvents& events) {
  to_detector(heartbeat.reader_id, heartbeat.writer_id, [&](auto& detector) {
    store(detector.handle_heartbeat(from, heartbeat, now), now, events);
  });
}

void SedpStack::handle(const rtps::ReceiverState& from, const rtps::AckNackSubmessage& acknack,
                       Elapsed, SedpEvents&) {
  // The set's members are the requested numbers; bits past the words present count as clear.
  if (auto* writer = announcer_for(acknack.writer_id))
    writer->handle_acknack(acknack, from.source_prefix);
}

void SedpStack::handle(const rtps::ReceiverState& from, const rtps::NackFragSubmessage& nackfrag,
                       Elapsed, SedpEvents&) {
  if (auto* writer = announcer_for(nackfrag.writer_id))
    writer->handle_nackfrag(nackfrag, from.source_prefix);
}

CodecResult<std::vector<rtps::OutboundDatagram>> SedpStack::tick(Elapsed now) {
  std::vector<rtps::OutboundDatagram> out;
  for (auto* writer : {&publications_writer_, &subscriptions_writer_}) {
    auto datagrams = writer->tick(now);
    if (!datagrams) return std::unexpected(datagrams.error());
    append(out, std::move(*datagrams));
  }
  auto publications = publications_reader_.tick_outbound(now);
  if (!publications) return std::unexpected(publications.error());
  append(out, std::move(*publications));
  auto subscriptions = subscriptions_reader_.tick_outbound(now);
  if (!subscriptions) return std::unexpected(subscriptions.error());
  append(out, std::move(*subscriptions));
  return out;
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
