#include "rtps/receiver.hpp"

#include <type_traits>
#include <utility>
#include <variant>

#include "foundation/saturating.hpp"
#include "rtps/validity.hpp"

namespace nimbrel::rtps {
namespace {

namespace ids = entity_ids;

constexpr GuidPrefix unknown_prefix{};
constexpr std::uint8_t supported_major_version = 2;

bool is_user_kind(EntityKind kind) {
  return kind == EntityKind::UserWriterWithKey || kind == EntityKind::UserWriterNoKey ||
         kind == EntityKind::UserReaderNoKey || kind == EntityKind::UserReaderWithKey;
}

Consumer owner_of(const EntityId& id) {
  if (id == ids::spdp_writer || id == ids::spdp_reader) return Consumer::Spdp;
  if (id == ids::sedp_publications_writer || id == ids::sedp_publications_reader ||
      id == ids::sedp_subscriptions_writer || id == ids::sedp_subscriptions_reader) {
    return Consumer::Sedp;
  }
  if (id == ids::participant_message_writer || id == ids::participant_message_reader) {
    return Consumer::Wlp;
  }
  if (id == ids::type_lookup_request_writer || id == ids::type_lookup_request_reader ||
      id == ids::type_lookup_reply_writer || id == ids::type_lookup_reply_reader) {
    return Consumer::TypeLookup;
  }
  if (id == ids::participant_stateless_writer || id == ids::participant_stateless_reader) {
    return Consumer::SecureStateless;
  }
  if (id == ids::volatile_secure_writer || id == ids::volatile_secure_reader) {
    return Consumer::SecureVolatile;
  }
  if (is_user_kind(id.entity_kind)) return Consumer::User;
  return Consumer::None;
}

template <typename T>
Consumer route(const T& submessage) {
  if constexpr (std::is_same_v<T, AckNackSubmessage> || std::is_same_v<T, NackFragSubmessage>) {
    return owner_of(submessage.writer_id);
  } else if constexpr (requires { submessage.reader_id; }) {
    return owner_of(submessage.reader_id.is_unknown() ? submessage.writer_id
                                                      : submessage.reader_id);
  } else {
    return Consumer::None;
  }
}

}  // namespace

Consumer consumer_of(const ParsedSubmessage& submessage) {
  return std::visit([](const auto& body) { return route(body); }, submessage);
}

ReceivedDatagram Receiver::receive(const SharedBytes& datagram) {
  ReceivedDatagram received;
  WireReader reader(datagram, /*little_endian=*/true);
  auto decoded = DatagramPrefix::decode(reader);
  if (!decoded || decoded->datagram.version.major != supported_major_version) {
    saturating_increment(counters_.malformed_datagrams);
    return received;
  }
  saturating_increment(counters_.datagrams);
  ParsedDatagram& parsed = decoded->datagram;
  ReceiverState state{.source_version = parsed.version,
                      .source_vendor_id = parsed.vendor_id,
                      .source_prefix = parsed.guid_prefix};
  received.submessages.reserve(parsed.submessages.size());
  for (auto& submessage : parsed.submessages) {
    if (invalid_reason(submessage)) {
      // The rest of the message cannot be trusted either (DDSI-RTPS 2.5 section 8.3.4.1).
      saturating_increment(counters_.invalid_submessages);
      return received;
    }
    if (const auto* src = std::get_if<InfoSourceSubmessage>(&submessage)) {
      state.source_version = src->version;
      state.source_vendor_id = src->vendor_id;
      state.source_prefix = src->guid_prefix;
      state.timestamp.reset();
      continue;
    }
    if (const auto* dst = std::get_if<InfoDestinationSubmessage>(&submessage)) {
      state.dest_prefix = dst->guid_prefix;
      continue;
    }
    if (const auto* ts = std::get_if<InfoTimestampSubmessage>(&submessage)) {
      state.timestamp = ts->timestamp;
      continue;
    }
    if (const auto* unknown = std::get_if<UnknownSubmessage>(&submessage)) {
      if (unknown->id != submessage_id::pad) saturating_increment(counters_.unknown_submessages);
      continue;
    }
    if (std::holds_alternative<HeaderExtension>(submessage) ||
        std::holds_alternative<InfoReplySubmessage>(submessage)) {
      continue;
    }
    if (state.dest_prefix != unknown_prefix && state.dest_prefix != own_prefix_) {
      saturating_increment(counters_.other_destination);
      continue;
    }
    const Consumer consumer = consumer_of(submessage);
    if (consumer == Consumer::None) {
      saturating_increment(counters_.unrouted_submessages);
      continue;
    }
    received.consumers |= 1u << static_cast<unsigned>(consumer);
    received.submessages.push_back({state, std::move(submessage), consumer});
  }
  // A submessage that did not decode is invalid as well: what preceded it stands.
  if (decoded->stopped_by) saturating_increment(counters_.invalid_submessages);
  return received;
}

}  // namespace nimbrel::rtps
