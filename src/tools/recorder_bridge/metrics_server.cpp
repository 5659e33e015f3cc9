#include "tools/recorder_bridge/metrics_server.hpp"

#include <httplib.h>
#include <pthread.h>
#include <sys/socket.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <mutex>

#include "monitor/prometheus_text.hpp"

namespace nimbrel::bridge {
namespace {

// Scrapes are rare and small: two workers are plenty, and bounded I/O times keep a client that
// stops reading from holding one for long.
constexpr std::size_t worker_threads = 2;
constexpr time_t io_timeout_s = 5;
constexpr auto startup_limit = std::chrono::seconds(10);

}  // namespace

std::expected<ListenAddress, std::string> parse_listen_address(std::string_view text) {
  const auto bad = [&] { return std::unexpected("not HOST:PORT: \"" + std::string(text) + "\""); };
  const auto colon = text.rfind(':');
  if (colon == std::string_view::npos) return bad();
  std::string_view host = text.substr(0, colon);
  const std::string_view port_text = text.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string_view::npos) {
    return bad();  // an IPv6 address needs its brackets
  }
  std::uint16_t port = 0;
  const auto [end, ec] =
      std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
  if (port_text.empty() || ec != std::errc{} || end != port_text.data() + port_text.size())
    return bad();
  return ListenAddress{.host = host.empty() ? "0.0.0.0" : std::string(host), .port = port};
}

MetricsServer::MetricsServer() : server_(std::make_unique<httplib::Server>()) {}

std::expected<std::unique_ptr<MetricsServer>, std::string> MetricsServer::start(
    const ListenAddress& address, std::function<void()> before_scrape) {
  std::unique_ptr<MetricsServer> self(new MetricsServer());
  httplib::Server& server = *self->server_;
  server.new_task_queue = [] { return new httplib::ThreadPool(worker_threads); };
  server.set_read_timeout(io_timeout_s, 0);
  server.set_write_timeout(io_timeout_s, 0);
  // The library's default adds SO_REUSEPORT, which lets a second recorder bind the same address
  // and take half the scrapes unseen; a taken port must fail instead.
  server.set_socket_options([](int sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  auto scrape_mutex = std::make_shared<std::mutex>();  // `before_scrape` runs one at a time
  server.Get("/metrics", [before_scrape = std::move(before_scrape), scrape_mutex](
                             const httplib::Request&, httplib::Response& response) {
    {
      std::lock_guard lock(*scrape_mutex);
      if (before_scrape) before_scrape();
    }
    response.set_content(monitor::to_prometheus_text(monitor::default_registry()),
                         monitor::prometheus_content_type);
  });

  if (address.port == 0) {
    const int port = server.bind_to_any_port(address.host);
    if (port <= 0) return std::unexpected("cannot listen on " + address.host + ":0");
    self->port_ = static_cast<std::uint16_t>(port);
  } else {
    if (!server.bind_to_port(address.host, address.port))
      return std::unexpected("cannot listen on " + address.host + ":" +
                             std::to_string(address.port));
    self->port_ = address.port;
  }
  auto ended = std::make_shared<std::atomic<bool>>(false);
  self->thread_ = std::thread([&server, ended] {
    ::pthread_setname_np(::pthread_self(), "nbrl-metrics");
    server.listen_after_bind();
    ended->store(true);
  });
  // stop() only ends a server that already runs: wait for that, so that a recorder stopping at
  // once cannot leave the thread listening forever.
  const auto deadline = std::chrono::steady_clock::now() + startup_limit;
  while (!server.is_running() && !ended->load() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (!server.is_running()) return std::unexpected(std::string("the server did not start"));
  return self;
}

MetricsServer::~MetricsServer() {
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

}  // namespace nimbrel::bridge
