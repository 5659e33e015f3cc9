// The three metric groups of the protocol layers. Each is created once, on first use, in the
// default registry (help texts first, then the handles with their fixed labels); callers keep the
// handles and update them without touching the registry.
#pragma once

#include <memory>

#include "monitor/registry.hpp"

namespace nimbrel::monitor {

struct TransportMetrics {
  std::shared_ptr<Counter> packets_sent;
  std::shared_ptr<Counter> packets_received;
  std::shared_ptr<Counter> bytes_sent;
  std::shared_ptr<Counter> bytes_received;
  std::shared_ptr<Counter> send_errors;
};

struct RtpsMetrics {
  std::shared_ptr<Counter> heartbeats_sent;
  std::shared_ptr<Counter> acknacks_received;
  std::shared_ptr<Counter> retransmits;
  std::shared_ptr<Counter> fragmented_samples;
  std::shared_ptr<Counter> samples_dropped;
  std::shared_ptr<Counter> unknown_submessages;
  std::shared_ptr<Counter> invalid_submessages;
};

struct DiscoveryMetrics {
  std::shared_ptr<Gauge> participants_known;
  std::shared_ptr<Gauge> writers_known;
  std::shared_ptr<Gauge> readers_known;
  std::shared_ptr<Counter> spdp_announcements_sent;
  std::shared_ptr<Counter> sedp_publication_updates;
  std::shared_ptr<Counter> sedp_subscription_updates;
  std::shared_ptr<Counter> type_lookups;
};

const TransportMetrics& transport_metrics();
const RtpsMetrics& rtps_metrics();
const DiscoveryMetrics& discovery_metrics();

}  // namespace nimbrel::monitor
