#include "discovery/type_lookup/message.hpp"

#include <algorithm>

namespace nimbrel::discovery {
namespace {

constexpr std::byte cdr_be{0x00};
constexpr std::byte cdr_le{0x01};
constexpr std::size_t encapsulation_size = 4;

// One DATA carrying the body behind a CDR_LE encapsulation.
template <typename Body>
CodecResult<rtps::DataSubmessage> lookup_data(const rtps::EntityId& reader,
                                              const rtps::EntityId& writer, rtps::SequenceNumber sn,
                                              const Body& body) {
  // The body's alignment counts from its own start, after the encapsulation.
  cdr::BufferWriter writer_cursor(/*little_endian=*/true);
  const bool encoded = std::visit(
      [&](const auto& message) { return message.encode(writer_cursor).has_value(); }, body);
  if (!encoded) return std::unexpected(CodecError::resource_limit("type lookup body"));
  std::vector<std::byte> payload(encapsulation_size + writer_cursor.size());
  payload[1] = cdr_le;  // options 0
  std::ranges::copy(writer_cursor.bytes(), payload.begin() + encapsulation_size);
  return rtps::DataSubmessage{.reader_id = reader,
                              .writer_id = writer,
                              .writer_sn = sn,
                              .serialized_payload = SharedBytes::adopt(std::move(payload))};
}

}  // namespace

std::optional<LookupBody> lookup_body(const SharedBytes& payload) {
  if (payload.size() < encapsulation_size) return std::nullopt;
  const std::span<const std::byte> bytes = payload.span();
  if (bytes[0] != std::byte{0} || (bytes[1] != cdr_le && bytes[1] != cdr_be)) return std::nullopt;
  // DDS-XTypes 1.3 section 7.6.3.1.2: the last two option bits count the padding at the end.
  const std::size_t padding = std::to_integer<std::size_t>(bytes[3]) & 0x3u;
  const std::size_t length = bytes.size() - encapsulation_size;
  if (padding > length) return std::nullopt;
  return LookupBody{.bytes = bytes.subspan(encapsulation_size, length - padding),
                    .little_endian = bytes[1] == cdr_le};
}

CodecResult<std::vector<std::byte>> build_type_lookup_reply(const rtps::GuidPrefix& own,
                                                            const TypeLookupReply& reply,
                                                            rtps::SequenceNumber request_sn) {
  auto data = lookup_data(rtps::entity_ids::type_lookup_reply_reader,
                          rtps::entity_ids::type_lookup_reply_writer, request_sn, reply);
  if (!data) return std::unexpected(data.error());
  return rtps::build_data_datagram(own, rtps::protocol_version_2_5, rtps::nimbrel_vendor_id,
                                   std::span(&*data, 1));
}

CodecResult<std::vector<std::byte>> build_type_lookup_request(const rtps::GuidPrefix& own,
                                                              const rtps::GuidPrefix& replier,
                                                              const TypeLookupRequest& request,
                                                              rtps::SequenceNumber sn) {
  auto data = lookup_data(rtps::entity_ids::type_lookup_request_reader,
                          rtps::entity_ids::type_lookup_request_writer, sn, request);
  if (!data) return std::unexpected(data.error());
  auto body = rtps::encode_body(*data, /*little_endian=*/true);
  if (!body) return std::unexpected(body.error());
  return rtps::build_reply_datagram(own, rtps::nimbrel_vendor_id, replier,
                                    rtps::submessage_id::data, body->flags, body->bytes);
}

}  // namespace nimbrel::discovery
