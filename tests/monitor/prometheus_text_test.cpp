#include "monitor/prometheus_text.hpp"

#include <gtest/gtest.h>

namespace nimbrel::monitor {
namespace {

TEST(PrometheusText, GroupsSortsAndEscapesSeries) {
  Registry registry;
  registry.set_help("dds_b_total", "Bytes \\ gesendet\nzweite Zeile (§2.1)");
  registry.counter("dds_b_total", Labels{}.with("transport", "udp").with("error_kind", "io"))
      ->inc(7);
  registry.counter("dds_b_total", Labels{}.with("transport", "a\"b\\c\nd"))->inc(1);
  registry.gauge("dds_a_known", Labels{}.with("domain_id", "0"))->set(-3);
  registry.histogram("dds_c_seconds", Labels{})->observe(0.003);
  registry.histogram("dds_c_seconds", Labels{})->observe(9.0);
  // Left out: names and label keys Prometheus rejects, and a name given a second kind.
  registry.counter("9bad", Labels{})->inc();
  registry.counter("dds_d_total", Labels{}.with("bad-key", "x"))->inc();
  registry.gauge("dds_b_total", Labels{})->set(1);

  EXPECT_EQ(to_prometheus_text(registry),
            "# TYPE dds_a_known gauge\n"
            "dds_a_known{domain_id=\"0\"} -3\n"
            "# HELP dds_b_total Bytes \\\\ gesendet\\nzweite Zeile (§2.1)\n"
            "# TYPE dds_b_total counter\n"
            "dds_b_total{error_kind=\"io\",transport=\"udp\"} 7\n"
            "dds_b_total{transport=\"a\\\"b\\\\c\\nd\"} 1\n"
            "# TYPE dds_c_seconds histogram\n"
            "dds_c_seconds_bucket{le=\"0.0001\"} 0\n"
            "dds_c_seconds_bucket{le=\"0.0005\"} 0\n"
            "dds_c_seconds_bucket{le=\"0.001\"} 0\n"
            "dds_c_seconds_bucket{le=\"0.005\"} 1\n"
            "dds_c_seconds_bucket{le=\"0.01\"} 1\n"
            "dds_c_seconds_bucket{le=\"0.05\"} 1\n"
            "dds_c_seconds_bucket{le=\"0.1\"} 1\n"
            "dds_c_seconds_bucket{le=\"0.5\"} 1\n"
            "dds_c_seconds_bucket{le=\"1\"} 1\n"
            "dds_c_seconds_bucket{le=\"5\"} 1\n"
            "dds_c_seconds_bucket{le=\"+Inf\"} 2\n"
            "dds_c_seconds_count 2\n");
}

}  // namespace
}  // namespace nimbrel::monitor
