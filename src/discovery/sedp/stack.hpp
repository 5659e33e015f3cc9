// Simple endpoint discovery (DDSI-RTPS 2.5 section 8.5.4): the two SEDP announcers, the two
// detectors and the cache of remote endpoints. The runtime guards one stack with a mutex, tells it
// about each new participant, feeds it metatraffic datagrams, ticks it and announces its readers
// through it; the stack only returns datagrams, its callers send them after unlocking.
#pragma once

#include <cstdint>
#include <set>
#include <vector>

#include "discovery/sedp/cache.hpp"
#include "discovery/sedp/reader.hpp"
#include "discovery/sedp/writer.hpp"
#include "discovery/spdp.hpp"
#include "foundation/shared_bytes.hpp"
#include "foundation/time.hpp"
#include "rtps/receiver.hpp"
#include "rtps/reliable_writer.hpp"
#include "rtps/submessages.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::discovery {

// Bits of the builtin endpoint set naming the SEDP endpoints (DDSI-RTPS 2.5 section 8.5.3.2).
namespace sedp_endpoint_bit {
inline constexpr std::uint32_t publications_announcer = 0x04;
inline constexpr std::uint32_t publications_detector = 0x08;
inline constexpr std::uint32_t subscriptions_announcer = 0x10;
inline constexpr std::uint32_t subscriptions_detector = 0x20;
}  // namespace sedp_endpoint_bit

// What the detectors delivered while one datagram was handled, in delivery order, re-announcements
// included, and the endpoints whose writers disposed or unregistered them.
struct SedpEvents {
  std::vector<rtps::PublicationBuiltinTopicData> publications;
  std::vector<rtps::SubscriptionBuiltinTopicData> subscriptions;
  std::vector<rtps::Guid> removed_publications;
  std::vector<rtps::Guid> removed_subscriptions;

  bool brings_endpoints() const { return !publications.empty() || !subscriptions.empty(); }
};

class SedpStack {
 public:
  SedpStack(const rtps::GuidPrefix& prefix, rtps::VendorId vendor_id);

  // Adds a proxy for each SEDP endpoint in the participant's builtin endpoint set, reached at its
  // metatraffic unicast locator, else its default unicast locator, else nowhere. Our own
  // announcement adds nothing.
  void on_participant_discovered(const DiscoveredParticipant& participant);

  // Forgets the participants: their proxies, pending repairs and cached endpoints.
  void on_participants_removed(const std::set<rtps::GuidPrefix>& gone);

  // The SEDP submessages of a received datagram: records delivered by the detectors are stored in
  // the cache and returned, disposed or unregistered endpoints leave it.
  SedpEvents handle_datagram(const rtps::ReceivedDatagram& datagram, Elapsed now);

  // Heartbeats and repairs of both announcers, then the acknowledgements of both detectors.
  CodecResult<std::vector<rtps::OutboundDatagram>> tick(Elapsed now);

  // The goodbye of local subscriptions, for the moment this participant leaves.
  CodecResult<std::vector<rtps::OutboundDatagram>> announce_subscriptions_gone(
      const std::vector<rtps::Guid>& subscriptions);

  // Encodes the subscription as PL_CDR_LE and writes it to the subscriptions announcer; the caller
  // sends the datagrams.
  CodecResult<std::vector<rtps::OutboundDatagram>> announce_subscription(
      const rtps::SubscriptionBuiltinTopicData& subscription);

  // The same for a local writer's publication, through the publications announcer.
  CodecResult<std::vector<rtps::OutboundDatagram>> announce_publication(
      const rtps::PublicationBuiltinTopicData& publication);
  // The goodbye of local publications, for the moment this participant leaves.
  CodecResult<std::vector<rtps::OutboundDatagram>> announce_publications_gone(
      const std::vector<rtps::Guid>& publications);

  const DiscoveredEndpointsCache& cache() const { return cache_; }
  const rtps::ReliableWriter& publications_writer() const { return publications_writer_; }
  const rtps::ReliableWriter& subscriptions_writer() const { return subscriptions_writer_; }
  const SedpPublicationsReader& publications_reader() const { return publications_reader_; }
  const SedpSubscriptionsReader& subscriptions_reader() const { return subscriptions_reader_; }
  // Records delivered, re-announcements included.
  std::uint64_t publication_updates() const { return publication_updates_; }
  std::uint64_t subscription_updates() const { return subscription_updates_; }

 private:
  rtps::ReliableWriter* announcer_for(const rtps::EntityId& writer_id);
  // One submessage, with the receiver state it arrived under; events are appended to `events`.
  void handle(const rtps::ReceivedSubmessage& received, Elapsed now, SedpEvents& events);

  // Caches or removes what a detector delivered, counts the records and appends both to the
  // events.
  template <typename Record>
  void store(SedpDelivery<Record> delivered, Elapsed now, std::uint64_t& updates,
             std::vector<Record>& records, std::vector<rtps::Guid>& removed);

  rtps::ReliableWriter publications_writer_;
  rtps::ReliableWriter subscriptions_writer_;
  SedpPublicationsReader publications_reader_;
  SedpSubscriptionsReader subscriptions_reader_;
  DiscoveredEndpointsCache cache_;
  rtps::GuidPrefix prefix_;
  std::uint64_t publication_updates_ = 0;
  std::uint64_t subscription_updates_ = 0;
};

}  // namespace nimbrel::discovery
