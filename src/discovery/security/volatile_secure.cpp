#include "discovery/security/volatile_secure.hpp"

#include <utility>

namespace nimbrel::discovery {

bool GenericMessageDecoder::decode_into(const rtps::DeliveredSample& sample, rtps::VendorId,
                                        Delivery& delivery) {
  if (sample.kind != rtps::change_kind::alive) return true;
  auto message =
      rtps::decode_bytes<security::ParticipantGenericMessage>(sample.payload.span(), true);
  if (!message) return false;
  delivery.push_back(std::move(*message));
  return true;
}

rtps::ReliableWriter make_volatile_secure_writer(const rtps::Guid& guid, rtps::VendorId vendor_id) {
  return rtps::ReliableWriter(rtps::ReliableWriterConfig{
      .writer_guid = guid,
      .vendor_id = vendor_id,
      .history = rtps::HistoryPolicy::keep_last(volatile_secure_max_samples),
      .max_samples = volatile_secure_max_samples,
  });
}

}  // namespace nimbrel::discovery
