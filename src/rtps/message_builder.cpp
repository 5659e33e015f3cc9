#include "rtps/message_builder.hpp"

#include "foundation/fatal.hpp"
#include "rtps/datagram.hpp"

namespace nimbrel::rtps {

namespace {

const char* too_long_message(BodyLabel label) {
  switch (label) {
    case BodyLabel::Gap:
      return "GAP body exceeds u16::MAX";
    case BodyLabel::Heartbeat:
      return "HEARTBEAT body exceeds u16::MAX";
    case BodyLabel::Data:
      return "DATA body exceeds u16::MAX";
    case BodyLabel::Other:
      break;
  }
  return "submessage body exceeds u16::MAX";
}

}  // namespace

MessageBuilder::MessageBuilder(const GuidPrefix& prefix, VendorId vendor_id,
                               std::shared_ptr<const std::vector<Locator>> destinations,
                               std::size_t mtu)
    : prefix_(prefix), vendor_id_(vendor_id), destinations_(std::move(destinations)), mtu_(mtu) {
  if (mtu_ < min_mtu) fatal("MTU must accommodate at least the 20-byte RTPS header");
  open_fresh();
}

void MessageBuilder::open_fresh() {
  buffer_.clear();
  buffer_.reserve(mtu_);
  write_rtps_header(buffer_, protocol_version_2_5, vendor_id_, prefix_);
  submessages_ = 0;
}

CodecResult<void> MessageBuilder::append(std::uint8_t id, std::uint8_t flags,
                                         std::span<const std::byte> body,
                                         std::vector<OutboundDatagram>& closed, BodyLabel label) {
  if (body.size() > max_submessage_body) {
    return std::unexpected(CodecError::resource_limit(too_long_message(label)));
  }
  if (buffer_.size() + submessage_header_size + body.size() > mtu_) {
    if (submessages_ > 0) closed.push_back({std::move(buffer_), destinations_});
    buffer_ = {};
    open_fresh();
    if (rtps_header_size + submessage_header_size + body.size() > mtu_) {
      return std::unexpected(CodecError::malformed("submessage does not fit into fresh datagram"));
    }
  }
  (void)write_submessage(buffer_, id, static_cast<std::uint8_t>(flags | endianness_flag), body,
                         too_long_message(label));
  ++submessages_;
  return {};
}

std::optional<OutboundDatagram> MessageBuilder::finish() {
  if (submessages_ == 0) return std::nullopt;
  OutboundDatagram out{std::move(buffer_), destinations_};
  buffer_ = {};
  open_fresh();
  return out;
}

}  // namespace nimbrel::rtps
