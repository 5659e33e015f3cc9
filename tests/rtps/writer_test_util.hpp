// Helpers for driving a ReliableWriter like a timeline: decode every datagram it returns, check
// the framing every datagram must have, and print each one as a short line ("a: DATA(5)
// HB(1..7,#2)") so that cases can compare whole exchanges at a glance.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "rtps/datagram.hpp"
#include "rtps/reliable_writer.hpp"
#include "rtps/wire_test_util.hpp"

namespace nimbrel::rtps::testing {

inline constexpr GuidPrefix writer_prefix{0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA,
                                          0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0x01};
inline const Guid writer_guid{writer_prefix, entity_ids::sedp_publications_writer};

// Readers named by a letter; the letter is the last prefix byte and the entity key's last byte.
inline Guid reader_guid(char name) {
  GuidPrefix prefix{0xBB, 0xBB, 0xBB, 0xBB, 0xBB, 0xBB, 0xBB, 0xBB, 0xBB, 0xBB, 0xBB};
  prefix[11] = static_cast<std::uint8_t>(name);
  return {prefix,
          make_entity_id(0, 0, static_cast<std::uint8_t>(name), EntityKind::BuiltinReaderWithKey)};
}

inline Locator unicast_of(char name) {
  return Locator::udp_v4({127, 0, 0, 1}, 7400u + static_cast<std::uint32_t>(name));
}

inline ReaderProxy proxy_for(char name, SequenceNumber start = 0) {
  return ReaderProxy{.remote_reader_guid = reader_guid(name),
                     .unicast_locators = {unicast_of(name)},
                     .highest_acked = start,
                     .highest_sent = start};
}

// The patterned bytes behind a 4-byte encapsulation header.
inline std::vector<std::byte> sample(std::size_t size, std::uint8_t encapsulation = 0x01) {
  auto out = patterned(size);
  const std::byte head[] = {std::byte{0}, std::byte{encapsulation}, std::byte{0}, std::byte{0}};
  std::copy_n(head, std::min<std::size_t>(size, 4), out.begin());
  return out;
}

inline std::optional<EntityId> reader_of(const ParsedSubmessage& sub) {
  return std::visit(
      [](const auto& s) -> std::optional<EntityId> {
        if constexpr (requires { s.reader_id; }) return s.reader_id;
        return std::nullopt;
      },
      sub);
}

// Decodes a datagram of the writer and checks the writerId of every submessage and that all go
// to one reader.
inline ParsedDatagram decode_checked(const OutboundDatagram& datagram) {
  ParsedDatagram parsed = decode_sent(datagram.bytes, writer_prefix);
  EXPECT_FALSE(parsed.submessages.empty());
  for (const auto& sub : parsed.submessages) {
    EXPECT_EQ(reader_of(sub), reader_of(parsed.submessages[0])) << "two readers in one datagram";
    std::visit(
        [](const auto& s) {
          if constexpr (requires { s.writer_id; }) {
            EXPECT_EQ(s.writer_id, writer_guid.entity_id);
          }
        },
        sub);
  }
  return parsed;
}

inline std::string describe(const ParsedSubmessage& sub) {
  using std::to_string;
  if (auto* d = std::get_if<DataSubmessage>(&sub)) return "DATA(" + to_string(d->writer_sn) + ")";
  if (auto* f = std::get_if<DataFragSubmessage>(&sub)) {
    return "FRAG(" + to_string(f->writer_sn) + ":" + to_string(f->fragment_starting_num) + ")";
  }
  if (auto* g = std::get_if<GapSubmessage>(&sub)) {
    // Only the single-number form is ever sent; anything else shows up as a mismatch.
    const bool single = g->gap_list.base == g->gap_start + 1 && g->gap_list.num_bits == 0;
    return "GAP(" + to_string(g->gap_start) + (single ? ")" : ",odd)");
  }
  if (auto* h = std::get_if<HeartbeatSubmessage>(&sub)) {
    return "HB(" + to_string(h->first_sn) + ".." + to_string(h->last_sn) + ",#" +
           to_string(h->count) + ")";
  }
  return "?";
}

using Lines = std::vector<std::string>;

// "a: DATA(5) DATA(7)" per datagram; the letter names the reader the datagram is addressed to.
inline Lines describe(const Datagrams& datagrams) {
  Lines out;
  for (const auto& datagram : datagrams) {
    const ParsedDatagram parsed = decode_checked(datagram);
    auto reader = parsed.submessages.empty() ? std::nullopt : reader_of(parsed.submessages[0]);
    std::string line = reader ? std::string(1, static_cast<char>(reader->entity_key[2])) : "?";
    line.push_back(':');
    for (const auto& sub : parsed.submessages) {
      line.push_back(' ');
      line.append(describe(sub));
    }
    out.push_back(line);
  }
  return out;
}

template <typename T>
std::vector<T> all_of(const Datagrams& datagrams) {
  std::vector<T> out;
  for (const auto& datagram : datagrams) {
    for (auto& sub : decode_checked(datagram).submessages) {
      if (auto* s = std::get_if<T>(&sub)) out.push_back(std::move(*s));
    }
  }
  return out;
}

template <typename T>
std::optional<CodecError> error_of(const CodecResult<T>& result) {
  if (result) return std::nullopt;
  return result.error();
}

}  // namespace nimbrel::rtps::testing
