// Bodies of the RTPS submessages (DDSI-RTPS 2.5 section 9.4.5): one plain record per kind with
// `encode(WireWriter&)` for the body, `flags(little_endian)` for the flags byte of its header and
// `decode(WireReader&, flags)` reading a body in the byte order its flags name; `encode_body`
// gives body and flags at once. Header framing lives in `datagram` and `message_builder`;
// received payloads and fragments stay views into the datagram's buffer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "foundation/shared_bytes.hpp"
#include "rtps/parameter_list.hpp"
#include "rtps/wire_cursor.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::rtps {

namespace submessage_id {
inline constexpr std::uint8_t pad = 0x01;
inline constexpr std::uint8_t acknack = 0x06;
inline constexpr std::uint8_t heartbeat = 0x07;
inline constexpr std::uint8_t gap = 0x08;
inline constexpr std::uint8_t info_ts = 0x09;
inline constexpr std::uint8_t info_src = 0x0C;
inline constexpr std::uint8_t info_reply_ip4 = 0x0D;
inline constexpr std::uint8_t info_dst = 0x0E;
inline constexpr std::uint8_t info_reply = 0x0F;
inline constexpr std::uint8_t nack_frag = 0x12;
inline constexpr std::uint8_t heartbeat_frag = 0x13;
inline constexpr std::uint8_t data = 0x15;
inline constexpr std::uint8_t data_frag = 0x16;
inline constexpr std::uint8_t header_extension = 0x80;
}  // namespace submessage_id

// Flag bit 0 of every submessage: set when the body is little-endian.
inline constexpr std::uint8_t endianness_flag = 0x01;

inline bool is_little_endian(std::uint8_t flags) {
  return (flags & endianness_flag) != 0;
}

// Builds a flags byte from the conditions each flag stands for.
inline std::uint8_t flag_if(bool condition, std::uint8_t flag) {
  return condition ? flag : 0;
}

struct EncodedBody {
  std::vector<std::byte> bytes{};
  std::uint8_t flags = 0;
};

// A submessage's body in the given byte order and the flags byte for its header: an EncodedBody,
// or a CodecResult of one when encoding can fail.
template <typename Submessage>
requires requires(const Submessage& s, WireWriter& w) {
  s.flags(true);
  s.encode(w);
}
auto encode_body(const Submessage& submessage, bool little_endian) {
  EncodedBody out{.flags = submessage.flags(little_endian)};
  WireWriter writer(out.bytes, little_endian);
  if constexpr (std::is_void_v<decltype(submessage.encode(writer))>) {
    submessage.encode(writer);
    return out;
  } else {
    if (auto ok = submessage.encode(writer); !ok) {
      return CodecResult<EncodedBody>(std::unexpected(ok.error()));
    }
    return CodecResult<EncodedBody>(std::move(out));
  }
}

inline constexpr std::uint32_t rtps_bitmap_max_bits = 256;

// Bit k stands for base + k and sits in word k / 32 at bit 31 - k % 32. SequenceNumberSet and
// FragmentNumberSet (DDSI-RTPS 2.5 sections 9.4.2.6 and 9.4.2.8) differ only in their base.
template <typename N>
struct NumberSet {
  N base = 0;
  std::uint32_t num_bits = 0;
  std::vector<std::uint32_t> bitmap{};

  // No members, `num_bits` (capped at 256) bits wide, with all its words.
  static NumberSet empty_range(N base, std::uint32_t num_bits);
  // Just wide enough for the members within [base, base + 256); the others are left out.
  static NumberSet from_members(N base, std::span<const N> members);
  bool contains(N n) const;
  // False when `n` lies outside [base, base + num_bits).
  bool insert(N n);
  std::vector<N> members() const;

  // Writes as many words as the record holds.
  void encode(WireWriter& writer) const;
  static CodecResult<NumberSet> decode(WireReader& reader);

  friend bool operator==(const NumberSet&, const NumberSet&) = default;
};

using SequenceNumberSet = NumberSet<SequenceNumber>;
using FragmentNumberSet = NumberSet<FragmentNumber>;
extern template struct NumberSet<SequenceNumber>;
extern template struct NumberSet<FragmentNumber>;

