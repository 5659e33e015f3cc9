// DATA and DATA_FRAG bodies (DDSI-RTPS 2.5 sections 9.4.5.3 and 9.4.5.4). Decoded payloads and
// fragments are slices of the received body, never copies.
#include "rtps/submessages.hpp"

namespace nimbrel::rtps {

namespace {

constexpr std::size_t data_fixed_size = 20;
constexpr std::size_t data_frag_fixed_size = 32;

std::uint8_t flag_if(bool condition, std::uint8_t flag) {
  return condition ? flag : 0;
}

}  // namespace

WireResult<EncodedBody> DataSubmessage::write_body(bool little_endian) const {
  EncodedBody out;
  out.flags = static_cast<std::uint8_t>(
      flag_if(little_endian, endianness_flag) | flag_if(inline_qos.has_value(), flag_inline_qos) |
      // A payload is either the data or the key, never both (DDSI-RTPS 2.5 section 9.4.5.3).
      flag_if(!key_flag, flag_data) | flag_if(key_flag, flag_key) |
      flag_if(non_standard_payload_flag, flag_non_standard_payload));
  out.bytes.reserve(data_fixed_size + serialized_payload.size());
  WireWriter w(out.bytes, little_endian);
  w.write_u16(extra_flags);
  w.write_u16(octets_to_inline_qos);
  w.write_entity_id(reader_id);
  w.write_entity_id(writer_id);
  w.write_sequence_number(writer_sn);
  if (inline_qos) {
    if (auto written = inline_qos->write_to(out.bytes, little_endian); !written) {
      return std::unexpected(written.error());
    }
  }
  w.write_bytes(serialized_payload.span());
  return out;
}

WireResult<DataSubmessage> DataSubmessage::read_body_with_flags(const SharedBytes& body,
                                                                std::uint8_t flags) {
  if (body.size() < data_fixed_size) return std::unexpected(WireError::eof(data_fixed_size, 0));
  const bool le = is_little_endian(flags);
  WireReader r(body.span(), le);
  DataSubmessage data;
  data.extra_flags = *r.read_u16();
  // octetsToInlineQos is not trusted: the inline QoS, when flagged, always follows writerSN.
  (void)r.read_u16();
  data.reader_id = *r.read_entity_id();
  data.writer_id = *r.read_entity_id();
  data.writer_sn = *r.read_sequence_number();

  std::size_t payload_start = data_fixed_size;
  if ((flags & flag_inline_qos) != 0) {
    auto qos = ParameterList::from_bytes_with_end(body.span().subspan(data_fixed_size), le);
    if (!qos) return std::unexpected(qos.error());
    if (auto ok = qos->value.validate_must_understand_in_data_pipeline(); !ok) {
      return std::unexpected(ok.error());
    }
    payload_start += qos->end;
    data.inline_qos = std::move(qos->value);
  }
  data.serialized_payload = body.slice(payload_start);
  data.key_flag = (flags & flag_key) != 0;
  data.non_standard_payload_flag = (flags & flag_non_standard_payload) != 0;
  return data;
}

EncodedBody DataFragSubmessage::write_body(bool little_endian) const {
  EncodedBody out;
  out.flags = static_cast<std::uint8_t>(
      flag_if(little_endian, endianness_flag) | flag_if(inline_qos_flag, flag_inline_qos) |
      flag_if(key_flag, flag_key) | flag_if(non_standard_payload_flag, flag_non_standard_payload) |
      flag_if(bit4_flag, flag_bit4));
  out.bytes.reserve(data_frag_fixed_size + fragments.size());
  WireWriter w(out.bytes, little_endian);
  w.write_u16(extra_flags);
  w.write_u16(octets_to_inline_qos);
  w.write_entity_id(reader_id);
  w.write_entity_id(writer_id);
  w.write_sequence_number(writer_sn);
  w.write_u32(fragment_starting_num);
  w.write_u16(fragments_in_submessage);
  w.write_u16(fragment_size);
  w.write_u32(sample_size);
  w.write_bytes(fragments.span());
  return out;
}

WireResult<DataFragSubmessage> DataFragSubmessage::read_body(const SharedBytes& body,
                                                             std::uint8_t flags) {
  if (body.size() < data_frag_fixed_size) {
    return std::unexpected(WireError::eof(data_frag_fixed_size, 0));
  }
  WireReader r(body.span(), is_little_endian(flags));
  DataFragSubmessage frag;
  frag.inline_qos_flag = (flags & flag_inline_qos) != 0;
  frag.extra_flags = *r.read_u16();
  const auto to_inline_qos = *r.read_u16();
  if (!frag.inline_qos_flag && to_inline_qos != octets_to_inline_qos) {
    return std::unexpected(
        WireError::malformed("DATA_FRAG.octetsToInlineQos must equal 28 when Q=false"));
  }
  if (frag.inline_qos_flag)
    return std::unexpected(WireError::unsupported("DATA_FRAG with inline_qos"));
  frag.reader_id = *r.read_entity_id();
  frag.writer_id = *r.read_entity_id();
  frag.writer_sn = *r.read_sequence_number();
  frag.fragment_starting_num = *r.read_u32();
  frag.fragments_in_submessage = *r.read_u16();
  frag.fragment_size = *r.read_u16();
  frag.sample_size = *r.read_u32();
  frag.fragments = body.slice(data_frag_fixed_size);
  frag.key_flag = (flags & flag_key) != 0;
  frag.non_standard_payload_flag = (flags & flag_non_standard_payload) != 0;
  frag.bit4_flag = (flags & flag_bit4) != 0;
  return frag;
}

}  // namespace nimbrel::rtps
