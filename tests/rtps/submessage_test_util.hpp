// Helpers shared by the receive path, discovery, liveliness and user traffic tests: little-endian
// submessages framed with their headers, datagrams of them, and the Cyclone DDS captures under
// tests/data/cyclone.
#pragma once

#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "rtps/receiver.hpp"
#include "rtps/submessages.hpp"
#include "rtps/wire_test_util.hpp"

namespace nimbrel::rtps::testing {

// Any submessage with an `encode`, with its header.
template <typename Submessage>
std::vector<std::byte> framed(std::uint8_t id, const Submessage& s) {
  const auto encoded = encode_body(s, /*little_endian=*/true);
  if constexpr (requires { encoded.value(); }) {
    return submessage(id, encoded.value().flags, encoded.value().bytes);
  } else {
    return submessage(id, encoded.flags, encoded.bytes);
  }
}

inline std::vector<std::byte> data_submessage(EntityId writer, std::vector<std::byte> payload,
                                              EntityId reader = {}, SequenceNumber sn = 1) {
  return framed(submessage_id::data,
                DataSubmessage{.reader_id = reader,
                               .writer_id = writer,
                               .writer_sn = sn,
                               .serialized_payload = shared(std::move(payload))});
}

inline std::vector<std::byte> info_source(const GuidPrefix& prefix) {
  auto body = bytes({0, 0, 0, 0, 2, 5, 0x01, 0x10});  // unused, version, vendor id
  for (auto b : prefix)
    body.push_back(std::byte{b});
  return submessage(submessage_id::info_src, 0x01, body);
}

inline std::vector<std::byte> info_destination(const GuidPrefix& prefix) {
  return framed(submessage_id::info_dst, InfoDestinationSubmessage{prefix});
}

// The submessages behind an RTPS 2.5 header of `vendor` and `prefix`.
inline SharedBytes datagram_from(const GuidPrefix& prefix,
                                 std::initializer_list<std::vector<std::byte>> submessages,
                                 VendorId vendor = {0x01, 0x10}) {
  auto out = bytes({'R', 'T', 'P', 'S', 2, 5, vendor[0], vendor[1]});
  for (auto b : prefix)
    out.push_back(std::byte{b});
  for (const auto& s : submessages)
    out.insert(out.end(), s.begin(), s.end());
  return shared(std::move(out));
}

// The golden header (prefix 1..12, vendor 01 F0) followed by the submessages.
inline SharedBytes datagram(std::initializer_list<std::vector<std::byte>> submessages) {
  auto out = golden_header();
  for (const auto& s : submessages)
    out.insert(out.end(), s.begin(), s.end());
  return shared(std::move(out));
}

// What the receiver of participant `own` hands on from the datagram.
inline ReceivedDatagram received(const SharedBytes& datagram, const GuidPrefix& own = {}) {
  return Receiver(own).receive(datagram);
}

// The captured peers; their unicast datagrams name each other in INFO_DST.
inline constexpr GuidPrefix cyclone_pub_prefix{0x01, 0x10, 0x60, 0x12, 0x5a, 0xa1,
                                               0x08, 0x2e, 0xa2, 0x12, 0xf2, 0x1b};
inline constexpr GuidPrefix cyclone_sub_prefix{0x01, 0x10, 0x2c, 0x88, 0xb4, 0xd0,
                                               0x68, 0xf7, 0xcd, 0xf7, 0xa7, 0xa8};

#ifdef NIMBREL_TEST_DATA_DIR
inline SharedBytes load_capture(const std::string& name) {
  std::ifstream in(std::string(NIMBREL_TEST_DATA_DIR) + "/cyclone/" + name, std::ios::binary);
  std::vector<char> raw{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  return SharedBytes::copy_of(std::as_bytes(std::span(raw)));
}
#endif

}  // namespace nimbrel::rtps::testing
