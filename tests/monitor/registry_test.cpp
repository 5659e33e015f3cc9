#include "monitor/registry.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <set>
#include <thread>
#include <vector>

#include "monitor/metric_groups.hpp"

namespace nimbrel::monitor {
namespace {

TEST(Labels, KeepOnePairPerKeyAndCompareByContent) {
  const Labels twice = Labels().with("k", "1").with("k", "2");
  ASSERT_EQ(twice.pairs().size(), 1u);
  EXPECT_EQ(twice.pairs()[0].second, "2");
  EXPECT_EQ(Labels().with("b", "2").with("a", "1"), Labels().with("a", "1").with("b", "2"));
  EXPECT_NE(Labels().with("a", "1"), Labels().with("a", "2"));
  // Keys compare by content, not by the address of the literal.
  const std::string key = "a";
  EXPECT_EQ(Labels().with(key, "1"), Labels().with("a", "1"));
}

TEST(Registry, SameNameAndLabelsGiveTheSameHandleAndHelpIsReplaced) {
  Registry r;
  auto a = r.counter("x_total", Labels().with("a", "1").with("b", "2"));
  EXPECT_EQ(a, r.counter("x_total", Labels().with("b", "2").with("a", "1")));
  EXPECT_NE(a, r.counter("x_total", Labels().with("a", "other")));
  EXPECT_NE(r.gauge("g", Labels()), r.gauge("g", Labels().with("k", "v")));
  EXPECT_EQ(r.histogram("h", Labels()), r.histogram("h", Labels()));
  r.set_help("x", "one");
  r.set_help("x", "two");
  EXPECT_EQ(r.help("x"), "two");
  EXPECT_EQ(r.help("y"), std::nullopt);
}

TEST(Counter, SaturatesInsteadOfWrapping) {
  Counter c("c", Labels());
  c.inc(std::numeric_limits<std::uint64_t>::max() - 1);
  c.inc(5);
  EXPECT_EQ(c.value(), std::numeric_limits<std::uint64_t>::max());
}

// The handles are those of the default registry under their fixed names, labels and help texts.
TEST(MetricGroups, RegisterOnceUnderConcurrentFirstUse) {
  std::vector<const TransportMetrics*> seen(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&, i] {
      seen[i] = &transport_metrics();
      rtps_metrics();
      discovery_metrics();
    });
  }
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(std::set(seen.begin(), seen.end()).size(), 1u);
  Registry& r = default_registry();
  const Labels udp = Labels().with("transport", "udp");
  EXPECT_EQ(transport_metrics().packets_sent, r.counter("dds_transport_packets_sent_total", udp));
  EXPECT_EQ(transport_metrics().send_errors,
            r.counter("dds_transport_send_errors_total", udp.with("error_kind", "io")));
  EXPECT_EQ(rtps_metrics().samples_dropped,
            r.counter("dds_rtps_samples_dropped_total",
                      Labels().with("writer_kind", "reliable").with("reason", "history_limit")));
  EXPECT_EQ(rtps_metrics().unknown_submessages,
            r.counter("dds_rtps_unknown_submessages_total", Labels().with("vendor_id", "unknown")));
  const Labels domain = Labels().with("domain_id", "0");
  EXPECT_EQ(discovery_metrics().readers_known,
            r.gauge("dds_discovery_endpoints_known", domain.with("kind", "reader")));
  EXPECT_EQ(discovery_metrics().sedp_subscription_updates,
            r.counter("dds_discovery_sedp_updates_total", domain.with("kind", "subscription")));
  // clang-format off
  const std::pair<const char*, const char*> help[] = {
      {"dds_transport_send_errors_total", "Send-Fehler (nimbrel-monitor-1.0 \u00a72.1)"},
      {"dds_rtps_unknown_submessages_total", "Unbekannte Submessage-Kinds (nimbrel-monitor-1.0 \u00a72.2)"},
      {"dds_discovery_endpoints_known", "Bekannte Endpoints (nimbrel-monitor-1.0 \u00a72.4)"},
      {"dds_discovery_type_lookups_total", "TypeLookup-Requests (nimbrel-monitor-1.0 \u00a72.4)"},
      {"dds_rtps_fragmented_samples_total", "Fragmentierte Samples (nimbrel-monitor-1.0 \u00a72.2)"}};
  // clang-format on
  for (const auto& [name, text] : help)
    EXPECT_EQ(r.help(name), text);
}

}  // namespace
}  // namespace nimbrel::monitor
