#include "discovery/type_lookup/client.hpp"

#include <algorithm>
#include <utility>
#include <variant>

namespace nimbrel::discovery {
namespace {

template <typename Reply>
std::optional<TypeLookupReply> decode_reply(const LookupBody& body) {
  cdr::BufferReader reader(body.bytes, body.little_endian);
  auto reply = Reply::decode(reader);
  if (!reply) return std::nullopt;
  return TypeLookupReply{std::move(*reply)};
}

}  // namespace

TypeLookupClient::TypeLookupClient(const rtps::GuidPrefix& own, TypeLookupClientSettings settings)
    : own_(own), settings_(settings), next_id_(settings.first_request_id) {
  settings_.max_pending = std::max<std::size_t>(settings_.max_pending, 1);
}

CodecResult<TypeLookupClient::Sent> TypeLookupClient::request(const rtps::GuidPrefix& replier,
                                                              const TypeLookupRequest& request,
                                                              TypeLookupCallback callback,
                                                              Elapsed now) {
  const RequestId id = next_id_;
  auto datagram =
      build_type_lookup_request(own_, replier, request, static_cast<rtps::SequenceNumber>(id));
  if (!datagram) return std::unexpected(datagram.error());
  ++next_id_;
  Sent sent{.id = id, .datagram = std::move(*datagram), .evicted = std::nullopt};
  if (pending_.size() >= settings_.max_pending) {
    ++counters_.evicted;
    sent.evicted = give_up(order_.front(), TypeLookupFailure::Evicted);
  }
  const Key key{{replier, rtps::entity_ids::type_lookup_reply_writer}, id};
  pending_.emplace(
      key,
      Pending{.dependencies = std::holds_alternative<types::GetTypeDependenciesRequest>(request),
              .callback = std::move(callback),
              .deadline = now + settings_.request_timeout});
  order_.push_back(key);
  ++counters_.requests;
  return sent;
}

std::optional<Completion> TypeLookupClient::handle_reply(const rtps::GuidPrefix& source,
                                                         const rtps::DataSubmessage& reply) {
  const Key key{{source, reply.writer_id}, static_cast<RequestId>(reply.writer_sn)};
  auto it = pending_.find(key);
  if (reply.writer_sn <= 0 || it == pending_.end()) {
    ++counters_.unmatched_replies;
    return std::nullopt;
  }
  std::optional<TypeLookupReply> decoded;
  if (const auto body = lookup_body(reply.serialized_payload)) {
    decoded = it->second.dependencies ? decode_reply<types::GetTypeDependenciesReply>(*body)
                                      : decode_reply<types::GetTypesReply>(*body);
  }
  if (!decoded) {
    ++counters_.malformed_replies;
    return std::nullopt;
  }
  ++counters_.replies;
  Completion done{std::move(it->second.callback), std::move(*decoded)};
  pending_.erase(it);
  order_.erase(std::find(order_.begin(), order_.end(), key));
  return done;
}

std::vector<Completion> TypeLookupClient::expire(Elapsed now) {
  std::vector<Completion> expired;
  while (!order_.empty() && pending_.at(order_.front()).deadline <= now) {
    ++counters_.timed_out;
    expired.push_back(give_up(order_.front(), TypeLookupFailure::TimedOut));
  }
  return expired;
}

std::optional<Elapsed> TypeLookupClient::next_deadline() const {
  if (order_.empty()) return std::nullopt;
  return pending_.at(order_.front()).deadline;
}

Completion TypeLookupClient::give_up(Key key, TypeLookupFailure why) {
  auto it = pending_.find(key);
  Completion done{std::move(it->second.callback), std::unexpected(why)};
  pending_.erase(it);
  std::erase(order_, key);
  return done;
}

}  // namespace nimbrel::discovery
