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

CodecResult<std::vector<Locator>> read_locator_list(WireReader& r) {
  std::uint32_t count = 0;
  NIMBREL_READ_OR_RETURN(count, r.read_u32());
  if (count > r.remaining() / locator_size) {
    return std::unexpected(
        CodecError::malformed("InfoReply.locatorList length exceeds body", r.position()));
  }
  std::vector<Locator> locators(count);
  for (auto& locator : locators) {
    const std::size_t at = r.position();
    NIMBREL_READ_OR_RETURN(locator, r.read_locator());
    if (!is_accepted_locator_kind(locator.kind)) {
      return std::unexpected(CodecError{
          .kind = CodecError::Kind::InvalidLocatorKind, .offset = at, .value = locator.kind});
    }
  }
  return locators;
}

CodecResult<InfoReplySubmessage> InfoReplySubmessage::decode(WireReader& r, std::uint8_t flags) {
  InfoReplySubmessage reply;
  NIMBREL_READ_OR_RETURN(reply.unicast_locators, read_locator_list(r));
  if ((flags & flag_multicast) != 0) {
    NIMBREL_READ_OR_RETURN(reply.multicast_locators, read_locator_list(r));
  }
  return reply;
}

CodecResult<InfoSourceSubmessage> InfoSourceSubmessage::decode(WireReader& r, std::uint8_t) {
  if (!r.has(info_src_size)) return std::unexpected(CodecError::eof(info_src_size, r.position()));
  InfoSourceSubmessage src;
  std::array<std::uint8_t, 2> version{};
  NIMBREL_READ_OR_RETURN(src.unused, r.read_u32());
  NIMBREL_READ_OR_RETURN(version, r.read_array<2>());
  NIMBREL_READ_OR_RETURN(src.vendor_id, r.read_array<2>());
  NIMBREL_READ_OR_RETURN(src.guid_prefix, r.read_guid_prefix());
  src.version = {version[0], version[1]};
  return src;
}

std::uint8_t InfoDestinationSubmessage::flags(bool little_endian) const {
  return flag_if(little_endian, endianness_flag);
}

void InfoDestinationSubmessage::encode(WireWriter& w) const {
  w.write_bytes(std::span(guid_prefix));
}

CodecResult<InfoDestinationSubmessage> InfoDestinationSubmessage::decode(WireReader& r,
                                                                         std::uint8_t) {
  if (!r.has(info_dst_size)) return std::unexpected(CodecError::eof(info_dst_size, r.position()));
  InfoDestinationSubmessage dst;
  NIMBREL_READ_OR_RETURN(dst.guid_prefix, r.read_guid_prefix());
  return dst;
}

CodecResult<InfoTimestampSubmessage> InfoTimestampSubmessage::decode(WireReader& r,
                                                                     std::uint8_t flags) {
  InfoTimestampSubmessage ts;
  if ((flags & flag_invalidate) != 0) return ts;
  if (!r.has(info_ts_size)) return std::unexpected(CodecError::eof(info_ts_size, r.position()));
  Time time;
  NIMBREL_READ_OR_RETURN(time.seconds, r.read_i32());
  NIMBREL_READ_OR_RETURN(time.fraction, r.read_u32());
  ts.timestamp = time;
  return ts;
}

}  // namespace nimbrel::rtps
