// DATA and DATA_FRAG bodies (DDSI-RTPS 2.5 sections 9.4.5.3 and 9.4.5.4). Decoded payloads and
// fragments are slices of the received body, never copies.
#include "rtps/submessages.hpp"

namespace nimbrel::rtps {

namespace {

constexpr std::size_t data_fixed_size = 20;
constexpr std::size_t data_frag_fixed_size = 32;

// The 20 bytes DATA and DATA_FRAG begin with.
struct FixedHead {
  std::uint16_t extra_flags = 0;
  std::uint16_t octets_to_inline_qos = 0;
  EntityId reader_id{};
  EntityId writer_id{};
  SequenceNumber writer_sn = 0;
};

void write_fixed_head(WireWriter& w, const FixedHead& head) {
  w.write_u16(head.extra_flags);
  w.write_u16(head.octets_to_inline_qos);
  w.write_entity_id(head.reader_id);
  w.write_entity_id(head.writer_id);
  w.write_sequence_number(head.writer_sn);
}

CodecResult<FixedHead> read_fixed_head(WireReader& r) {
  FixedHead head;
  NIMBREL_READ_OR_RETURN(head.extra_flags, r.read_u16());
  NIMBREL_READ_OR_RETURN(head.octets_to_inline_qos, r.read_u16());
  NIMBREL_READ_OR_RETURN(head.reader_id, r.read_entity_id());
  NIMBREL_READ_OR_RETURN(head.writer_id, r.read_entity_id());
  NIMBREL_READ_OR_RETURN(head.writer_sn, r.read_sequence_number());
  return head;
}

}  // namespace

std::uint8_t DataSubmessage::flags(bool little_endian) const {
  return static_cast<std::uint8_t>(
      flag_if(little_endian, endianness_flag) | flag_if(inline_qos.has_value(), flag_inline_qos) |
      // A payload is either the data or the key, never both (DDSI-RTPS 2.5 section 9.4.5.3).
      flag_if(!key_flag, flag_data) | flag_if(key_flag, flag_key) |
      flag_if(non_standard_payload_flag, flag_non_standard_payload));
}

CodecResult<void> DataSubmessage::encode(WireWriter& w) const {
  w.reserve(data_fixed_size + serialized_payload.size());
  write_fixed_head(w, {extra_flags, octets_to_inline_qos, reader_id, writer_id, writer_sn});
  if (inline_qos) {
    if (auto written = inline_qos->encode(w); !written) return written;
  }
  w.write_bytes(serialized_payload.span());
  return {};
}

CodecResult<DataSubmessage> DataSubmessage::decode(WireReader& r, std::uint8_t flags) {
  if (!r.has(data_fixed_size))
    return std::unexpected(CodecError::eof(data_fixed_size, r.position()));
  FixedHead head;
  NIMBREL_READ_OR_RETURN(head, read_fixed_head(r));
  DataSubmessage data;
  data.extra_flags = head.extra_flags;
  // octetsToInlineQos is not trusted: the inline QoS, when flagged, always follows writerSN.
  data.reader_id = head.reader_id;
  data.writer_id = head.writer_id;
  data.writer_sn = head.writer_sn;

  if ((flags & flag_inline_qos) != 0) {
    // Offsets in the list's errors count from the list's start.
    WireReader qos_reader = r.rest(r.little_endian());
    NIMBREL_READ_OR_RETURN(data.inline_qos, ParameterList::decode(qos_reader));
    if (auto ok = data.inline_qos->validate_must_understand_in_data_pipeline(); !ok) {
      return std::unexpected(ok.error());
    }
    r.seek(r.position() + qos_reader.position());
  }
  NIMBREL_READ_OR_RETURN(data.serialized_payload, r.read_shared(r.remaining()));
  data.key_flag = (flags & flag_key) != 0;
  data.non_standard_payload_flag = (flags & flag_non_standard_payload) != 0;
  return data;
}

std::uint8_t DataFragSubmessage::flags(bool little_endian) const {
  return static_cast<std::uint8_t>(
      flag_if(little_endian, endianness_flag) | flag_if(inline_qos_flag, flag_inline_qos) |
      flag_if(key_flag, flag_key) | flag_if(non_standard_payload_flag, flag_non_standard_payload) |
      flag_if(bit4_flag, flag_bit4));
}

void DataFragSubmessage::encode(WireWriter& w) const {
  w.reserve(data_frag_fixed_size + fragments.size());
  write_fixed_head(w, {extra_flags, octets_to_inline_qos, reader_id, writer_id, writer_sn});
  w.write_u32(fragment_starting_num);
  w.write_u16(fragments_in_submessage);
  w.write_u16(fragment_size);
  w.write_u32(sample_size);
  w.write_bytes(fragments.span());
}

CodecResult<DataFragSubmessage> DataFragSubmessage::decode(WireReader& r, std::uint8_t flags) {
  if (!r.has(data_frag_fixed_size)) {
    return std::unexpected(CodecError::eof(data_frag_fixed_size, r.position()));
  }
  FixedHead head;
  NIMBREL_READ_OR_RETURN(head, read_fixed_head(r));
  DataFragSubmessage frag;
  frag.inline_qos_flag = (flags & flag_inline_qos) != 0;
  frag.extra_flags = head.extra_flags;
  if (!frag.inline_qos_flag && head.octets_to_inline_qos != octets_to_inline_qos) {
    return std::unexpected(CodecError::malformed(
        "DATA_FRAG.octetsToInlineQos must equal 28 when Q=false", r.position()));
  }
  if (frag.inline_qos_flag) {
    return std::unexpected(CodecError::unsupported("DATA_FRAG with inline_qos", r.position()));
  }
  frag.reader_id = head.reader_id;
  frag.writer_id = head.writer_id;
  frag.writer_sn = head.writer_sn;
  NIMBREL_READ_OR_RETURN(frag.fragment_starting_num, r.read_u32());
  NIMBREL_READ_OR_RETURN(frag.fragments_in_submessage, r.read_u16());
  NIMBREL_READ_OR_RETURN(frag.fragment_size, r.read_u16());
  NIMBREL_READ_OR_RETURN(frag.sample_size, r.read_u32());
  NIMBREL_READ_OR_RETURN(frag.fragments, r.read_shared(r.remaining()));
  frag.key_flag = (flags & flag_key) != 0;
  frag.non_standard_payload_flag = (flags & flag_non_standard_payload) != 0;
  frag.bit4_flag = (flags & flag_bit4) != 0;
  return frag;
}

}  // namespace nimbrel::rtps