struct DataSubmessage {
  static constexpr std::uint8_t flag_inline_qos = 0x02;
  static constexpr std::uint8_t flag_data = 0x04;
  static constexpr std::uint8_t flag_key = 0x08;
  static constexpr std::uint8_t flag_non_standard_payload = 0x10;
  static constexpr std::uint16_t octets_to_inline_qos = 16;

  std::uint16_t extra_flags = 0;
  EntityId reader_id{};
  EntityId writer_id{};
  SequenceNumber writer_sn = 0;
  std::optional<ParameterList> inline_qos{};
  SharedBytes serialized_payload{};  // with its encapsulation header
  bool key_flag = false;
  bool non_standard_payload_flag = false;

  std::uint8_t flags(bool little_endian) const;
  // Fails only when an inline QoS value is too long to frame.
  CodecResult<void> encode(WireWriter& writer) const;
  // The payload is a view of the reader's buffer. Inline QoS must pass the must-understand check.
  static CodecResult<DataSubmessage> decode(WireReader& reader, std::uint8_t flags);

  friend bool operator==(const DataSubmessage&, const DataSubmessage&) = default;
};

struct DataFragSubmessage {
  static constexpr std::uint8_t flag_inline_qos = 0x02;
  static constexpr std::uint8_t flag_key = 0x04;
  static constexpr std::uint8_t flag_non_standard_payload = 0x08;
  static constexpr std::uint8_t flag_bit4 = 0x10;
  // Fixed, since inline QoS is neither written nor accepted.
  static constexpr std::uint16_t octets_to_inline_qos = 28;

  std::uint16_t extra_flags = 0;
  EntityId reader_id{};
  EntityId writer_id{};
  SequenceNumber writer_sn = 0;
  FragmentNumber fragment_starting_num = 0;
  std::uint16_t fragments_in_submessage = 0;
  std::uint16_t fragment_size = 0;
  std::uint32_t sample_size = 0;
  SharedBytes fragments{};
  bool inline_qos_flag = false;
  bool key_flag = false;
  bool non_standard_payload_flag = false;
  bool bit4_flag = false;  // meaning unassigned; kept and written back

  std::uint8_t flags(bool little_endian) const;
  void encode(WireWriter& writer) const;
  // The fragments are a view of the reader's buffer.
  static CodecResult<DataFragSubmessage> decode(WireReader& reader, std::uint8_t flags);

  friend bool operator==(const DataFragSubmessage&, const DataFragSubmessage&) = default;
};

struct HeartbeatGroupInfo {
  SequenceNumber current_gsn = 0;
  SequenceNumber first_gsn = 0;
  SequenceNumber last_gsn = 0;
  std::vector<std::array<std::uint8_t, 12>> writer_set{};  // uninterpreted entries

  friend bool operator==(const HeartbeatGroupInfo&, const HeartbeatGroupInfo&) = default;
};

struct HeartbeatSubmessage {
  static constexpr std::uint8_t flag_final = 0x02;
  static constexpr std::uint8_t flag_liveliness = 0x04;
  static constexpr std::uint8_t flag_group_info = 0x08;

  EntityId reader_id{};
  EntityId writer_id{};
  SequenceNumber first_sn = 0;
  SequenceNumber last_sn = 0;
  std::uint32_t count = 0;
  bool final_flag = false;
  bool liveliness_flag = false;
  std::optional<HeartbeatGroupInfo> group_info{};

  std::uint8_t flags(bool little_endian) const;
  void encode(WireWriter& writer) const;
  static CodecResult<HeartbeatSubmessage> decode(WireReader& reader, std::uint8_t flags);

  friend bool operator==(const HeartbeatSubmessage&, const HeartbeatSubmessage&) = default;
};

struct AckNackSubmessage {
  static constexpr std::uint8_t flag_final = 0x02;

  EntityId reader_id{};
  EntityId writer_id{};
  SequenceNumberSet reader_sn_state{};
  std::uint32_t count = 0;
  bool final_flag = false;

  std::uint8_t flags(bool little_endian) const;
  void encode(WireWriter& writer) const;
  static CodecResult<AckNackSubmessage> decode(WireReader& reader, std::uint8_t flags);

