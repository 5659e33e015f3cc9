// The captured type lookup datagrams of tests/data/typelookup: each DATA's payload, in order.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <variant>
#include <vector>

#include "../foundation/bytes_test_util.hpp"
#include "rtps/datagram.hpp"

namespace nimbrel::discovery {

struct Captured {
  rtps::GuidPrefix sender{};
  std::vector<testing::Bytes> payloads;
};

inline Captured load(const std::string& name) {
  std::ifstream in(std::string(NIMBREL_TEST_DATA_DIR) + "/typelookup/" + name, std::ios::binary);
  const std::string raw(std::istreambuf_iterator<char>(in), {});
  auto parsed =
      rtps::decode_bytes<rtps::ParsedDatagram>(SharedBytes::copy_of(testing::text(raw)), true);
  EXPECT_TRUE(parsed) << name;
  Captured captured{.sender = parsed ? parsed->guid_prefix : rtps::GuidPrefix{}, .payloads = {}};
  if (!parsed) return captured;
  for (const auto& submessage : parsed->submessages) {
    if (const auto* data = std::get_if<rtps::DataSubmessage>(&submessage)) {
      const auto span = data->serialized_payload.span();
      captured.payloads.emplace_back(span.begin(), span.end());
    }
  }
  return captured;
}

}  // namespace nimbrel::discovery
