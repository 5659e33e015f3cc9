#include "monitor/metric_groups.hpp"

namespace nimbrel::monitor {

const TransportMetrics& transport_metrics() {
  static const TransportMetrics metrics = [] {
    Registry& r = default_registry();
    r.set_help("dds_transport_packets_sent_total",
               "RTPS-Pakete gesendet (nimbrel-monitor-1.0 §2.1)");
    r.set_help("dds_transport_packets_received_total",
               "RTPS-Pakete empfangen (nimbrel-monitor-1.0 §2.1)");
    r.set_help("dds_transport_bytes_sent_total", "Bytes gesendet (nimbrel-monitor-1.0 §2.1)");
    r.set_help("dds_transport_bytes_received_total", "Bytes empfangen (nimbrel-monitor-1.0 §2.1)");
    r.set_help("dds_transport_send_errors_total", "Send-Fehler (nimbrel-monitor-1.0 §2.1)");
    const Labels udp = Labels().with("transport", "udp");
    return TransportMetrics{
        .packets_sent = r.counter("dds_transport_packets_sent_total", udp),
        .packets_received = r.counter("dds_transport_packets_received_total", udp),
        .bytes_sent = r.counter("dds_transport_bytes_sent_total", udp),
        .bytes_received = r.counter("dds_transport_bytes_received_total", udp),
        .send_errors = r.counter("dds_transport_send_errors_total", udp.with("error_kind", "io")),
    };
  }();
  return metrics;
}

const RtpsMetrics& rtps_metrics() {
  static const RtpsMetrics metrics = [] {
    Registry& r = default_registry();
    r.set_help("dds_rtps_heartbeats_sent_total", "Heartbeats gesendet (nimbrel-monitor-1.0 §2.2)");
    r.set_help("dds_rtps_acknacks_received_total", "Acknacks empfangen (nimbrel-monitor-1.0 §2.2)");
    r.set_help("dds_rtps_retransmits_total", "Retransmissions (nimbrel-monitor-1.0 §2.2)");
    r.set_help("dds_rtps_fragmented_samples_total",
               "Fragmentierte Samples (nimbrel-monitor-1.0 §2.2)");
    r.set_help("dds_rtps_samples_dropped_total", "Samples gedropped (nimbrel-monitor-1.0 §2.2)");
    r.set_help("dds_rtps_unknown_submessages_total",
               "Unbekannte Submessage-Kinds (nimbrel-monitor-1.0 §2.2)");
    r.set_help("dds_rtps_invalid_submessages_total",
               "Ungültige Submessages, samt dem Rest ihrer Nachricht verworfen");
    const Labels reliable = Labels().with("writer_kind", "reliable");
    return RtpsMetrics{
        .heartbeats_sent = r.counter("dds_rtps_heartbeats_sent_total", reliable),
        .acknacks_received = r.counter("dds_rtps_acknacks_received_total", reliable),
        .retransmits = r.counter("dds_rtps_retransmits_total", reliable),
        .fragmented_samples = r.counter("dds_rtps_fragmented_samples_total", reliable),
        .samples_dropped =
            r.counter("dds_rtps_samples_dropped_total", reliable.with("reason", "history_limit")),
        .unknown_submessages =
            r.counter("dds_rtps_unknown_submessages_total", Labels().with("vendor_id", "unknown")),
        .invalid_submessages = r.counter("dds_rtps_invalid_submessages_total", Labels()),
    };
  }();
  return metrics;
}

const DiscoveryMetrics& discovery_metrics() {
  static const DiscoveryMetrics metrics = [] {
    Registry& r = default_registry();
    r.set_help("dds_discovery_participants_known",
               "Bekannte Participants (nimbrel-monitor-1.0 §2.4)");
    r.set_help("dds_discovery_endpoints_known", "Bekannte Endpoints (nimbrel-monitor-1.0 §2.4)");
    r.set_help("dds_discovery_spdp_announcements_sent_total",
               "SPDP-Announcements (nimbrel-monitor-1.0 §2.4)");
    r.set_help("dds_discovery_sedp_updates_total", "SEDP-Updates (nimbrel-monitor-1.0 §2.4)");
    r.set_help("dds_discovery_type_lookups_total",
               "TypeLookup-Requests (nimbrel-monitor-1.0 §2.4)");
    // The domain label is always "0", whatever domain the participant joined.
    const Labels domain = Labels().with("domain_id", "0");
    return DiscoveryMetrics{
        .participants_known = r.gauge("dds_discovery_participants_known", domain),
        .writers_known = r.gauge("dds_discovery_endpoints_known", domain.with("kind", "writer")),
        .readers_known = r.gauge("dds_discovery_endpoints_known", domain.with("kind", "reader")),
        .spdp_announcements_sent = r.counter("dds_discovery_spdp_announcements_sent_total", domain),
        .sedp_publication_updates =
            r.counter("dds_discovery_sedp_updates_total", domain.with("kind", "publication")),
        .sedp_subscription_updates =
            r.counter("dds_discovery_sedp_updates_total", domain.with("kind", "subscription")),
        .type_lookups = r.counter("dds_discovery_type_lookups_total", domain),
    };
  }();
  return metrics;
}

}  // namespace nimbrel::monitor
