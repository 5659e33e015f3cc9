#include "discovery/sedp/writer.hpp"

#include "rtps/lifecycle.hpp"

namespace nimbrel::discovery {

rtps::ReliableWriter make_sedp_writer(const rtps::Guid& guid, rtps::VendorId vendor_id) {
  return rtps::ReliableWriter(
      rtps::ReliableWriterConfig{.writer_guid = guid, .vendor_id = vendor_id});
}

rtps::WireResult<rtps::Datagrams> write_endpoint_goodbye(rtps::ReliableWriter& writer,
                                                         const rtps::Guid& endpoint) {
  // The key alone, as PL_CDR_LE: readers that keep no key hash still learn which endpoint left.
  rtps::ParameterList key;
  key.push_guid(rtps::pid::endpoint_guid, endpoint);
  std::vector<std::byte> payload{std::byte{0}, std::byte{0x03}, std::byte{0}, std::byte{0}};
  rtps::WireWriter key_writer(payload, /*little_endian=*/true);
  if (auto ok = key.write_to(key_writer); !ok) {
    return std::unexpected(ok.error());
  }
  return writer.write_last(rtps::DataSubmessage{
      .inline_qos = rtps::lifecycle_qos(endpoint.to_bytes(),
                                        rtps::change_kind::not_alive_disposed_unregistered),
      .serialized_payload = SharedBytes::adopt(std::move(payload)),
      .key_flag = true});
}

rtps::WireResult<rtps::Datagrams> write_subscription(
    rtps::ReliableWriter& writer, const rtps::SubscriptionBuiltinTopicData& subscription) {
  auto payload = subscription.to_pl_cdr_le();
  if (!payload) return std::unexpected(payload.error());
  return writer.write(*payload);
}

}  // namespace nimbrel::discovery
