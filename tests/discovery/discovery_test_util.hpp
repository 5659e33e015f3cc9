// Helpers shared by the discovery and liveliness tests: datagrams from the golden header prefix
// built of DATA submessages, and the Cyclone DDS captures under tests/data/cyclone.
#pragma once

#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "rtps/submessages.hpp"
#include "rtps/wire_test_util.hpp"

namespace nimbrel::rtps::testing {

inline std::vector<std::byte> data_submessage(EntityId writer, std::vector<std::byte> payload) {
  DataSubmessage data;
  data.writer_id = writer;
  data.writer_sn = 1;
  data.serialized_payload = SharedBytes::adopt(std::move(payload));
  const auto body = data.write_body(/*little_endian=*/true).value();
  return submessage(submessage_id::data, body.flags, body.bytes);
}

// The golden header (prefix 1..12, vendor 01 F0) followed by the submessages.
inline SharedBytes datagram(std::initializer_list<std::vector<std::byte>> submessages) {
  auto out = golden_header();
  for (const auto& s : submessages)
    out.insert(out.end(), s.begin(), s.end());
  return SharedBytes::adopt(std::move(out));
}

inline SharedBytes load_capture(const std::string& name) {
  std::ifstream in(std::string(NIMBREL_TEST_DATA_DIR) + "/cyclone/" + name, std::ios::binary);
  std::vector<char> raw{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  return SharedBytes::copy_of(std::as_bytes(std::span(raw)));
}

}  // namespace nimbrel::rtps::testing
