#include "discovery/sedp/reader.hpp"

#include <utility>

#include "rtps/lifecycle.hpp"

namespace nimbrel::discovery {

template <typename Record>
bool SedpRecordDecoder<Record>::decode_into(const rtps::DeliveredSample& sample,
                                            rtps::VendorId vendor, Delivery& delivery) {
  if (sample.kind != rtps::change_kind::alive) {
    auto endpoint =
        rtps::builtin_instance(sample.key_hash, sample.payload, rtps::pid::endpoint_guid);
    if (!endpoint) return false;
    delivery.removed.push_back(*endpoint);
    return true;
  }
  auto record = rtps::decode_bytes<Record>(sample.payload.span(), true, vendor);
  if (!record) return false;
  delivery.records.push_back(std::move(*record));
  return true;
}

template struct SedpRecordDecoder<rtps::PublicationBuiltinTopicData>;
template struct SedpRecordDecoder<rtps::SubscriptionBuiltinTopicData>;

}  // namespace nimbrel::discovery
