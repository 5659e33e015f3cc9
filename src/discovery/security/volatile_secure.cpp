#include "discovery/security/volatile_secure.hpp"

#include <utility>

#include "foundation/saturating.hpp"

namespace nimbrel::discovery {

VolatileSecureMessageReader::VolatileSecureMessageReader(const rtps::Guid& guid,
                                                         rtps::VendorId vendor_id)
    : reader_(rtps::ReliableReaderConfig{.reader_guid = guid,
                                         .vendor_id = vendor_id,
                                         .max_samples = volatile_secure_max_samples,
                                         .assembler_caps = volatile_secure_assembler_caps}) {}

GenericMessages VolatileSecureMessageReader::decode(
    const std::vector<rtps::DeliveredSample>& samples) {
  GenericMessages messages;
  for (const auto& sample : samples) {
    if (sample.kind != rtps::change_kind::alive) continue;  // no message to decode
    auto message =
        rtps::decode_bytes<security::ParticipantGenericMessage>(sample.payload.span(), true);
    if (!message) {
      saturating_increment(undecodable_);
      continue;
    }
    messages.push_back(std::move(*message));
  }
  return messages;
}

GenericMessages VolatileSecureMessageReader::handle_data(const rtps::GuidPrefix& source,
                                                         const rtps::DataSubmessage& data) {
  return decode(reader_.handle_data(source, data));
}

GenericMessages VolatileSecureMessageReader::handle_data_frag(const rtps::GuidPrefix& source,
                                                              const rtps::DataFragSubmessage& frag,
                                                              Elapsed now) {
  return decode(reader_.handle_data_frag(source, frag, now));
}

GenericMessages VolatileSecureMessageReader::handle_gap(const rtps::GuidPrefix& source,
                                                        const rtps::GapSubmessage& gap) {
  return decode(reader_.handle_gap(source, gap));
}

GenericMessages VolatileSecureMessageReader::handle_heartbeat(
    const rtps::GuidPrefix& source, const rtps::HeartbeatSubmessage& heartbeat, Elapsed now) {
  return decode(reader_.handle_heartbeat(source, heartbeat, now));
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
