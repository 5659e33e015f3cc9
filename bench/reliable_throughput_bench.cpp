// Samples per second from a ReliableWriter to a ReliableReader in memory: the writer's write and
// ticks, decoding of every datagram, the reader's handlers and its ACKNACKs back to the writer,
// for 100-byte and 64 KiB (fragmented) samples. Every sample must arrive once and in order, or the
// run fails. Baselines from the same run: copying the payload once, and the writer alone. With
// `--long-run`, pushes millions of small samples through a slightly lossy link and prints the
// reader's state sizes and the process's resident memory as it goes.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "foundation/shared_bytes.hpp"
#include "foundation/time.hpp"
#include "rtps/datagram.hpp"
#include "rtps/reliable_reader.hpp"
#include "rtps/reliable_writer.hpp"

namespace {

using nimbrel::Elapsed;
using nimbrel::SharedBytes;
namespace rtps = nimbrel::rtps;

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  std::exit(1);
}

const rtps::Guid writer_guid{{0x01, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0A},
                             rtps::make_entity_id(0, 0, 0x0B, rtps::EntityKind::UserWriterWithKey)};
const rtps::Guid reader_guid{{0xCC, 0xCC, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01},
                             rtps::make_entity_id(0, 0, 0x0B, rtps::EntityKind::UserReaderWithKey)};
const rtps::Locator placeholder = rtps::Locator::udp_v4({127, 0, 0, 1}, 7400);

struct LinkConfig {
  rtps::HistoryPolicy history = rtps::HistoryPolicy::keep_last(256);
  std::size_t writer_max_samples = 256;
  nimbrel::Duration heartbeat_period = std::chrono::milliseconds(10);
  // Datagrams lost per 1,000 in each direction, chosen by a seeded generator.
  std::uint64_t loss_per_mille = 0;
};

// The writer and the reader joined directly: every datagram is decoded and handed over at once.
class Link {
 public:
  explicit Link(const LinkConfig& config)
      : config_(config),
        writer_(rtps::ReliableWriterConfig{
            .writer_guid = writer_guid,
            .reader_proxies = {rtps::ReaderProxy{.remote_reader_guid = reader_guid,
                                                 .unicast_locators = {placeholder}}},
            .history = config.history,
            .max_samples = config.writer_max_samples,
            .heartbeat_period = config.heartbeat_period}),
        reader_(rtps::ReliableReaderConfig{
            .writer_proxies = {rtps::WriterProxy{.unicast_locators = {placeholder},
                                                 .remote_writer_guid = writer_guid}},
            .reader_guid = reader_guid}) {}

  void write(std::span<const std::byte> payload) {
    auto out = writer_.write(payload);
    if (!out) fail("write: " + to_string(out.error()));
    to_reader(std::move(*out));
  }

  // One millisecond passes; both sides tick.
  void tick() {
    now_ = now_ + std::chrono::milliseconds(1);
    auto out = writer_.tick(now_);
    if (!out) fail("writer tick: " + to_string(out.error()));
    to_reader(std::move(*out));
    auto replies = reader_.tick_outbound(now_);
    if (!replies) fail("reader tick: " + to_string(replies.error()));
    for (auto& datagram : *replies) {
      if (lost()) continue;
      auto parsed = rtps::decode_bytes<rtps::ParsedDatagram>(
          SharedBytes::adopt(std::move(datagram.bytes)), true);
      if (!parsed) fail("undecodable reply");
      for (const auto& sub : parsed->submessages) {
        if (const auto* a = std::get_if<rtps::AckNackSubmessage>(&sub)) {
          writer_.handle_acknack(*a, parsed->guid_prefix);
        } else if (const auto* n = std::get_if<rtps::NackFragSubmessage>(&sub)) {
          writer_.handle_nackfrag(*n, parsed->guid_prefix);
        }
      }
    }
  }

  const rtps::ReliableWriter& writer() const { return writer_; }
  const rtps::ReliableReader& reader() const { return reader_; }
  std::uint64_t delivered() const { return delivered_; }
  std::uint64_t delivered_bytes() const { return delivered_bytes_; }
  std::uint64_t datagrams() const { return to_reader_count_; }

