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

WireResult<Decoded<std::vector<Locator>>> read_locator_list(std::span<const std::byte> body,
                                                            std::size_t offset,
                                                            bool little_endian) {
  WireReader r(body, little_endian);
  r.seek(offset);
  if (offset > body.size() || !r.has(4)) return std::unexpected(WireError::eof(4, offset));
  const std::uint32_t count = *r.read_u32();
  if (count > r.remaining() / locator_size) {
    return std::unexpected(WireError::malformed("InfoReply.locatorList length exceeds body"));
  }
  std::vector<Locator> locators;
  locators.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    auto locator = *r.read_locator();
    if (!is_accepted_locator_kind(locator.kind)) {
      return std::unexpected(
          WireError{.kind = WireError::Kind::InvalidLocatorKind, .locator_kind = locator.kind});
    }
    locators.push_back(locator);
  }
  return Decoded<std::vector<Locator>>{std::move(locators), r.position()};
}

WireResult<InfoReplySubmessage> InfoReplySubmessage::read_body(std::span<const std::byte> body,
                                                               std::uint8_t flags) {
  const bool le = is_little_endian(flags);
  InfoReplySubmessage reply;
  auto unicast = read_locator_list(body, 0, le);
  if (!unicast) return std::unexpected(unicast.error());
  reply.unicast_locators = std::move(unicast->value);
  if ((flags & flag_multicast) != 0) {
    auto multicast = read_locator_list(body, unicast->end, le);
    if (!multicast) return std::unexpected(multicast.error());
    reply.multicast_locators = std::move(multicast->value);
  }
  return reply;
}

WireResult<InfoSourceSubmessage> InfoSourceSubmessage::read_body(std::span<const std::byte> body,
                                                                 std::uint8_t flags) {
  if (body.size() < info_src_size) return std::unexpected(WireError::eof(info_src_size, 0));
  WireReader r(body, is_little_endian(flags));
  auto unused = r.read_u32();
  auto version = r.read_array<2>();
  auto vendor = r.read_array<2>();
  auto prefix = r.read_guid_prefix();
  if (!unused || !version || !vendor || !prefix)
    return std::unexpected(WireError::eof(info_src_size, 0));
  return InfoSourceSubmessage{.unused = *unused,
                              .version = {(*version)[0], (*version)[1]},
                              .vendor_id = *vendor,
                              .guid_prefix = *prefix};
}

EncodedBody InfoDestinationSubmessage::write_body(bool little_endian) const {
  EncodedBody body{.flags = little_endian ? endianness_flag : std::uint8_t{0}};
  WireWriter(body.bytes, little_endian).write_bytes(std::span(guid_prefix));
  return body;
}

WireResult<InfoDestinationSubmessage> InfoDestinationSubmessage::read_body(
    std::span<const std::byte> body, std::uint8_t flags) {
  if (body.size() < info_dst_size) return std::unexpected(WireError::eof(info_dst_size, 0));
  auto prefix = WireReader(body, is_little_endian(flags)).read_guid_prefix();
  if (!prefix) return std::unexpected(prefix.error());
  return InfoDestinationSubmessage{*prefix};
}

WireResult<InfoTimestampSubmessage> InfoTimestampSubmessage::read_body(
    std::span<const std::byte> body, std::uint8_t flags) {
  InfoTimestampSubmessage ts;
  if ((flags & flag_invalidate) != 0) return ts;
  if (body.size() < info_ts_size) return std::unexpected(WireError::eof(info_ts_size, 0));
  WireReader r(body, is_little_endian(flags));
  auto seconds = r.read_i32();
  auto fraction = r.read_u32();
  if (!seconds || !fraction) return std::unexpected(WireError::eof(info_ts_size, 0));
  ts.timestamp = Time{*seconds, *fraction};
  return ts;
}

}  // namespace nimbrel::rtps
