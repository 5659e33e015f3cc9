#include "dcps/builtin/type_lookup.hpp"

#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "discovery/type_lookup/rpc.hpp"
#include "monitor/metric_groups.hpp"

namespace nimbrel::dcps {
namespace {

namespace ids = rtps::entity_ids;

// Addressed to the reader, or to no reader by the reader's partner writer.
bool addressed_to(const rtps::DataSubmessage& data, const rtps::EntityId& reader,
                  const rtps::EntityId& writer) {
  return data.reader_id == reader || (data.reader_id.is_unknown() && data.writer_id == writer);
}

void run_all(std::vector<discovery::Completion>& completions) {
  for (auto& completion : completions)
    std::move(completion).run();
}

}  // namespace

void handle_type_lookup(Participant& participant, const rtps::ReceivedDatagram& datagram) {
  std::vector<std::vector<std::byte>> replies;
  std::vector<discovery::Completion> completions;
  for (const auto& received : datagram.submessages) {
    if (received.consumer != rtps::Consumer::TypeLookup) continue;
    const auto* data = std::get_if<rtps::DataSubmessage>(&received.body);
    if (data == nullptr) continue;  // best-effort here: nothing to acknowledge or repair
    // The standard form travels on the reliable endpoints.
    if (discovery::rpc::is_cdr2_payload(data->serialized_payload.span())) continue;
    if (addressed_to(*data, ids::type_lookup_request_reader, ids::type_lookup_request_writer)) {
      if (auto server = participant.type_lookup_server.lock()) {
        if (auto reply = (*server)->handle_request(*data)) replies.push_back(std::move(*reply));
      }
    } else if (addressed_to(*data, ids::type_lookup_reply_reader, ids::type_lookup_reply_writer)) {
      if (auto client = participant.type_lookup_client.lock()) {
        if (auto done = (*client)->handle_reply(received.state.source_prefix, *data)) {
          completions.push_back(std::move(*done));
        }
      }
    }
  }
  if (!replies.empty()) monitor::discovery_metrics().type_lookups->inc(replies.size());
  for (const auto& reply : replies)
    send_type_lookup_reply(participant, datagram.source, reply);
  run_all(completions);
}

void send_type_lookup_reply(const Participant& participant, const rtps::Locator& destination,
                            std::span<const std::byte> datagram) {
  if (destination.kind != rtps::locator_kind::udp_v4) return;
  static_cast<void>(participant.sockets.user_rx->send(destination, datagram));
}

std::expected<void, AddTypeError> add_type(Participant& participant,
                                           const types::EquivalenceHash& hash,
                                           types::TypeObject object) {
  auto server = participant.type_lookup_server.lock();
  if (!server) return std::unexpected(AddTypeError::ServerPoisoned);
  if (!(*server)->add_type(hash, std::move(object))) {
    return std::unexpected(AddTypeError::Unencodable);
  }
  return {};
}

std::expected<discovery::TypeLookupClient::RequestId, TypeLookupRequestError> request_type_lookup(
    Participant& participant, const rtps::GuidPrefix& replier,
    const discovery::TypeLookupRequest& request, discovery::TypeLookupCallback callback) {
  std::optional<rtps::Locator> destination;
  if (auto participants = participant.participants.lock()) {
    if (const auto* known = (*participants)->find(replier)) {
      const auto& data = known->data;
      destination = data.metatraffic_unicast_locator ? data.metatraffic_unicast_locator
                                                     : data.default_unicast_locator;
    }
  }
  if (!destination) return std::unexpected(TypeLookupRequestError::UnknownParticipant);

  std::optional<discovery::TypeLookupClient::Sent> sent;
  {
    auto client = participant.type_lookup_client.lock();
    if (!client) return std::unexpected(TypeLookupRequestError::ClientPoisoned);
    auto made = (*client)->request(replier, request, std::move(callback), participant.elapsed());
    if (!made) return std::unexpected(TypeLookupRequestError::Unencodable);
    sent = std::move(*made);
  }
  monitor::discovery_metrics().type_lookups->inc();
  // From the user socket, whose receive thread hears the reply sent back to the source.
  static_cast<void>(participant.sockets.user_rx->send(*destination, sent->datagram));
  if (sent->evicted) std::move(*sent->evicted).run();
  return sent->id;
}

void expire_type_lookups(Participant& participant, Elapsed now) {
  std::vector<discovery::Completion> expired;
  if (auto client = participant.type_lookup_client.lock()) {
    const auto deadline = (*client)->next_deadline();
    if (deadline && *deadline <= now) expired = (*client)->expire(now);
  }
  run_all(expired);
}

}  // namespace nimbrel::dcps
