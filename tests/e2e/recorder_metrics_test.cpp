// The running recorder serves its metrics at /metrics when NIMBREL_METRICS_ADDR is set: the
// Prometheus tool `promtool` accepts what it serves, and the counters move while ddsperf
// publishes.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

#include "common/run_tool.hpp"
#include "e2e/peer_process.hpp"
#include "e2e/spdp_watch.hpp"

namespace nimbrel::testing {
namespace {

using namespace std::chrono_literals;

constexpr auto generous = 60s;
constexpr int metrics_port = 9464;  // the namespace is fresh: nothing else listens there

struct Scrape {
  int status = 0;
  std::string content_type;
  std::string body;
};

Scrape scrape() {
  httplib::Client client("127.0.0.1", metrics_port);
  client.set_connection_timeout(5, 0);
  client.set_read_timeout(5, 0);
  const auto response = client.Get("/metrics");
  if (!response) return {};
  return {response->status, response->get_header_value("Content-Type"), response->body};
}

// The value of the series `line_start` (name and labels), or -1 when absent.
double value_of(const std::string& body, const std::string& line_start) {
  const auto at = body.find("\n" + line_start + " ");
  if (at == std::string::npos) return -1;
  return std::strtod(body.c_str() + at + line_start.size() + 2, nullptr);
}

// promtool's verdict on `body`: empty when it accepts it, else what it said.
std::string promtool_problems(const std::string& body, const std::filesystem::path& dir) {
  const auto file = dir / "metrics.txt";
  std::ofstream(file) << body;
  const auto run = nimbrel::testing::run_tool(
      "promtool check metrics < " + nimbrel::testing::shell_quoted(file.string()) + " 2>&1");
  if (run.ok) return {};
  return run.output.empty() ? "promtool failed (Debian package prometheus)" : run.output;
}

TEST(RecorderMetrics, PromtoolAcceptsTheMetricsAndCountersMoveWhileDdsperfPublishes) {
  std::string pattern = (std::filesystem::temp_directory_path() / "metrics-e2e-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const std::filesystem::path dir = pattern;

  SpdpWatch watch;
  auto publisher = PeerProcess::spawn({"ddsperf", "-D", "180", "pub", "1000Hz", "size", "100"});
  ASSERT_TRUE(publisher) << "cannot start ddsperf (Debian package cyclonedds-tools)";
  ASSERT_TRUE(watch.wait_for(1, generous)) << "ddsperf did not announce itself";

  ::setenv("NIMBREL_METRICS_ADDR", ("127.0.0.1:" + std::to_string(metrics_port)).c_str(), 1);
  auto bridge = PeerProcess::spawn({NIMBREL_BRIDGE_BINARY, "--out", (dir / "m.nbrlrec").string(),
                                    "--topic", "DDSPerfRDataKS:KeyedSeq", "--duration", "60s"});
  ::unsetenv("NIMBREL_METRICS_ADDR");
  ASSERT_TRUE(bridge);
  ASSERT_TRUE(bridge->wait_for_output("recording... (Ctrl-C zum stoppen)\n", generous))
      << bridge->output();
  EXPECT_NE(bridge->output().find("metrics: http://127.0.0.1:9464/metrics\n"), std::string::npos);

  const Scrape first = scrape();
  ASSERT_EQ(first.status, 200) << bridge->output();
  EXPECT_EQ(first.content_type, "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_EQ(promtool_problems(first.body, dir), "") << first.body;
  const std::string recorded = "dds_recorder_samples_recorded_total";
  const std::string received = "dds_transport_packets_received_total{transport=\"udp\"}";
  ASSERT_GE(value_of(first.body, recorded), 0) << first.body;
  ASSERT_GE(value_of(first.body, received), 0) << first.body;

  // Wait until both counters have grown by a second's worth of 1000 Hz samples.
  Scrape later;
  const auto deadline = std::chrono::steady_clock::now() + generous;
  do {
    std::this_thread::sleep_for(200ms);
    later = scrape();
  } while (std::chrono::steady_clock::now() < deadline &&
           (value_of(later.body, recorded) < value_of(first.body, recorded) + 1000 ||
            value_of(later.body, received) < value_of(first.body, received) + 1000));
  EXPECT_GE(value_of(later.body, recorded), value_of(first.body, recorded) + 1000) << later.body;
  EXPECT_GE(value_of(later.body, received), value_of(first.body, received) + 1000) << later.body;
  EXPECT_EQ(promtool_problems(later.body, dir), "") << later.body;
  std::printf("samples recorded %.0f -> %.0f, packets received %.0f -> %.0f\n",
              value_of(first.body, recorded), value_of(later.body, recorded),
              value_of(first.body, received), value_of(later.body, received));

  bridge->signal(SIGINT);
  EXPECT_EQ(bridge->wait_exit(generous), std::optional<int>(0)) << bridge->output();
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

}  // namespace
}  // namespace nimbrel::testing
