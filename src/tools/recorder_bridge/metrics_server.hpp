// Serves the metrics registry at /metrics over HTTP/1.1 from its own threads, for Prometheus to
// scrape while the recorder runs. A scrape reads only atomics and the registry's short-held map
// locks, never the recording session's lock, so a slow or stuck scraper cannot hold up recording.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace httplib {
class Server;
}

namespace nimbrel::bridge {

// The environment variable that turns the server on, e.g. "127.0.0.1:9464".
inline constexpr const char* metrics_address_variable = "NIMBREL_METRICS_ADDR";

struct ListenAddress {
  std::string host;  // "0.0.0.0" when the text gives only ":PORT"
  std::uint16_t port = 0;
};
// "HOST:PORT", "[IPV6]:PORT" or ":PORT"; port 0 picks a free port.
std::expected<ListenAddress, std::string> parse_listen_address(std::string_view text);

class MetricsServer {
 public:
  // Listens before it returns, so a bad address or a port in use is reported at once.
  // `before_scrape` runs on the server's threads ahead of each rendering.
  static std::expected<std::unique_ptr<MetricsServer>, std::string> start(
      const ListenAddress& address, std::function<void()> before_scrape);

  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;
  ~MetricsServer();  // stops serving and joins the threads

  std::uint16_t port() const { return port_; }

 private:
  MetricsServer();

  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  std::uint16_t port_ = 0;
};

}  // namespace nimbrel::bridge
