// Bodies of the reliability submessages: HEARTBEAT, HEARTBEAT_FRAG, ACKNACK, NACK_FRAG and GAP
// (DDSI-RTPS 2.5 sections 9.4.5.2, 9.4.5.5 to 9.4.5.8).
#include <algorithm>
#include <limits>

#include "rtps/submessages.hpp"

namespace nimbrel::rtps {

namespace {

constexpr std::size_t heartbeat_fixed_size = 28;
constexpr std::size_t heartbeat_group_fixed_size = 56;
constexpr std::size_t writer_set_entry_size = 12;
constexpr std::size_t acknack_fixed_size = 8;
constexpr std::size_t gap_fixed_size = 16;
constexpr std::size_t nack_frag_min_size = 28;
constexpr std::size_t heartbeat_frag_size = 24;

}  // namespace

EncodedBody HeartbeatSubmessage::write_body(bool little_endian) const {
  EncodedBody out;
  out.flags = static_cast<std::uint8_t>(
      flag_if(little_endian, endianness_flag) | flag_if(final_flag, flag_final) |
      flag_if(liveliness_flag, flag_liveliness) | flag_if(group_info.has_value(), flag_group_info));
  WireWriter w(out.bytes, little_endian);
  w.write_entity_id(reader_id);
  w.write_entity_id(writer_id);
  w.write_sequence_number(first_sn);
  w.write_sequence_number(last_sn);
  w.write_u32(count);
  if (group_info) {
    w.write_sequence_number(group_info->current_gsn);
    w.write_sequence_number(group_info->first_gsn);
    w.write_sequence_number(group_info->last_gsn);
    const auto entries = group_info->writer_set.size();
    w.write_u32(static_cast<std::uint32_t>(
        std::min<std::size_t>(entries, std::numeric_limits<std::uint32_t>::max())));
    for (const auto& entry : group_info->writer_set)
      w.write_bytes(std::span(entry));
  }
  return out;
}

WireResult<HeartbeatSubmessage> HeartbeatSubmessage::read_body(std::span<const std::byte> body,
                                                               std::uint8_t flags) {
  if (body.size() < heartbeat_fixed_size) {
    return std::unexpected(WireError::eof(heartbeat_fixed_size, 0));
  }
  WireReader r(body, is_little_endian(flags));
  HeartbeatSubmessage hb;
  NIMBREL_READ_OR_RETURN(hb.reader_id, r.read_entity_id());
  NIMBREL_READ_OR_RETURN(hb.writer_id, r.read_entity_id());
  NIMBREL_READ_OR_RETURN(hb.first_sn, r.read_sequence_number());
  NIMBREL_READ_OR_RETURN(hb.last_sn, r.read_sequence_number());
  NIMBREL_READ_OR_RETURN(hb.count, r.read_u32());
  hb.final_flag = (flags & flag_final) != 0;
  hb.liveliness_flag = (flags & flag_liveliness) != 0;
  if ((flags & flag_group_info) == 0) return hb;

  if (body.size() < heartbeat_group_fixed_size) {
    return std::unexpected(WireError::eof(heartbeat_fixed_size, heartbeat_fixed_size));
  }
  HeartbeatGroupInfo group;
  NIMBREL_READ_OR_RETURN(group.current_gsn, r.read_sequence_number());
  NIMBREL_READ_OR_RETURN(group.first_gsn, r.read_sequence_number());
  NIMBREL_READ_OR_RETURN(group.last_gsn, r.read_sequence_number());
  std::uint32_t entries = 0;
  NIMBREL_READ_OR_RETURN(entries, r.read_u32());
  if (entries > r.remaining() / writer_set_entry_size) {
    return std::unexpected(
        WireError::malformed("HEARTBEAT.groupInfo.writerSet length exceeds body"));
  }
  group.writer_set.resize(entries);
  for (auto& entry : group.writer_set)
    NIMBREL_READ_OR_RETURN(entry, r.read_array<writer_set_entry_size>());
  hb.group_info = std::move(group);
  return hb;
}

WireResult<HeartbeatFragSubmessage> HeartbeatFragSubmessage::read_body(
    std::span<const std::byte> body, std::uint8_t flags) {
  if (body.size() < heartbeat_frag_size) {
    return std::unexpected(WireError::eof(heartbeat_frag_size, 0));
  }
  WireReader r(body, is_little_endian(flags));
  HeartbeatFragSubmessage hb;
  NIMBREL_READ_OR_RETURN(hb.reader_id, r.read_entity_id());
  NIMBREL_READ_OR_RETURN(hb.writer_id, r.read_entity_id());
  NIMBREL_READ_OR_RETURN(hb.writer_sn, r.read_sequence_number());
  NIMBREL_READ_OR_RETURN(hb.last_fragment_num, r.read_u32());
  NIMBREL_READ_OR_RETURN(hb.count, r.read_u32());
  return hb;
}

EncodedBody AckNackSubmessage::write_body(bool little_endian) const {
  EncodedBody out;
  out.flags = static_cast<std::uint8_t>(flag_if(little_endian, endianness_flag) |
                                        flag_if(final_flag, flag_final));
  WireWriter w(out.bytes, little_endian);
  w.write_entity_id(reader_id);
  w.write_entity_id(writer_id);
  reader_sn_state.write_to(w);
  w.write_u32(count);
  return out;
}

WireResult<AckNackSubmessage> AckNackSubmessage::read_body(std::span<const std::byte> body,
                                                           std::uint8_t flags) {
  if (body.size() < acknack_fixed_size) {
    return std::unexpected(WireError::eof(acknack_fixed_size, 0));
  }
  WireReader r(body, is_little_endian(flags));
  AckNackSubmessage ack;
  NIMBREL_READ_OR_RETURN(ack.reader_id, r.read_entity_id());
  NIMBREL_READ_OR_RETURN(ack.writer_id, r.read_entity_id());
  NIMBREL_READ_OR_RETURN(ack.reader_sn_state, SequenceNumberSet::read_from(r));
  NIMBREL_READ_OR_RETURN(ack.count, r.read_u32());
  ack.final_flag = (flags & flag_final) != 0;
  return ack;
}

EncodedBody GapSubmessage::write_body(bool little_endian) const {
  EncodedBody out;
  out.flags = static_cast<std::uint8_t>(flag_if(little_endian, endianness_flag) |
                                        flag_if(group_info.has_value(), flag_group_info) |
                                        flag_if(filtered_count.has_value(), flag_filtered_count));
  WireWriter w(out.bytes, little_endian);
  w.write_entity_id(reader_id);
  w.write_entity_id(writer_id);
  w.write_sequence_number(gap_start);
  gap_list.write_to(w);
  if (group_info) {
    w.write_sequence_number(group_info->gap_start_gsn);
    w.write_sequence_number(group_info->gap_end_gsn);
  }
  if (filtered_count) w.write_u32(*filtered_count);
  return out;
}

WireResult<GapSubmessage> GapSubmessage::read_body(std::span<const std::byte> body,
                                                   std::uint8_t flags) {
  if (body.size() < gap_fixed_size) return std::unexpected(WireError::eof(gap_fixed_size, 0));
  WireReader r(body, is_little_endian(flags));
  GapSubmessage gap;
  NIMBREL_READ_OR_RETURN(gap.reader_id, r.read_entity_id());
  NIMBREL_READ_OR_RETURN(gap.writer_id, r.read_entity_id());
  NIMBREL_READ_OR_RETURN(gap.gap_start, r.read_sequence_number());
  NIMBREL_READ_OR_RETURN(gap.gap_list, SequenceNumberSet::read_from(r));
  if ((flags & flag_group_info) != 0) {
    // Both group sequence numbers are reported missing together.
    if (!r.has(16)) return std::unexpected(WireError::eof(16, r.position()));
    GapGroupInfo group;
    NIMBREL_READ_OR_RETURN(group.gap_start_gsn, r.read_sequence_number());
    NIMBREL_READ_OR_RETURN(group.gap_end_gsn, r.read_sequence_number());
    gap.group_info = group;
  }
  if ((flags & flag_filtered_count) != 0) {
    NIMBREL_READ_OR_RETURN(gap.filtered_count, r.read_u32());
  }
  return gap;
}

EncodedBody NackFragSubmessage::write_body(bool little_endian) const {
  EncodedBody out;
  out.flags = flag_if(little_endian, endianness_flag);
  WireWriter w(out.bytes, little_endian);
  w.write_entity_id(reader_id);
  w.write_entity_id(writer_id);
  w.write_sequence_number(writer_sn);
  fragment_number_state.write_to(w);
  w.write_u32(count);
  return out;
}

WireResult<NackFragSubmessage> NackFragSubmessage::read_body(std::span<const std::byte> body,
                                                             std::uint8_t flags) {
  if (body.size() < nack_frag_min_size) {
    return std::unexpected(WireError::eof(nack_frag_min_size, 0));
  }
  WireReader r(body, is_little_endian(flags));
  NackFragSubmessage nack;
  NIMBREL_READ_OR_RETURN(nack.reader_id, r.read_entity_id());
  NIMBREL_READ_OR_RETURN(nack.writer_id, r.read_entity_id());
  NIMBREL_READ_OR_RETURN(nack.writer_sn, r.read_sequence_number());
  NIMBREL_READ_OR_RETURN(nack.fragment_number_state, FragmentNumberSet::read_from(r));
  NIMBREL_READ_OR_RETURN(nack.count, r.read_u32());
  return nack;
}

}  // namespace nimbrel::rtps
