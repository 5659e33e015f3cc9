// The two SEDP detectors (DDSI-RTPS 2.5 section 8.5.4): reliable readers whose in-order samples are
// decoded into publication or subscription records. The stack routes the submessages of remote
// SEDP announcers here; writer proxies are added per discovered participant.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "foundation/time.hpp"
#include "rtps/publication_data.hpp"
#include "rtps/receiver.hpp"
#include "rtps/reliable_reader.hpp"
#include "rtps/submessages.hpp"
#include "rtps/subscription_data.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::discovery {

// What one submessage released: records announced (or announced again) and the endpoints their
// writers disposed or unregistered, each list in delivery order.
template <typename Record>
struct SedpDelivery {
  std::vector<Record> records;
  std::vector<rtps::Guid> removed;
};

template <typename Record>
class SedpDetector {
 public:
  // No writer proxies at start; response delay 0 and the default per-proxy and assembly caps.
  SedpDetector(const rtps::Guid& guid, rtps::VendorId vendor_id);

  void add_writer_proxy(rtps::WriterProxy proxy) { reader_.add_writer_proxy(std::move(proxy)); }
  void remove_writer_proxies_if(const std::function<bool(const rtps::Guid&)>& gone) {
    reader_.remove_writer_proxies_if(gone);
  }

  // What is now deliverable in order. A sample that does not decode is counted in
  // `undecodable_records` and skipped: it was received, so it is not asked for again, and its
  // neighbours are delivered.
  SedpDelivery<Record> handle_data(const rtps::ReceiverState& from,
                                   const rtps::DataSubmessage& data);
  SedpDelivery<Record> handle_data_frag(const rtps::ReceiverState& from,
                                        const rtps::DataFragSubmessage& frag, Elapsed now);
  SedpDelivery<Record> handle_gap(const rtps::ReceiverState& from, const rtps::GapSubmessage& gap);
  // A HEARTBEAT that moves the first available number past a hole releases the records waiting
  // behind it; they are decoded like any other. The acknowledgement leaves on a later tick.
  SedpDelivery<Record> handle_heartbeat(const rtps::ReceiverState& from,
                                        const rtps::HeartbeatSubmessage& heartbeat, Elapsed now);

  CodecResult<std::vector<rtps::OutboundDatagram>> tick_outbound(Elapsed now) {
    return reader_.tick_outbound(now);
  }

  const rtps::ReliableReader& reader() const { return reader_; }
  std::uint64_t undecodable_records() const { return undecodable_records_; }

 private:
  // Records from other vendors are read without this system's own parameters.
  SedpDelivery<Record> decode(const std::vector<rtps::DeliveredSample>& samples,
                              rtps::VendorId vendor);

  rtps::ReliableReader reader_;
  std::uint64_t undecodable_records_ = 0;
};

using SedpPublicationsReader = SedpDetector<rtps::PublicationBuiltinTopicData>;
using SedpSubscriptionsReader = SedpDetector<rtps::SubscriptionBuiltinTopicData>;

}  // namespace nimbrel::discovery