  friend bool operator==(const AckNackSubmessage&, const AckNackSubmessage&) = default;
};

struct GapGroupInfo {
  SequenceNumber gap_start_gsn = 0;
  SequenceNumber gap_end_gsn = 0;
  friend bool operator==(const GapGroupInfo&, const GapGroupInfo&) = default;
};

struct GapSubmessage {
  static constexpr std::uint8_t flag_group_info = 0x04;
  static constexpr std::uint8_t flag_filtered_count = 0x08;

  EntityId reader_id{};
  EntityId writer_id{};
  SequenceNumber gap_start = 0;
  SequenceNumberSet gap_list{};
  std::optional<GapGroupInfo> group_info{};
  std::optional<std::uint32_t> filtered_count{};

  std::uint8_t flags(bool little_endian) const;
  void encode(WireWriter& writer) const;
  static CodecResult<GapSubmessage> decode(WireReader& reader, std::uint8_t flags);

  friend bool operator==(const GapSubmessage&, const GapSubmessage&) = default;
};

struct NackFragSubmessage {
  EntityId reader_id{};
  EntityId writer_id{};
  SequenceNumber writer_sn = 0;
  FragmentNumberSet fragment_number_state{};
  std::uint32_t count = 0;

  std::uint8_t flags(bool little_endian) const;
  void encode(WireWriter& writer) const;
  static CodecResult<NackFragSubmessage> decode(WireReader& reader, std::uint8_t flags);

  friend bool operator==(const NackFragSubmessage&, const NackFragSubmessage&) = default;
};

struct HeartbeatFragSubmessage {
  EntityId reader_id{};
  EntityId writer_id{};
  SequenceNumber writer_sn = 0;
  FragmentNumber last_fragment_num = 0;
  std::uint32_t count = 0;

  static CodecResult<HeartbeatFragSubmessage> decode(WireReader& reader, std::uint8_t flags);

  friend bool operator==(const HeartbeatFragSubmessage&, const HeartbeatFragSubmessage&) = default;
};

struct InfoReplySubmessage {
  static constexpr std::uint8_t flag_multicast = 0x02;

  std::vector<Locator> unicast_locators{};
  std::optional<std::vector<Locator>> multicast_locators{};

  static CodecResult<InfoReplySubmessage> decode(WireReader& reader, std::uint8_t flags);

  friend bool operator==(const InfoReplySubmessage&, const InfoReplySubmessage&) = default;
};

// Count, then 24-byte locators whose kinds must be ones accepted from discovery data.
CodecResult<std::vector<Locator>> read_locator_list(WireReader& reader);

struct InfoSourceSubmessage {
  std::uint32_t unused = 0;
  ProtocolVersion version{};
  VendorId vendor_id{};
  GuidPrefix guid_prefix{};

  static CodecResult<InfoSourceSubmessage> decode(WireReader& reader, std::uint8_t flags);

  friend bool operator==(const InfoSourceSubmessage&, const InfoSourceSubmessage&) = default;
};

// Names the participant the following submessages are for; a zero prefix means every one.
struct InfoDestinationSubmessage {
  GuidPrefix guid_prefix{};

  std::uint8_t flags(bool little_endian) const;
  void encode(WireWriter& writer) const;
  static CodecResult<InfoDestinationSubmessage> decode(WireReader& reader, std::uint8_t flags);

  friend bool operator==(const InfoDestinationSubmessage&,
                         const InfoDestinationSubmessage&) = default;
};

struct InfoTimestampSubmessage {
  static constexpr std::uint8_t flag_invalidate = 0x02;

  std::optional<Time> timestamp{};  // absent when the sender invalidated it

  static CodecResult<InfoTimestampSubmessage> decode(WireReader& reader, std::uint8_t flags);

  friend bool operator==(const InfoTimestampSubmessage&, const InfoTimestampSubmessage&) = default;
};

// A submessage this system does not interpret (PAD, INFO_REPLY_IP4, vendor ids, ...).
struct UnknownSubmessage {
  std::uint8_t id = 0;
  std::uint8_t flags = 0;
  friend bool operator==(const UnknownSubmessage&, const UnknownSubmessage&) = default;
};

}  // namespace nimbrel::rtps
