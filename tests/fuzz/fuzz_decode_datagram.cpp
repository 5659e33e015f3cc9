// Decodes arbitrary bytes as an RTPS datagram. Every decoded submessage that has an encoder is
// re-encoded in its own byte order and must decode back to the same record; byte equality is not
// expected, since decoders ignore trailing bytes and the framing of a length-0 submessage. The
// receiver then takes the same bytes and may hand on only valid submessages that it routed.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <variant>

#include "rtps/datagram.hpp"
#include "rtps/receiver.hpp"
#include "rtps/validity.hpp"

namespace {

using namespace nimbrel::rtps;
using nimbrel::SharedBytes;

void check(bool condition) {
  if (!condition) std::abort();
}

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

template <typename T>
void expect_round_trip(const T& record, const EncodedBody& body) {
  auto again = decode_bytes<T>(body.bytes, is_little_endian(body.flags), body.flags);
  check(again.has_value() && *again == record);
}

void round_trip(const ParsedSubmessage& submessage) {
  std::visit(
      Overloaded{[](const DataSubmessage& s) {
                   // A record from the wire always has the E flag of its body; try both orders.
                   for (bool le : {true, false}) {
                     auto body = encode_body(s, le);
                     check(body.has_value());
                     auto again =
                         decode_bytes<DataSubmessage>(SharedBytes::copy_of(body->bytes),
                                                      is_little_endian(body->flags), body->flags);
                     check(again.has_value() && *again == s);
                   }
                 },
                 [](const DataFragSubmessage& s) {
                   auto body = encode_body(s, /*little_endian=*/false);
                   auto again = decode_bytes<DataFragSubmessage>(
                       SharedBytes::copy_of(body.bytes), is_little_endian(body.flags), body.flags);
                   check(again.has_value() && *again == s);
                 },
                 [](const HeartbeatSubmessage& s) { expect_round_trip(s, encode_body(s, true)); },
                 [](const AckNackSubmessage& s) { expect_round_trip(s, encode_body(s, false)); },
                 [](const GapSubmessage& s) { expect_round_trip(s, encode_body(s, true)); },
                 [](const NackFragSubmessage& s) { expect_round_trip(s, encode_body(s, false)); },
                 [](const HeaderExtension& s) {
                   auto body = encode_body(s, s.little_endian);
                   check(body.has_value());
                   expect_round_trip(s, *body);
                 },
                 [](const auto&) {}},
      submessage);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto input = SharedBytes::copy_of(std::as_bytes(std::span(data, size)));
  // The header's own prefix as ours, so that INFO_DST naming it is followed too.
  GuidPrefix own{};
  for (std::size_t i = 0; i < own.size() && 8 + i < size; ++i)
    own[i] = data[8 + i];
  Receiver receiver(own);
  for (const auto& received : receiver.receive(input).submessages)
    check(!invalid_reason(received.body) && received.consumer != Consumer::None);
  check(receiver.counters().datagrams + receiver.counters().malformed_datagrams == 1);

  auto parsed = decode_bytes<ParsedDatagram>(input, true);
  if (!parsed) return 0;
  for (const auto& submessage : parsed->submessages)
    round_trip(submessage);
  return 0;
}
