#include "discovery/sedp/writer.hpp"

#include "rtps/lifecycle.hpp"

namespace nimbrel::discovery {

rtps::ReliableWriter make_sedp_writer(const rtps::Guid& guid, rtps::VendorId vendor_id) {
  return rtps::ReliableWriter(
      rtps::ReliableWriterConfig{.writer_guid = guid, .vendor_id = vendor_id});
}

rtps::WireResult<rtps::Datagrams> write_endpoint_goodbye(rtps::ReliableWriter& writer,
                                                         const rtps::Guid& endpoint) {
  return writer.write_last(rtps::builtin_goodbye(rtps::pid::endpoint_guid, endpoint));
}

rtps::WireResult<rtps::Datagrams> write_subscription(
    rtps::ReliableWriter& writer, const rtps::SubscriptionBuiltinTopicData& subscription) {
  auto payload = subscription.to_pl_cdr_le();
  if (!payload) return std::unexpected(payload.error());
  return writer.write(*payload);
}

}  // namespace nimbrel::discovery
