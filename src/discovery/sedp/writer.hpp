// The two SEDP announcers (DDSI-RTPS 2.5 section 8.5.4): reliable writers of this participant's
// endpoint records: the subscriptions of the user readers and the publications of the user
// writers.
#pragma once

#include <vector>

#include "rtps/publication_data.hpp"
#include "rtps/reliable_writer.hpp"
#include "rtps/subscription_data.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::discovery {

// No reader proxies at start; the defaults of `ReliableWriterConfig` are the SEDP settings.
rtps::ReliableWriter make_sedp_writer(const rtps::Guid& guid, rtps::VendorId vendor_id);

// Disposes and unregisters the local endpoint, once, for the writer's last words.
CodecResult<rtps::Datagrams> write_endpoint_goodbye(rtps::ReliableWriter& writer,
                                                    const rtps::Guid& endpoint);

// Stores the record as PL_CDR_LE; the datagrams reach the readers already in step.
CodecResult<rtps::Datagrams> write_subscription(
    rtps::ReliableWriter& writer, const rtps::SubscriptionBuiltinTopicData& subscription);

CodecResult<rtps::Datagrams> write_publication(
    rtps::ReliableWriter& writer, const rtps::PublicationBuiltinTopicData& publication);

}  // namespace nimbrel::discovery
