#include "discovery/sedp/reader.hpp"

#include <optional>

#include "foundation/saturating.hpp"
#include "rtps/parameter_list.hpp"

namespace nimbrel::discovery {
namespace {

constexpr std::size_t encapsulation_size = 4;
constexpr std::byte pl_cdr_be{0x02};
constexpr std::byte pl_cdr_le{0x03};

// A disposed or unregistered endpoint is named by the key hash (its GUID, for the builtin
// topics) or, in a payload holding only the key, by PID_ENDPOINT_GUID.
std::optional<rtps::Guid> endpoint_of_lifecycle(const rtps::DeliveredSample& sample) {
  if (sample.key_hash) return rtps::Guid::from_bytes(*sample.key_hash);
  const auto payload = sample.payload.span();
  if (payload.size() < encapsulation_size || payload[0] != std::byte{0}) return std::nullopt;
  if (payload[1] != pl_cdr_le && payload[1] != pl_cdr_be) return std::nullopt;
  auto list = rtps::ParameterList::from_bytes(payload.subspan(encapsulation_size),
                                              /*little_endian=*/payload[1] == pl_cdr_le);
  if (!list) return std::nullopt;
  const rtps::Parameter* guid = list->find(rtps::pid::endpoint_guid);
  return guid ? guid->read_guid() : std::nullopt;
}

}  // namespace

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
SedpDelivery<Record> SedpDetector<Record>::decode(
    const std::vector<rtps::DeliveredSample>& samples) {
  SedpDelivery<Record> delivery;
  for (const auto& sample : samples) {
    if (sample.kind != rtps::change_kind::alive) {
      if (auto endpoint = endpoint_of_lifecycle(sample)) {
        delivery.removed.push_back(*endpoint);
      } else {
        saturating_increment(undecodable_records_);
      }
      continue;
    }
    auto record = Record::from_pl_cdr_le(sample.payload.span());
    if (!record) {
      saturating_increment(undecodable_records_);
      continue;
    }
    delivery.records.push_back(std::move(*record));
  }
  return delivery;
}

template <typename Record>
SedpDelivery<Record> SedpDetector<Record>::handle_data(const rtps::GuidPrefix& source,
                                                       const rtps::DataSubmessage& data) {
  return decode(reader_.handle_data(source, data));
}

template <typename Record>
SedpDelivery<Record> SedpDetector<Record>::handle_data_frag(const rtps::GuidPrefix& source,
                                                            const rtps::DataFragSubmessage& frag,
                                                            Elapsed now) {
  return decode(reader_.handle_data_frag(source, frag, now));
}

template <typename Record>
SedpDelivery<Record> SedpDetector<Record>::handle_gap(const rtps::GuidPrefix& source,
                                                      const rtps::GapSubmessage& gap) {
  return decode(reader_.handle_gap(source, gap));
}

template <typename Record>
SedpDelivery<Record> SedpDetector<Record>::handle_heartbeat(
    const rtps::GuidPrefix& source, const rtps::HeartbeatSubmessage& heartbeat, Elapsed now) {
  return decode(reader_.handle_heartbeat(source, heartbeat, now));
}

template class SedpDetector<rtps::PublicationBuiltinTopicData>;
template class SedpDetector<rtps::SubscriptionBuiltinTopicData>;

}  // namespace nimbrel::discovery
