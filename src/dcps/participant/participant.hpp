// The local participant as every room of the runtime sees it: who it is, its sockets and clock,
// and the discovery components, each behind its own lock. Readers, writers and the builtin topics
// get this handle and their own state, never the whole runtime.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "dcps/participant/runtime_config.hpp"
#include "discovery/security/stack.hpp"
#include "discovery/sedp/stack.hpp"
#include "discovery/spdp.hpp"
#include "discovery/type_lookup/client.hpp"
#include "discovery/type_lookup/endpoints.hpp"
#include "discovery/type_lookup/server.hpp"
#include "discovery/type_lookup/type_exchange.hpp"
#include "discovery/wlp.hpp"
#include "foundation/arrival_log.hpp"
#include "foundation/guarded.hpp"
#include "foundation/time.hpp"
#include "rtps/participant_data.hpp"
#include "rtps/wire_types.hpp"
#include "transport/transport.hpp"

namespace nimbrel::dcps {

struct RuntimeSockets {
  std::shared_ptr<const transport::Transport> spdp_multicast_rx;  // group, port by domain id
  std::shared_ptr<const transport::Transport> metatraffic_rx;     // announced metatraffic unicast
  std::shared_ptr<const transport::Transport> user_rx;            // announced default unicast
  std::shared_ptr<const transport::Transport> multicast_tx;       // SPDP, SEDP and WLP output
};

// A topic name with one of its types.
struct TopicType {
  std::string topic_name;
  std::string type_name;
  friend auto operator<=>(const TopicType&, const TopicType&) = default;
};
inline constexpr std::size_t max_writer_topic_arrivals = 4096;

struct Participant {
  Participant(std::uint32_t domain_id_in, const rtps::GuidPrefix& prefix_in,
              RuntimeConfig config_in, RuntimeSockets sockets_in,
              const rtps::ParticipantBuiltinTopicData& local_participant_in,
              MonoInstant start_instant_in);
  Participant(const Participant&) = delete;
  Participant& operator=(const Participant&) = delete;

  // Reads the monotonic clock: the time base of every protocol object.
  Elapsed elapsed() const { return elapsed_since_start(std::chrono::steady_clock::now()); }
  Elapsed elapsed_since_start(MonoInstant now) const { return elapsed_between(start_instant, now); }

  const std::uint32_t domain_id;
  const rtps::GuidPrefix prefix;
  const RuntimeConfig config;
  const RuntimeSockets sockets;
  const rtps::ParticipantBuiltinTopicData local_participant;
  const MonoInstant start_instant;

  // Set by the metatraffic threads when a participant is first heard, taken by nbrl-tick: a
  // participant that started after our last announcement learns of us on the next tick instead
  // of a whole period later, so no sample it publishes meanwhile goes unrecorded.
  std::atomic<bool> announce_soon{false};

  Guarded<discovery::SpdpBeacon> beacon;  // serialized by the tick thread only
  // Inserted and emptied by the receive threads, expired by nbrl-tick; copied by API callers.
  Guarded<discovery::DiscoveredParticipantsCache> participants;
  // Datagrams from nbrl-recv-meta, proxies from the SPDP hook (both metatraffic threads), ticks
  // from nbrl-tick, subscription announcements from API callers.
  Guarded<discovery::SedpStack> sedp;
  // Pulses from nbrl-tick; received pulses from both metatraffic threads.
  Guarded<discovery::WlpEndpoint> wlp;
  // Requests from all three receive threads; types added by API callers.
  Guarded<discovery::TypeLookupServer> type_lookup_server;
  // Replies from the receive threads, requests from API callers, expiry from nbrl-tick.
  Guarded<discovery::TypeLookupClient> type_lookup_client;
  // The standard, reliable type lookup endpoints: datagrams from the receive threads, proxies from
  // the SPDP hook, ticks from nbrl-tick, requests and replies written by whoever produced them.
  Guarded<discovery::TypeLookupEndpoints> type_lookup_endpoints;
  // Remote writers' types and those served: publications and replies from the receive threads,
  // expiry from nbrl-tick, reads and added types from API callers.
  Guarded<discovery::TypeExchange> type_exchange;
  // Null unless configured. Participants from the SPDP hook (both metatraffic threads), datagrams
  // from nbrl-recv-meta, polls from nbrl-tick.
  const std::shared_ptr<Guarded<discovery::SecurityBuiltinStack>> secure;
  // The topic and type of each remote writer as SEDP brings it (again on a change): added by
  // nbrl-recv-meta, read by API callers that follow what appears in the domain.
  Guarded<ArrivalLog<TopicType>> writer_topics{std::in_place, max_writer_topic_arrivals};
};

}  // namespace nimbrel::dcps