 private:
  // SplitMix64, so that a run loses the same datagrams on every machine.
  bool lost() {
    if (config_.loss_per_mille == 0) return false;
    std::uint64_t z = (prng_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return (z ^ (z >> 31)) % 1000 < config_.loss_per_mille;
  }

  void take(const rtps::Released& released) {
    for (const auto& sample : released.samples) {
      if (sample.sequence_number != static_cast<rtps::SequenceNumber>(delivered_ + 1)) {
        fail("sample " + std::to_string(sample.sequence_number) + " delivered after " +
             std::to_string(delivered_));
      }
      ++delivered_;
      delivered_bytes_ += sample.payload.size();
    }
  }

  void to_reader(rtps::Datagrams&& datagrams) {
    for (auto& datagram : datagrams) {
      ++to_reader_count_;
      if (lost()) continue;
      auto parsed = rtps::decode_bytes<rtps::ParsedDatagram>(
          SharedBytes::adopt(std::move(datagram.bytes)), true);
      if (!parsed) fail("undecodable datagram");
      const rtps::GuidPrefix& source = parsed->guid_prefix;
      for (const auto& sub : parsed->submessages) {
        if (const auto* d = std::get_if<rtps::DataSubmessage>(&sub)) {
          take(reader_.handle_data(source, *d));
        } else if (const auto* f = std::get_if<rtps::DataFragSubmessage>(&sub)) {
          take(reader_.handle_data_frag(source, *f, now_));
        } else if (const auto* h = std::get_if<rtps::HeartbeatSubmessage>(&sub)) {
          take(reader_.handle_heartbeat(source, *h, now_));
        } else if (const auto* g = std::get_if<rtps::GapSubmessage>(&sub)) {
          take(reader_.handle_gap(source, *g));
        }
      }
    }
  }

  LinkConfig config_;
  rtps::ReliableWriter writer_;
  rtps::ReliableReader reader_;
  Elapsed now_{};
  std::uint64_t delivered_ = 0;
  std::uint64_t delivered_bytes_ = 0;
  std::uint64_t to_reader_count_ = 0;
  std::uint64_t prng_ = 1;
};

std::vector<std::byte> payload_of(std::size_t size) {
  std::vector<std::byte> out(size);
  for (std::size_t i = 0; i < size; ++i)
    out[i] = static_cast<std::byte>(i * 131 % 251);
  out[0] = std::byte{0};
  out[1] = std::byte{1};
  return out;
}

// ---------------------------------------------------------------------------------------------
// Throughput

volatile std::size_t sink = 0;  // keeps baseline results observable

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::ranges::sort(v);
  return v[v.size() / 2];
}

struct Rates {
  double full = 0;         // samples per second, writer to reader with acknowledgements
  double writer_only = 0;  // the writer with its datagrams thrown away
  double copy_only = 0;    // one copy of the payload
  std::uint64_t datagrams_per_round = 0;
  std::size_t writer_history = 0;
  rtps::SequenceNumber highest_acked = 0;
};

// `per_ms` samples are written per simulated millisecond, so heartbeats and ACKNACKs flow at a
// fixed rate per sample.
Rates measure(std::size_t size, std::size_t samples, std::size_t per_ms, std::size_t rounds) {
  const std::vector<std::byte> payload = payload_of(size);
  Rates rates;
  std::vector<double> full;
  std::vector<double> writer_only;
  std::vector<double> copy_only;
  for (std::size_t round = 0; round < rounds; ++round) {
    {
      Link link({});
      const auto start = std::chrono::steady_clock::now();
      for (std::size_t i = 0; i < samples; ++i) {
        link.write(payload);
        if ((i + 1) % per_ms == 0) link.tick();
      }
      link.tick();
      full.push_back(static_cast<double>(samples) / seconds_since(start));
      if (link.delivered() != samples || link.delivered_bytes() != samples * size) {
        fail("lost samples: " + std::to_string(link.delivered()) + " of " +
             std::to_string(samples));
      }
      rates.datagrams_per_round = link.datagrams();
      rates.writer_history = link.writer().history().size();
      rates.highest_acked = link.writer().reader_proxies()[0].highest_acked;
    }
    {
      rtps::ReliableWriter writer(rtps::ReliableWriterConfig{
          .writer_guid = writer_guid,
          .reader_proxies = {rtps::ReaderProxy{.remote_reader_guid = reader_guid,
                                               .unicast_locators = {placeholder}}},
          .heartbeat_period = std::chrono::milliseconds(10)});
      Elapsed now{};
      const auto start = std::chrono::steady_clock::now();
      for (std::size_t i = 0; i < samples; ++i) {
        auto out = writer.write(payload);
        if (!out) fail("write: " + to_string(out.error()));
        sink = sink + out->size();
        if ((i + 1) % per_ms == 0) {
          now = now + std::chrono::milliseconds(1);
          sink = sink + writer.tick(now)->size();
        }
      }
      writer_only.push_back(static_cast<double>(samples) / seconds_since(start));
    }
    {
      const auto start = std::chrono::steady_clock::now();
      for (std::size_t i = 0; i < samples; ++i)
        sink = sink + SharedBytes::copy_of(payload).size();
      copy_only.push_back(static_cast<double>(samples) / seconds_since(start));
    }
  }
  rates.full = median(full);
  rates.writer_only = median(writer_only);
  rates.copy_only = median(copy_only);
  return rates;
}

