// The generic message decoder against golden bytes: the field layout with its padding, every cap
// at its limit and one past it, and every error text.
#include "security/generic_message.hpp"

#include <gtest/gtest.h>

#include <string>

#include "security/security_test_util.hpp"

namespace nimbrel::security {
namespace {

using testing::CdrBuilder;
using Message = ParticipantGenericMessage;

std::vector<std::byte> guid_bytes(std::uint8_t fill, std::uint8_t kind) {
  std::vector<std::byte> out(15, std::byte{fill});
  out.push_back(std::byte{kind});
  return out;
}

rtps::Guid guid(std::uint8_t fill, std::uint8_t kind) {
  std::array<std::uint8_t, 16> raw{};
  raw.fill(fill);
  raw[15] = kind;
  return rtps::Guid::from_bytes(raw);
}

// A token of an empty class id and no properties.
const std::vector<std::byte> empty_token = CdrBuilder().u32(0).u32(0).u32(0).bytes();

// Everything up to the message class id.
CdrBuilder head() {
  CdrBuilder out;
  // clang-format off
  out.raw(guid_bytes(0x11, 0xC1))               // message identity: source GUID
     .raw({std::byte{5}, std::byte{0}, std::byte{0}, std::byte{0},
           std::byte{0}, std::byte{0}, std::byte{0}, std::byte{0}})  // sequence number 5
     .raw(guid_bytes(0x22, 0xC1))               // related identity: source GUID
     .raw({std::byte{0xFF}, std::byte{0xFF}, std::byte{0xFF}, std::byte{0xFF},
           std::byte{0xFF}, std::byte{0xFF}, std::byte{0xFF}, std::byte{0xFF}})  // -1
     .raw(guid_bytes(0x33, 0xC1))               // destination participant
     .raw(guid_bytes(0x33, 0xC4))               // destination endpoint
     .raw(guid_bytes(0x11, 0xC3));              // source endpoint
  // clang-format on
  return out;
}

std::vector<std::byte> golden() {
  return head().str("dds.sec.auth").u32(2).octets(empty_token).octets(empty_token).bytes();
}

// The body behind a CDR_LE encapsulation header.
CodecResult<Message> decode_body(std::span<const std::byte> body) {
  std::vector<std::byte> payload{std::byte{0}, std::byte{1}, std::byte{0}, std::byte{0}};
  payload.insert(payload.end(), body.begin(), body.end());
  return rtps::decode_bytes<Message>(payload, /*little_endian=*/true);
}

std::string error_of(const std::vector<std::byte>& body) {
  const auto decoded = decode_body(body);
  return decoded ? "ok" : to_string(decoded.error());
}

TEST(GenericMessage, DecodesTheGolden) {
  const auto message = decode_body(golden());
  ASSERT_TRUE(message) << to_string(message.error());
  EXPECT_EQ(*message, (Message{.message_identity = {guid(0x11, 0xC1), 5},
                               .related_message_identity = {guid(0x22, 0xC1), -1},
                               .destination_participant_guid = guid(0x33, 0xC1),
                               .destination_endpoint_guid = guid(0x33, 0xC4),
                               .source_endpoint_guid = guid(0x11, 0xC3),
                               .message_class_id = "dds.sec.auth",
                               .message_data = {DataHolder{}, DataHolder{}}}));
}

TEST(GenericMessage, EveryCutFailsAsTruncated) {
  const auto whole = golden();
  for (std::size_t cut = 0; cut < whole.size(); ++cut) {
    const std::string error = error_of(std::vector(whole.begin(), whole.begin() + cut));
    // A cut inside a token's octet sequence is a truncated message, never a token error.
    EXPECT_EQ(error, "generic_message: truncated") << cut;
  }
}

TEST(GenericMessage, ClassIdErrors) {
  EXPECT_EQ(error_of(head().u32(0).bytes()), "generic_message: zero-length string (no NUL)");
  EXPECT_EQ(error_of(head().u32(2).raw({std::byte{'a'}, std::byte{'b'}}).bytes()),
            "generic_message: missing terminating NUL");
  EXPECT_EQ(error_of(head().u32(2).raw({std::byte{0xFF}, std::byte{0}}).bytes()),
            "generic_message: non-utf8");
  const std::string longest(Message::max_class_id_length - 1, 'c');
  EXPECT_EQ(error_of(head().str(longest).u32(0).bytes()), "ok");
  EXPECT_EQ(error_of(head().str(longest + "c").u32(0).bytes()), "generic_message: string > cap");
}

TEST(GenericMessage, MessageDataCaps) {
  CdrBuilder at_cap = head().str("c");
  at_cap.u32(Message::max_message_data);
  for (std::size_t i = 0; i < Message::max_message_data; ++i)
    at_cap.octets(empty_token);
  const auto message = decode_body(at_cap.bytes());
  ASSERT_TRUE(message);
  EXPECT_EQ(message->message_data.size(), Message::max_message_data);
  EXPECT_EQ(error_of(head().str("c").u32(Message::max_message_data + 1).bytes()),
            "generic_message: message_data sequence too long");
  EXPECT_EQ(error_of(head().str("c").u32(1).u32(Message::max_octet_seq + 1).bytes()),
            "generic_message: octet_seq > cap");
  // At the octet cap the length passes; the token inside is then over its own cap.
  auto largest = empty_token;
  largest.resize(Message::max_body_bytes - head().str("c").u32(1).u32(0).bytes().size());
  EXPECT_EQ(error_of(head().str("c").u32(1).octets(largest).bytes()),
            "token: payload exceeds DoS cap");
}

TEST(GenericMessage, TokenErrorsPassThrough) {
  EXPECT_EQ(error_of(head().str("c").u32(1).octets(CdrBuilder().u32(0).u32(257).bytes()).bytes()),
            "token: property count exceeds cap");
}

TEST(GenericMessage, BodyCap) {
  auto at_cap = head().str("c").u32(0).bytes();
  at_cap.resize(Message::max_body_bytes);  // trailing bytes are not read
  EXPECT_EQ(error_of(at_cap), "ok");
  at_cap.push_back(std::byte{0});
  EXPECT_EQ(error_of(at_cap), "generic_message: payload exceeds DoS cap");
}

TEST(GenericMessagePayload, EncapsulationHeader) {
  auto payload = CdrBuilder()
                     .raw({std::byte{0}, std::byte{1}, std::byte{0}, std::byte{0}})
                     .raw(golden())
                     .bytes();
  const auto decode = [](std::span<const std::byte> bytes) {
    return rtps::decode_bytes<Message>(bytes, /*little_endian=*/true);
  };
  EXPECT_TRUE(decode(payload));
  payload[1] = std::byte{0};  // CDR big-endian
  EXPECT_EQ(to_string(decode(payload).error()),
            "generic_message: only CDR_LE encapsulation supported");
  EXPECT_EQ(to_string(decode(std::span(payload).first(3)).error()),
            "generic_message: encapsulation-header truncated");
}

}  // namespace
}  // namespace nimbrel::security
