// Bodies of the interpreter submessages INFO_REPLY, INFO_SRC and INFO_TS (DDSI-RTPS 2.5
// sections 9.4.5.9 to 9.4.5.13); all are decoded only.
#include "rtps/submessages.hpp"

namespace nimbrel::rtps {

namespace {

constexpr std::size_t locator_size = 24;
constexpr std::size_t info_src_size = 20;
constexpr std::size_t info_ts_size = 8;
constexpr std::size_t info_dst_size = 12;

}  // namespace

WireResult<std::vector<Locator>> read_locator_list(WireReader& r) {
  std::uint32_t count = 0;
  NIMBREL_READ_OR_RETURN(count, r.read_u32());
  if (count > r.remaining() / locator_size) {
    return std::unexpected(WireError::malformed("InfoReply.locatorList length exceeds body"));
  }
  std::vector<Locator> locators(count);
  for (auto& locator : locators) {
    NIMBREL_READ_OR_RETURN(locator, r.read_locator());
    if (!is_accepted_locator_kind(locator.kind)) {
      return std::unexpected(
          WireError{.kind = WireError::Kind::InvalidLocatorKind, .locator_kind = locator.kind});
    }
  }
  return locators;
}

WireResult<InfoReplySubmessage> InfoReplySubmessage::read_body(std::span<const std::byte> body,
                                                               std::uint8_t flags) {
  WireReader r(body, is_little_endian(flags));
  InfoReplySubmessage reply;
  NIMBREL_READ_OR_RETURN(reply.unicast_locators, read_locator_list(r));
  if ((flags & flag_multicast) != 0) {
    NIMBREL_READ_OR_RETURN(reply.multicast_locators, read_locator_list(r));
  }
  return reply;
}

WireResult<InfoSourceSubmessage> InfoSourceSubmessage::read_body(std::span<const std::byte> body,
                                                                 std::uint8_t flags) {
  if (body.size() < info_src_size) return std::unexpected(WireError::eof(info_src_size, 0));
  WireReader r(body, is_little_endian(flags));
  InfoSourceSubmessage src;
  std::array<std::uint8_t, 2> version{};
  NIMBREL_READ_OR_RETURN(src.unused, r.read_u32());
  NIMBREL_READ_OR_RETURN(version, r.read_array<2>());
  NIMBREL_READ_OR_RETURN(src.vendor_id, r.read_array<2>());
  NIMBREL_READ_OR_RETURN(src.guid_prefix, r.read_guid_prefix());
  src.version = {version[0], version[1]};
  return src;
}

EncodedBody InfoDestinationSubmessage::write_body(bool little_endian) const {
  EncodedBody body{.flags = little_endian ? endianness_flag : std::uint8_t{0}};
  WireWriter(body.bytes, little_endian).write_bytes(std::span(guid_prefix));
  return body;
}

WireResult<InfoDestinationSubmessage> InfoDestinationSubmessage::read_body(
    std::span<const std::byte> body, std::uint8_t flags) {
  if (body.size() < info_dst_size) return std::unexpected(WireError::eof(info_dst_size, 0));
  WireReader r(body, is_little_endian(flags));
  InfoDestinationSubmessage dst;
  NIMBREL_READ_OR_RETURN(dst.guid_prefix, r.read_guid_prefix());
  return dst;
}

WireResult<InfoTimestampSubmessage> InfoTimestampSubmessage::read_body(
    std::span<const std::byte> body, std::uint8_t flags) {
  InfoTimestampSubmessage ts;
  if ((flags & flag_invalidate) != 0) return ts;
  if (body.size() < info_ts_size) return std::unexpected(WireError::eof(info_ts_size, 0));
  WireReader r(body, is_little_endian(flags));
  Time time;
  NIMBREL_READ_OR_RETURN(time.seconds, r.read_i32());
  NIMBREL_READ_OR_RETURN(time.fraction, r.read_u32());
  ts.timestamp = time;
  return ts;
}

}  // namespace nimbrel::rtps
