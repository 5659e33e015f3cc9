// The metrics endpoint on loopback: runs inside a fresh network namespace (see CMakeLists.txt).
#include "tools/recorder_bridge/metrics_server.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>

#include "tools/recorder_bridge/recorder_metrics.hpp"

namespace nimbrel::bridge {
namespace {

TEST(ParseListenAddress, HostsPortsAndErrors) {
  const auto parsed = [](const char* text) {
    auto a = parse_listen_address(text);
    return a ? a->host + " " + std::to_string(a->port) : "error";
  };
  EXPECT_EQ(parsed("127.0.0.1:9464"), "127.0.0.1 9464");
  EXPECT_EQ(parsed(":9464"), "0.0.0.0 9464");
  EXPECT_EQ(parsed("[::1]:0"), "::1 0");
  EXPECT_EQ(parsed("localhost:80"), "localhost 80");
  for (const char* bad : {"9464", "127.0.0.1:", "127.0.0.1:65536", "::1:9464", "host:9x"})
    EXPECT_EQ(parsed(bad), "error") << bad;
}

struct CountingOutput final : RecordingOutput {
  std::vector<BatchLoss> record(std::span<const TakenSample>) override { return {}; }
  bool takes_empty_bodies() const override { return true; }
  std::uint64_t recorded() const override { return recorded_; }
  std::uint64_t dropped() const override { return dropped_; }
  std::uint64_t failed() const override { return 0; }
  std::uint64_t bytes() const override { return 0; }
  std::uint64_t start_ns() const override { return 0; }
  std::atomic<std::uint64_t> recorded_{0};
  std::atomic<std::uint64_t> dropped_{0};
};

TEST(MetricsServer, ServesTheRegistryWithTheOutputsCounters) {
  CountingOutput session;
  auto metrics = std::make_shared<RecorderMetrics>(monitor::default_registry());
  auto server = MetricsServer::start({.host = "127.0.0.1", .port = 0},
                                     [&, metrics] { metrics->sync(session); });
  ASSERT_TRUE(server) << server.error();
  session.recorded_ = 1;
  session.dropped_ = 1;

  httplib::Client client("127.0.0.1", (*server)->port());
  auto response = client.Get("/metrics");
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 200);
  EXPECT_NE(response->body.find("\ndds_recorder_samples_recorded_total 1\n"), std::string::npos)
      << response->body;
  EXPECT_NE(response->body.find("\ndds_recorder_samples_dropped_total 1\n"), std::string::npos);
  EXPECT_NE(response->body.find("# TYPE dds_transport_packets_received_total counter\n"),
            std::string::npos);
  session.recorded_ = 2;
  response = client.Get("/metrics");
  EXPECT_NE(response->body.find("\ndds_recorder_samples_recorded_total 2\n"), std::string::npos);
  EXPECT_EQ(client.Get("/")->status, 404);

  // The port is taken now.
  EXPECT_FALSE(MetricsServer::start({.host = "127.0.0.1", .port = (*server)->port()}, {}));
}

// A server stopped right after its start must not keep its thread listening.
TEST(MetricsServer, StopsRightAfterItsStart) {
  for (int i = 0; i < 20; ++i) {
    auto server = MetricsServer::start({.host = "127.0.0.1", .port = 0}, {});
    ASSERT_TRUE(server) << server.error();
  }
}

}  // namespace
}  // namespace nimbrel::bridge