void report(const char* label, std::size_t size, std::size_t samples, const Rates& r) {
  const double mib = static_cast<double>(size) / (1024.0 * 1024.0);
  std::printf("%-10s %8zu samples: %11.0f samples/s (%7.1f MiB/s), %llu datagrams per round\n",
              label, samples, r.full, r.full * mib,
              static_cast<unsigned long long>(r.datagrams_per_round));
  std::printf("%-10s   writer alone %11.0f samples/s, payload copy %11.0f samples/s\n", "",
              r.writer_only, r.copy_only);
  std::printf("%-10s   ratios: writer alone / full = %.2f, copy / full = %.1f\n", "",
              r.writer_only / r.full, r.copy_only / r.full);
  std::printf("%-10s   at the end: writer history %zu, reader acknowledged up to %lld\n", "",
              r.writer_history, static_cast<long long>(r.highest_acked));
}

// ---------------------------------------------------------------------------------------------
// Long run

double resident_mib() {
  std::ifstream statm("/proc/self/statm");
  std::size_t total_pages = 0;
  std::size_t resident_pages = 0;
  statm >> total_pages >> resident_pages;
  return static_cast<double>(resident_pages) * static_cast<double>(sysconf(_SC_PAGESIZE)) /
         (1024.0 * 1024.0);
}

void long_run(std::size_t samples) {
  // Every 100th sample is fragmented and 1 % of the datagrams each way are lost, so holes,
  // repairs and NACK_FRAGs happen all along. The writer keeps enough history to repair every hole,
  // so every sample must arrive.
  LinkConfig config{.history = rtps::HistoryPolicy::keep_last(1024),
                    .writer_max_samples = 1024,
                    .loss_per_mille = 10};
  Link link(config);
  const std::vector<std::byte> small = payload_of(100);
  const std::vector<std::byte> fragmented = payload_of(2'000);
  constexpr std::size_t per_ms = 8;
  const std::size_t report_every = samples / 10;
  std::size_t most_cached = 0;
  std::size_t most_ranges = 0;
  std::size_t most_pending = 0;
  std::printf("%10s %10s %8s %7s %7s %7s %8s %9s\n", "written", "delivered", "RSS MiB", "cache",
              "ranges", "pending", "w.hist", "time s");
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 1; i <= samples; ++i) {
    link.write(i % 100 == 0 ? fragmented : small);
    if (i % per_ms == 0) link.tick();
    const rtps::WriterProxyState& state = link.reader().writer_proxy_states()[0];
    most_cached = std::max(most_cached, state.cache.size());
    most_ranges = std::max(
        {most_ranges, state.proxy.received.range_count(), state.proxy.irrelevant.range_count()});
    most_pending = std::max(most_pending, state.assembler.pending().size());
    if (i % report_every == 0 || i == 1'000) {
      std::printf(
          "%10zu %10llu %8.1f %7zu %7zu %7zu %8zu %9.1f\n", i,
          static_cast<unsigned long long>(link.delivered()), resident_mib(), state.cache.size(),
          state.proxy.received.range_count() + state.proxy.irrelevant.range_count(),
          state.assembler.pending().size(), link.writer().history().size(), seconds_since(start));
    }
  }
  for (int i = 0; i < 1'000 && link.delivered() < samples; ++i)
    link.tick();
  if (link.delivered() != samples) {
    fail("lost samples: " + std::to_string(link.delivered()) + " of " + std::to_string(samples));
  }
  std::printf("all %zu delivered in order; largest seen: cache %zu, ranges %zu, pending %zu\n",
              samples, most_cached, most_ranges, most_pending);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string_view(argv[1]) == "--long-run") {
    long_run(argc > 2 ? std::stoul(argv[2]) : 3'000'000);
    return 0;
  }
  const std::size_t rounds = argc > 1 ? std::stoul(argv[1]) : 5;
  std::printf("writer keep-last 256, heartbeat every 10 ms; median of %zu rounds\n", rounds);
  report("100 B", 100, 1'000'000, measure(100, 1'000'000, /*per_ms=*/16, rounds));
  report("64 KiB", 65'536, 20'000, measure(65'536, 20'000, /*per_ms=*/1, rounds));
  return 0;
}
