#include "discovery/sedp/reader.hpp"

#include <optional>

#include "foundation/saturating.hpp"
#include "rtps/lifecycle.hpp"

namespace nimbrel::discovery {

template <typename Record>
SedpDetector<Record>::SedpDetector(const rtps::Guid& guid, rtps::VendorId vendor_id)
    : reader_(rtps::ReliableReaderConfig{.writer_proxies = {},
                                         .response_delay = Duration{0},
                                         .reader_guid = guid,
                                         .vendor_id = vendor_id,
                                         .max_samples = 256,
                                         .assembler_caps = rtps::AssemblerCaps{
                                             .max_pending_sns = 64,
                                             .max_sample_size = 1'048'576,
                                             .max_fragment_size = 65'535,
                                         }}) {}

template <typename Record>
SedpDelivery<Record> SedpDetector<Record>::decode(const std::vector<rtps::DeliveredSample>& samples,
                                                  rtps::VendorId vendor) {
  SedpDelivery<Record> delivery;
  for (const auto& sample : samples) {
    if (sample.kind != rtps::change_kind::alive) {
      if (auto endpoint =
              rtps::builtin_instance(sample.key_hash, sample.payload, rtps::pid::endpoint_guid)) {
        delivery.removed.push_back(*endpoint);
      } else {
        saturating_increment(undecodable_records_);
      }
      continue;
    }
    auto record = rtps::decode_bytes<Record>(sample.payload.span(), true, vendor);
    if (!record) {
      saturating_increment(undecodable_records_);
      continue;
    }
    delivery.records.push_back(std::move(*record));
  }
  return delivery;
}

template <typename Record>
SedpDelivery<Record> SedpDetector<Record>::handle_data(const rtps::ReceiverState& from,
                                                       const rtps::DataSubmessage& data) {
  return decode(reader_.handle_data(from.source_prefix, data), from.source_vendor_id);
}

template <typename Record>
SedpDelivery<Record> SedpDetector<Record>::handle_data_frag(const rtps::ReceiverState& from,
                                                            const rtps::DataFragSubmessage& frag,
                                                            Elapsed now) {
  return decode(reader_.handle_data_frag(from.source_prefix, frag, now), from.source_vendor_id);
}

template <typename Record>
SedpDelivery<Record> SedpDetector<Record>::handle_gap(const rtps::ReceiverState& from,
                                                      const rtps::GapSubmessage& gap) {
  return decode(reader_.handle_gap(from.source_prefix, gap), from.source_vendor_id);
}

template <typename Record>
SedpDelivery<Record> SedpDetector<Record>::handle_heartbeat(
    const rtps::ReceiverState& from, const rtps::HeartbeatSubmessage& heartbeat, Elapsed now) {
  return decode(reader_.handle_heartbeat(from.source_prefix, heartbeat, now),
                from.source_vendor_id);
}

template class SedpDetector<rtps::PublicationBuiltinTopicData>;
template class SedpDetector<rtps::SubscriptionBuiltinTopicData>;

}  // namespace nimbrel::discovery
