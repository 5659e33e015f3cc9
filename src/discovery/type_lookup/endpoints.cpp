#include "discovery/type_lookup/endpoints.hpp"

#include <type_traits>
#include <utility>
#include <variant>

#include "discovery/detail/builtin_endpoints.hpp"
#include "discovery/type_lookup/rpc.hpp"
#include "rtps/data_representation.hpp"
#include "rtps/history_cache.hpp"

namespace nimbrel::discovery {
namespace {

namespace ids = rtps::entity_ids;
namespace bit = type_lookup_endpoint_bit;
using detail::append;

// Requests and replies are consumed at once; a short history covers what is still unacknowledged.
constexpr std::uint32_t writer_depth = 64;

bool standard(const rtps::DataSubmessage& data) {
  return rpc::is_cdr2_payload(data.serialized_payload.span());
}

}  // namespace

bool LookupSampleDecoder::decode_into(const rtps::DeliveredSample& sample, rtps::VendorId,
                                      Delivery& delivery) {
  if (sample.kind != rtps::change_kind::alive) return true;
  delivery.samples.push_back({.source = sample.writer_guid.prefix, .payload = sample.payload});
  return true;
}

TypeLookupEndpoints::TypeLookupEndpoints(const rtps::GuidPrefix& prefix, rtps::VendorId vendor_id,
                                         std::size_t max_peers)
    : prefix_(prefix),
      vendor_id_(vendor_id),
      max_peers_(max_peers),
      request_reader_({prefix, ids::type_lookup_request_reader}, vendor_id),
      reply_reader_({prefix, ids::type_lookup_reply_reader}, vendor_id) {}

rtps::ReliableWriter TypeLookupEndpoints::make_writer(const rtps::EntityId& id,
                                                      rtps::ReaderProxy proxy) const {
  // Type lookup messages are XCDR2 by definition: their encapsulation is never relabelled.
  proxy.data_representation = rtps::data_representation::xcdr2;
  return rtps::ReliableWriter(
      rtps::ReliableWriterConfig{.writer_guid = {prefix_, id},
                                 .vendor_id = vendor_id_,
                                 .reader_proxies = {std::move(proxy)},
                                 .history = rtps::HistoryPolicy::keep_last(writer_depth),
                                 .max_samples = writer_depth});
}

void TypeLookupEndpoints::on_participant_discovered(const DiscoveredParticipant& participant) {
  const rtps::GuidPrefix& peer = participant.sender_prefix;
  if (peer == prefix_ || peers_.contains(peer) || peers_.size() >= max_peers_) return;
  peers_.insert(peer);
  const detail::RemoteBuiltinEndpoints remote(peer, participant.data);
  if (remote.announces(bit::request_writer))
    request_reader_.add_writer_proxy(remote.writer(ids::type_lookup_request_writer));
  if (remote.announces(bit::reply_writer))
    reply_reader_.add_writer_proxy(remote.writer(ids::type_lookup_reply_writer));
  if (remote.announces(bit::request_reader)) {
    request_writers_.emplace(peer, make_writer(ids::type_lookup_request_writer,
                                               remote.reader(ids::type_lookup_request_reader)));
  }
  if (remote.announces(bit::reply_reader)) {
    reply_writers_.emplace(peer, make_writer(ids::type_lookup_reply_writer,
                                             remote.reader(ids::type_lookup_reply_reader)));
  }
}

void TypeLookupEndpoints::on_participants_removed(const std::set<rtps::GuidPrefix>& gone) {
  detail::remove_proxies_of(gone, request_reader_, reply_reader_);
  for (const auto& peer : gone) {
    peers_.erase(peer);
    request_writers_.erase(peer);
    reply_writers_.erase(peer);
  }
}

LookupDelivery TypeLookupEndpoints::handle_datagram(const rtps::ReceivedDatagram& datagram,
                                                    Elapsed now) {
  LookupDelivery delivery;
  for (const auto& received : datagram.submessages) {
    if (received.consumer != rtps::Consumer::TypeLookup) continue;
    const rtps::ReceiverState& from = received.state;
    std::visit(
        [&](const auto& body) {
          using T = std::decay_t<decltype(body)>;
          if constexpr (ReaderSubmessage<T>) {
            if constexpr (std::is_same_v<T, rtps::DataSubmessage>) {
              if (!standard(body)) return;
            }
            if (addressed_to(body, ids::type_lookup_request_reader,
                             ids::type_lookup_request_writer)) {
              append(delivery.requests, request_reader_.handle(from, body, now).samples);
            } else if (addressed_to(body, ids::type_lookup_reply_reader,
                                    ids::type_lookup_reply_writer)) {
              append(delivery.replies, reply_reader_.handle(from, body, now).samples);
            }
          } else if constexpr (WriterSubmessage<T>) {
            auto& writers = body.writer_id == ids::type_lookup_request_writer ? request_writers_
                                                                              : reply_writers_;
            if (body.writer_id != ids::type_lookup_request_writer &&
                body.writer_id != ids::type_lookup_reply_writer) {
              return;
            }
            if (auto it = writers.find(from.source_prefix); it != writers.end())
              detail::feed_writer(it->second, from, body);
          }
        },
        received.body);
  }
  return delivery;
}

CodecResult<rtps::Datagrams> TypeLookupEndpoints::send_request(const rtps::GuidPrefix& peer,
                                                               std::span<const std::byte> payload) {
  auto it = request_writers_.find(peer);
  if (it == request_writers_.end()) return rtps::Datagrams{};
  return it->second.write(payload);
}

CodecResult<rtps::Datagrams> TypeLookupEndpoints::send_reply(const rtps::GuidPrefix& peer,
                                                             std::span<const std::byte> payload) {
  auto it = reply_writers_.find(peer);
  if (it == reply_writers_.end()) return rtps::Datagrams{};
  return it->second.write(payload);
}

CodecResult<rtps::Datagrams> TypeLookupEndpoints::tick(Elapsed now) {
  rtps::Datagrams out;
  for (auto* writers : {&request_writers_, &reply_writers_}) {
    for (auto& [peer, writer] : *writers) {
      writer.remove_up_to(writer.acknowledged_by_all());
      auto datagrams = writer.tick(now);
      if (!datagrams) return std::unexpected(datagrams.error());
      append(out, std::move(*datagrams));
    }
  }
  auto acks = detail::tick_all(now, request_reader_, reply_reader_);
  if (!acks) return std::unexpected(acks.error());
  append(out, std::move(*acks));
  return out;
}

}  // namespace nimbrel::discovery
