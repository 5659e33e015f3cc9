// Helpers that let a ReliableReader case read like a timeline: writers named by a letter (all with
// the same entity id, as real peers number them), submessage builders, and `replies`, which ticks
// the reader and decodes every datagram it returns after checking the reply framing.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "rtps/datagram.hpp"
#include "rtps/reliable_reader.hpp"
#include "rtps/wire_test_util.hpp"

namespace nimbrel::rtps::testing {

inline constexpr GuidPrefix reader_prefix{0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC,
                                          0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0x01};
inline const Guid local_reader{reader_prefix,
                               make_entity_id(0, 0, 0x0b, EntityKind::UserReaderWithKey)};
inline constexpr EntityId shared_writer_id =
    make_entity_id(0, 0, 0x0b, EntityKind::UserWriterWithKey);

// Participant `name`'s prefix; its writer always has the entity id `shared_writer_id`.
inline GuidPrefix participant(char name) {
  GuidPrefix prefix{0x01, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  prefix[11] = static_cast<std::uint8_t>(name);
  return prefix;
}
inline Guid writer_of(char name) {
  return {participant(name), shared_writer_id};
}
inline Locator locator_of(char name) {
  return Locator::udp_v4({127, 0, 0, 1}, 7000u + static_cast<std::uint32_t>(name));
}
inline WriterProxy proxy_of(char name) {
  return WriterProxy{.unicast_locators = {locator_of(name)}, .remote_writer_guid = writer_of(name)};
}

// A payload that names its sequence number, in a buffer standing for the received datagram.
inline SharedBytes payload_for(SequenceNumber sn) {
  return shared(bytes({0, 1, 0, 0, static_cast<int>(sn & 0xFF), static_cast<int>(sn >> 8 & 0xFF)}));
}

inline DataSubmessage data_msg(SequenceNumber sn) {
  return DataSubmessage{
      .writer_id = shared_writer_id, .writer_sn = sn, .serialized_payload = payload_for(sn)};
}

inline HeartbeatSubmessage heartbeat_msg(SequenceNumber first, SequenceNumber last,
                                         bool final_flag = false, bool liveliness = false) {
  return HeartbeatSubmessage{.writer_id = shared_writer_id,
                             .first_sn = first,
                             .last_sn = last,
                             .count = 1,
                             .final_flag = final_flag,
                             .liveliness_flag = liveliness};
}

// Declares [start, base) and the listed numbers irrelevant.
inline GapSubmessage gap_msg(SequenceNumber start, SequenceNumber base,
                             std::vector<SequenceNumber> listed = {}) {
  return GapSubmessage{.writer_id = shared_writer_id,
                       .gap_start = start,
                       .gap_list = SequenceNumberSet::from_members(base, listed)};
}

// Fragments [first, first + count) of a patterned sample.
inline DataFragSubmessage frag_msg(SequenceNumber sn, FragmentNumber first, std::uint16_t count,
                                   std::uint16_t fragment_size, std::uint32_t sample_size,
                                   std::optional<std::size_t> length = std::nullopt) {
  const std::size_t begin = std::size_t{fragment_size} * (first - 1);
  const std::size_t end =
      std::min<std::size_t>(sample_size, begin + std::size_t{fragment_size} * count);
  return DataFragSubmessage{
      .writer_id = shared_writer_id,
      .writer_sn = sn,
      .fragment_starting_num = first,
      .fragments_in_submessage = count,
      .fragment_size = fragment_size,
      .sample_size = sample_size,
      .fragments = shared(patterned(length.value_or(end > begin ? end - begin : 0), begin))};
}

inline std::vector<SequenceNumber> numbers(const std::vector<DeliveredSample>& samples) {
  std::vector<SequenceNumber> out;
  for (const auto& s : samples)
    out.push_back(s.sequence_number);
  return out;
}
inline std::vector<SequenceNumber> numbers(const Released& released) {
  return numbers(released.samples);
}

// Hands every DATA, DATA_FRAG, HEARTBEAT and GAP of a datagram to the reader, in order.
inline std::vector<DeliveredSample> feed(ReliableReader& reader, const ParsedDatagram& datagram,
                                         Elapsed now) {
  std::vector<DeliveredSample> out;
  const GuidPrefix& from = datagram.guid_prefix;
  for (const auto& sub : datagram.submessages) {
    Released got;
    if (const auto* d = std::get_if<DataSubmessage>(&sub)) got = reader.handle_data(from, *d);
    if (const auto* f = std::get_if<DataFragSubmessage>(&sub))
      got = reader.handle_data_frag(from, *f, now);
    if (const auto* h = std::get_if<HeartbeatSubmessage>(&sub))
      got = reader.handle_heartbeat(from, *h, now);
    if (const auto* g = std::get_if<GapSubmessage>(&sub)) got = reader.handle_gap(from, *g);
    out.insert(out.end(), got.samples.begin(), got.samples.end());
  }
  return out;
}

// The prefix named by the INFO_DST that must follow the RTPS header of a reply.
inline GuidPrefix info_dst_of(std::span<const std::byte> b) {
  GuidPrefix to{};
  if (b.size() < 36) {
    ADD_FAILURE() << "too short for INFO_DST";
    return to;
  }
  EXPECT_TRUE(std::ranges::equal(b.subspan(20, 4), bytes({0x0E, 0x01, 0x0C, 0x00})));
  for (std::size_t i = 0; i < to.size(); ++i)
    to[i] = static_cast<std::uint8_t>(b[24 + i]);
  return to;
}

// One decoded response: the participant INFO_DST names, its destinations and its submessage.
struct Reply {
  GuidPrefix to{};
  std::vector<Locator> destinations{};
  std::variant<AckNackSubmessage, NackFragSubmessage> message{};

  const AckNackSubmessage& acknack() const { return std::get<AckNackSubmessage>(message); }
  const NackFragSubmessage& nack_frag() const { return std::get<NackFragSubmessage>(message); }
  bool is_acknack() const { return message.index() == 0; }
};

// Checks the reply framing: header of the reader, INFO_DST, then one little-endian ACKNACK or
// NACK_FRAG between the reader and the writer INFO_DST names.
inline Reply decode_reply(const OutboundDatagram& datagram) {
  Reply reply{.to = info_dst_of(datagram.bytes)};
  const ParsedDatagram parsed = decode_sent(datagram.bytes, reader_prefix);
  if (parsed.submessages.size() != 2) {
    ADD_FAILURE() << "not a reply datagram";
    return reply;
  }
  EXPECT_EQ(static_cast<int>(datagram.bytes[37]) & 0x01, 1) << "E flag";
  if (datagram.destinations) reply.destinations = *datagram.destinations;
  const auto& sub = parsed.submessages[1];
  if (const auto* a = std::get_if<AckNackSubmessage>(&sub)) {
    reply.message = *a;
  } else if (const auto* n = std::get_if<NackFragSubmessage>(&sub)) {
    reply.message = *n;
  } else {
    ADD_FAILURE() << "neither ACKNACK nor NACK_FRAG";
  }
  std::visit(
      [&](const auto& m) {
        EXPECT_EQ(m.reader_id, local_reader.entity_id);
        EXPECT_EQ(m.writer_id, shared_writer_id);
      },
      reply.message);
  return reply;
}

}  // namespace nimbrel::rtps::testing
