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

std::uint8_t HeartbeatSubmessage::flags(bool little_endian) const {
  return static_cast<std::uint8_t>(
      flag_if(little_endian, endianness_flag) | flag_if(final_flag, flag_final) |
      flag_if(liveliness_flag, flag_liveliness) | flag_if(group_info.has_value(), flag_group_info));
}

void HeartbeatSubmessage::encode(WireWriter& w) const {
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
}

CodecResult<HeartbeatSubmessage> HeartbeatSubmessage::decode(WireReader& r, std::uint8_t flags) {
  if (!r.has(heartbeat_fixed_size)) {
    return std::unexpected(CodecError::eof(heartbeat_fixed_size, r.position()));
  }
  HeartbeatSubmessage hb;
  NIMBREL_READ_OR_RETURN(hb.reader_id, r.read_entity_id());
  NIMBREL_READ_OR_RETURN(hb.writer_id, r.read_entity_id());
  NIMBREL_READ_OR_RETURN(hb.first_sn, r.read_sequence_number());
  NIMBREL_READ_OR_RETURN(hb.last_sn, r.read_sequence_number());
  NIMBREL_READ_OR_RETURN(hb.count, r.read_u32());
  hb.final_flag = (flags & flag_final) != 0;
  hb.liveliness_flag = (flags & flag_liveliness) != 0;
  if ((flags & flag_group_info) == 0) return hb;

  if (!r.has(heartbeat_group_fixed_size - heartbeat_fixed_size)) {
    return std::unexpected(
        CodecError::eof(heartbeat_group_fixed_size - heartbeat_fixed_size, r.position()));
  }
  HeartbeatGroupInfo group;
  NIMBREL_READ_OR_RETURN(group.current_gsn, r.read_sequence_number());
  NIMBREL_READ_OR_RETURN(group.first_gsn, r.read_sequence_number());
  NIMBREL_READ_OR_RETURN(group.last_gsn, r.read_sequence_number());
  std::uint32_t entries = 0;
  NIMBREL_READ_OR_RETURN(entries, r.read_u32());
  if (entries > r.remaining() / writer_set_entry_size) {
    return std::unexpected(
        CodecError::malformed("HEARTBEAT.groupInfo.writerSet length exceeds body", r.position()));
  }
  group.writer_set.resize(entries);
  for (auto& entry : group.writer_set)
    NIMBREL_READ_OR_RETURN(entry, r.read_array<writer_set_entry_size>());
  hb.group_info = std::move(group);
  return hb;
}

CodecResult<HeartbeatFragSubmessage> HeartbeatFragSubmessage::decode(WireReader& r, std::uint8_t) {
  if (!r.has(heartbeat_frag_size)) {
    return std::unexpected(CodecError::eof(heartbeat_frag_size, r.position()));
  }
  HeartbeatFragSubmessage hb;
  NIMBREL_READ_OR_RETURN(hb.reader_id, r.read_entity_id());
  NIMBREL_READ_OR_RETURN(hb.writer_id, r.read_entity_id());
  NIMBREL_READ_OR_RETURN(hb.writer_sn, r.read_sequence_number());
  NIMBREL_READ_OR_RETURN(hb.last_fragment_num, r.read_u32());
  NIMBREL_READ_OR_RETURN(hb.count, r.read_u32());
  return hb;
}

std::uint8_t AckNackSubmessage::flags(bool little_endian) const {
  return static_cast<std::uint8_t>(flag_if(little_endian, endianness_flag) |
                                   flag_if(final_flag, flag_final));
}

void AckNackSubmessage::encode(WireWriter& w) const {
  w.write_entity_id(reader_id);
  w.write_entity_id(writer_id);
  reader_sn_state.encode(w);
  w.write_u32(count);
}

CodecResult<AckNackSubmessage> AckNackSubmessage::decode(WireReader& r, std::uint8_t flags) {
  if (!r.has(acknack_fixed_size)) {
    return std::unexpected(CodecError::eof(acknack_fixed_size, r.position()));
  }
  AckNackSubmessage ack;
  NIMBREL_READ_OR_RETURN(ack.reader_id, r.read_entity_id());
  NIMBREL_READ_OR_RETURN(ack.writer_id, r.read_entity_id());
  NIMBREL_READ_OR_RETURN(ack.reader_sn_state, SequenceNumberSet::decode(r));
  NIMBREL_READ_OR_RETURN(ack.count, r.read_u32());
  ack.final_flag = (flags & flag_final) != 0;
  return ack;
}

std::uint8_t GapSubmessage::flags(bool little_endian) const {
  return static_cast<std::uint8_t>(flag_if(little_endian, endianness_flag) |
                                   flag_if(group_info.has_value(), flag_group_info) |
                                   flag_if(filtered_count.has_value(), flag_filtered_count));
}

void GapSubmessage::encode(WireWriter& w) const {
  w.write_entity_id(reader_id);
  w.write_entity_id(writer_id);
  w.write_sequence_number(gap_start);
  gap_list.encode(w);
  if (group_info) {
    w.write_sequence_number(group_info->gap_start_gsn);
    w.write_sequence_number(group_info->gap_end_gsn);
  }
  if (filtered_count) w.write_u32(*filtered_count);
}

CodecResult<GapSubmessage> GapSubmessage::decode(WireReader& r, std::uint8_t flags) {
  if (!r.has(gap_fixed_size)) return std::unexpected(CodecError::eof(gap_fixed_size, r.position()));
  GapSubmessage gap;
  NIMBREL_READ_OR_RETURN(gap.reader_id, r.read_entity_id());
  NIMBREL_READ_OR_RETURN(gap.writer_id, r.read_entity_id());
  NIMBREL_READ_OR_RETURN(gap.gap_start, r.read_sequence_number());
  NIMBREL_READ_OR_RETURN(gap.gap_list, SequenceNumberSet::decode(r));
  if ((flags & flag_group_info) != 0) {
    // Both group sequence numbers are reported missing together.
    if (!r.has(16)) return std::unexpected(CodecError::eof(16, r.position()));
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

std::uint8_t NackFragSubmessage::flags(bool little_endian) const {
  return flag_if(little_endian, endianness_flag);
}

void NackFragSubmessage::encode(WireWriter& w) const {
  w.write_entity_id(reader_id);
  w.write_entity_id(writer_id);
  w.write_sequence_number(writer_sn);
  fragment_number_state.encode(w);
  w.write_u32(count);
}

CodecResult<NackFragSubmessage> NackFragSubmessage::decode(WireReader& r, std::uint8_t) {
  if (!r.has(nack_frag_min_size)) {
    return std::unexpected(CodecError::eof(nack_frag_min_size, r.position()));
  }
  NackFragSubmessage nack;
  NIMBREL_READ_OR_RETURN(nack.reader_id, r.read_entity_id());
  NIMBREL_READ_OR_RETURN(nack.writer_id, r.read_entity_id());
  NIMBREL_READ_OR_RETURN(nack.writer_sn, r.read_sequence_number());
  NIMBREL_READ_OR_RETURN(nack.fragment_number_state, FragmentNumberSet::decode(r));
  NIMBREL_READ_OR_RETURN(nack.count, r.read_u32());
  return nack;
}

}  // namespace nimbrel::rtps
