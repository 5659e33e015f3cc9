#include "discovery/sedp/writer.hpp"

#include "rtps/lifecycle.hpp"

namespace nimbrel::discovery {

rtps::ReliableWriter make_sedp_writer(const rtps::Guid& guid, rtps::VendorId vendor_id) {
  return rtps::ReliableWriter(
      rtps::ReliableWriterConfig{.writer_guid = guid, .vendor_id = vendor_id});
}

CodecResult<rtps::Datagrams> write_endpoint_goodbye(rtps::ReliableWriter& writer,
                                                    const rtps::Guid& endpoint) {
  return writer.write_last(rtps::builtin_goodbye(rtps::pid::endpoint_guid, endpoint));
}

namespace {

template <typename Record>
CodecResult<rtps::Datagrams> write_record(rtps::ReliableWriter& writer, const Record& record) {
  auto payload = rtps::encode_bytes(record, true);
  if (!payload) return std::unexpected(payload.error());
  return writer.write(*payload);
}

}  // namespace

CodecResult<rtps::Datagrams> write_subscription(
    rtps::ReliableWriter& writer, const rtps::SubscriptionBuiltinTopicData& subscription) {
  return write_record(writer, subscription);
}

CodecResult<rtps::Datagrams> write_publication(
    rtps::ReliableWriter& writer, const rtps::PublicationBuiltinTopicData& publication) {
  return write_record(writer, publication);
}

}  // namespace nimbrel::discovery
