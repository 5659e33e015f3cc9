#include "dcps/builtin/standard_type_lookup.hpp"

#include <iterator>
#include <memory>
#include <utility>
#include <vector>

#include "dcps/participant/outbound.hpp"
#include "discovery/type_lookup/rpc.hpp"
#include "monitor/registry.hpp"

namespace nimbrel::dcps {
namespace {

using discovery::OutgoingRequest;
using discovery::TypeExchange;
using discovery::TypeExchangeCounters;

struct LookupMetrics {
  std::shared_ptr<monitor::Gauge> types_known;
  std::shared_ptr<monitor::Counter> requests_sent;
  std::shared_ptr<monitor::Counter> replies;
  std::shared_ptr<monitor::Counter> timed_out;
  std::shared_ptr<monitor::Counter> bad_hash;
  std::shared_ptr<monitor::Counter> unknown;
  std::shared_ptr<monitor::Counter> undecodable;
  std::shared_ptr<monitor::Counter> served;
};

const LookupMetrics& lookup_metrics() {
  static const LookupMetrics metrics = [] {
    monitor::Registry& r = monitor::default_registry();
    r.set_help("nimbrel_type_lookup_types_known", "Type objects held, fetched or added");
    r.set_help("nimbrel_type_lookup_requests_sent_total", "getTypes requests sent, retries too");
    r.set_help("nimbrel_type_lookup_replies_total", "Replies matched to a request of ours");
    r.set_help("nimbrel_type_lookup_failures_total",
               "Requests unanswered in time, objects with a wrong hash, identifiers not known, "
               "type parameters of discovery records that do not decode");
    r.set_help("nimbrel_type_lookup_requests_served_total", "Requests of other participants");
    const monitor::Labels none;
    return LookupMetrics{
        .types_known = r.gauge("nimbrel_type_lookup_types_known", none),
        .requests_sent = r.counter("nimbrel_type_lookup_requests_sent_total", none),
        .replies = r.counter("nimbrel_type_lookup_replies_total", none),
        .timed_out =
            r.counter("nimbrel_type_lookup_failures_total", none.with("reason", "timed_out")),
        .bad_hash =
            r.counter("nimbrel_type_lookup_failures_total", none.with("reason", "bad_hash")),
        .unknown = r.counter("nimbrel_type_lookup_failures_total", none.with("reason", "unknown")),
        .undecodable =
            r.counter("nimbrel_type_lookup_failures_total", none.with("reason", "undecodable")),
        .served = r.counter("nimbrel_type_lookup_requests_served_total", none),
    };
  }();
  return metrics;
}

// Runs `f` on the exchange under its lock and adds what it counted to the metrics afterwards.
template <typename F>
auto with_exchange(Participant& participant, F f)
    -> std::optional<decltype(f(std::declval<TypeExchange&>()))> {
  TypeExchangeCounters before;
  TypeExchangeCounters after;
  std::size_t known = 0;
  std::optional<decltype(f(std::declval<TypeExchange&>()))> result;
  {
    auto exchange = participant.type_exchange.lock();
    if (!exchange) return result;
    before = (*exchange)->counters();
    result.emplace(f(**exchange));
    after = (*exchange)->counters();
    known = (*exchange)->types_known();
  }
  const LookupMetrics& m = lookup_metrics();
  m.requests_sent->inc(after.requests_sent - before.requests_sent);
  m.replies->inc(after.replies - before.replies);
  m.timed_out->inc(after.timed_out - before.timed_out);
  m.bad_hash->inc(after.bad_hash - before.bad_hash);
  m.unknown->inc(after.unknown - before.unknown);
  m.undecodable->inc(after.undecodable - before.undecodable);
  m.served->inc(after.requests_answered - before.requests_answered);
  m.types_known->set(static_cast<std::int64_t>(known));
  return result;
}

void send(const Participant& participant, const rtps::Datagrams& datagrams) {
  send_to_udp_v4_destinations(*participant.sockets.multicast_tx, datagrams);
}

void send_requests(Participant& participant, const std::vector<OutgoingRequest>& requests) {
  if (requests.empty()) return;
  rtps::Datagrams out;
  std::vector<std::int64_t> unreachable;
  if (auto endpoints = participant.type_lookup_endpoints.lock()) {
    for (const auto& request : requests) {
      if (!(*endpoints)->can_ask(request.replier)) {
        unreachable.push_back(request.sequence_number);
        continue;
      }
      // An unanswered request is retried by the exchange: a failed write is not repeated here.
      if (auto datagrams = (*endpoints)->send_request(request.replier, request.payload)) {
        out.insert(out.end(), std::make_move_iterator(datagrams->begin()),
                   std::make_move_iterator(datagrams->end()));
      }
    }
  }
  send(participant, out);
  if (unreachable.empty()) return;
  with_exchange(participant, [&](TypeExchange& e) {
    for (const auto sn : unreachable)
      e.abandon(sn);
    return true;
  });
}

void serve(Participant& participant, const std::vector<discovery::LookupSample>& requests) {
  for (const auto& sample : requests) {
    const auto request = discovery::rpc::decode_request(sample.payload.span());
    if (!request) continue;
    auto reply = with_exchange(participant, [&](TypeExchange& e) { return e.answer(*request); });
    if (!reply) return;
    const auto payload = discovery::rpc::encode_payload(*reply);
    if (!payload) continue;
    std::optional<CodecResult<rtps::Datagrams>> datagrams;
    if (auto endpoints = participant.type_lookup_endpoints.lock())
      datagrams = (*endpoints)->send_reply(sample.source, *payload);
    if (datagrams && *datagrams) send(participant, **datagrams);
  }
}

void take_replies(Participant& participant, const std::vector<discovery::LookupSample>& replies) {
  for (const auto& sample : replies) {
    const auto reply = discovery::rpc::decode_reply(sample.payload.span());
    if (!reply) continue;
    auto more = with_exchange(participant, [&](TypeExchange& e) {
      return e.on_reply(sample.source, *reply, participant.elapsed());
    });
    if (more) send_requests(participant, *more);
  }
}

}  // namespace

void handle_standard_type_lookup(Participant& participant, const rtps::ReceivedDatagram& datagram,
                                 Elapsed now) {
  discovery::LookupDelivery delivery;
  if (auto endpoints = participant.type_lookup_endpoints.lock())
    delivery = (*endpoints)->handle_datagram(datagram, now);
  serve(participant, delivery.requests);
  take_replies(participant, delivery.replies);
}

void type_lookup_on_participant_discovered(Participant& participant,
                                           const discovery::DiscoveredParticipant& discovered) {
  if (auto endpoints = participant.type_lookup_endpoints.lock())
    (*endpoints)->on_participant_discovered(discovered);
}

void type_lookup_on_participants_removed(Participant& participant,
                                         const std::set<rtps::GuidPrefix>& gone) {
  if (gone.empty()) return;
  if (auto endpoints = participant.type_lookup_endpoints.lock())
    (*endpoints)->on_participants_removed(gone);
  if (auto exchange = participant.type_exchange.lock()) (*exchange)->forget_participants(gone);
}

void type_lookup_on_sedp_events(Participant& participant, const discovery::SedpEvents& events) {
  if (events.publications.empty() && events.removed_publications.empty()) return;
  const Elapsed now = participant.elapsed();
  auto requests = with_exchange(participant, [&](TypeExchange& e) {
    e.forget_writers(events.removed_publications);
    std::vector<OutgoingRequest> out;
    for (const auto& publication : events.publications) {
      auto more = e.on_publication(publication, now);
      out.insert(out.end(), std::make_move_iterator(more.begin()),
                 std::make_move_iterator(more.end()));
    }
    return out;
  });
  if (requests) send_requests(participant, *requests);
}

void tick_standard_type_lookup(Participant& participant, Elapsed now) {
  std::optional<CodecResult<rtps::Datagrams>> datagrams;
  if (auto endpoints = participant.type_lookup_endpoints.lock())
    datagrams = (*endpoints)->tick(now);
  if (datagrams && *datagrams) send(participant, **datagrams);
  auto requests = with_exchange(participant, [&](TypeExchange& e) { return e.expire(now); });
  if (requests) send_requests(participant, *requests);
}

std::optional<discovery::WriterType> writer_type(Participant& participant,
                                                 const rtps::Guid& writer) {
  auto exchange = participant.type_exchange.lock();
  if (!exchange) return std::nullopt;
  return (*exchange)->writer_type(writer);
}

discovery::TypeState type_state(Participant& participant, const rtps::Guid& writer) {
  auto exchange = participant.type_exchange.lock();
  if (!exchange) return discovery::TypeState::None;
  return (*exchange)->type_state(writer);
}

discovery::TypeArrivals type_arrivals_since(Participant& participant, std::uint64_t generation) {
  auto exchange = participant.type_exchange.lock();
  if (!exchange) return {.generation = generation, .items = {}, .missed = true};
  return (*exchange)->arrivals_since(generation);
}

bool add_type_objects(Participant& participant, std::span<const discovery::TypeEntry> closure) {
  return with_exchange(participant, [&](TypeExchange& e) { return e.add_types(closure); })
      .value_or(false);
}

}  // namespace nimbrel::dcps
