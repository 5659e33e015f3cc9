// Measures `ParsedDatagram::decode` and the receiver built on it on a typical user-data datagram:
// 1,400 bytes, ten DATA submessages with ~100-byte CDR payloads, as a publishing peer sends them.
// Prints nanoseconds and heap allocations per datagram, next to two baselines from the same run
// (copying the datagram into SharedBytes, and a bare walk over the submessage headers) so that
// ratios can be compared.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "foundation/shared_bytes.hpp"
#include "rtps/datagram.hpp"
#include "rtps/receiver.hpp"
#include "rtps/submessages.hpp"
#include "rtps/wire_types.hpp"

// ---------------------------------------------------------------------------------------------
// Every heap allocation of the process goes through these, so the library's are counted too.

namespace {
std::atomic<std::uint64_t> allocations{0};
std::atomic<std::uint64_t> allocated_bytes{0};

void* counted_alloc(std::size_t size, std::size_t alignment) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  allocated_bytes.fetch_add(size, std::memory_order_relaxed);
  if (size == 0) size = 1;
  if (alignment <= alignof(std::max_align_t)) return std::malloc(size);
  // aligned_alloc wants a size that is a multiple of the alignment.
  return std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
}
void* counted_alloc_or_throw(std::size_t size, std::size_t alignment) {
  if (void* p = counted_alloc(size, alignment)) return p;
  throw std::bad_alloc();
}
constexpr std::size_t default_alignment = alignof(std::max_align_t);
}  // namespace

void* operator new(std::size_t n) {
  return counted_alloc_or_throw(n, default_alignment);
}
void* operator new[](std::size_t n) {
  return counted_alloc_or_throw(n, default_alignment);
}
void* operator new(std::size_t n, std::align_val_t a) {
  return counted_alloc_or_throw(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a) {
  return counted_alloc_or_throw(n, static_cast<std::size_t>(a));
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  return counted_alloc(n, default_alignment);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  return counted_alloc(n, default_alignment);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}

namespace {

using nimbrel::SharedBytes;
namespace rtps = nimbrel::rtps;

// ---------------------------------------------------------------------------------------------
// The datagram

constexpr std::size_t data_submessages = 10;

// A KeyedSeq sample as a Cyclone DDS publisher writes it: CDR_LE encapsulation, seq, keyval,
// then an octet sequence of 0xee filler. Octet counts of 96 and 100 give payloads of 112 and 116
// bytes, so ten alternating DATA fill exactly 1,400 bytes with every submessage 4-byte aligned.
std::vector<std::byte> keyed_seq_sample(std::uint32_t seq, std::uint32_t octets) {
  std::vector<std::byte> out{std::byte{0x00}, std::byte{0x01}, std::byte{0x00}, std::byte{0x00}};
  for (std::uint32_t word : {seq, std::uint32_t{0}, octets})
    for (int shift = 0; shift < 32; shift += 8)
      out.push_back(static_cast<std::byte>((word >> shift) & 0xFF));
  out.insert(out.end(), octets, std::byte{0xEE});
  return out;
}

std::vector<std::byte> typical_datagram() {
  std::vector<rtps::DataSubmessage> data(data_submessages);
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i].reader_id = rtps::entity_ids::unknown;
    data[i].writer_id = rtps::make_entity_id(0, 0, 0x0B, rtps::EntityKind::UserWriterWithKey);
    data[i].writer_sn = static_cast<rtps::SequenceNumber>(i + 1);
    data[i].serialized_payload = SharedBytes::adopt(
        keyed_seq_sample(static_cast<std::uint32_t>(i + 1), i % 2 == 0 ? 96 : 100));
  }
  const rtps::GuidPrefix prefix{0x01, 0x10, 0x5C, 0x2A, 0x00, 0x00, 0x00, 0x01, 0, 0, 0, 1};
  auto bytes = rtps::build_data_datagram(prefix, rtps::ProtocolVersion{2, 1},
                                         rtps::VendorId{0x01, 0x10}, data);
  if (!bytes) {
    std::fprintf(stderr, "encode failed: %s\n", to_string(bytes.error()).c_str());
    std::exit(1);
  }
  return std::move(*bytes);
}

// Refuses to measure anything but a complete, successful decode.
void check_decode(const SharedBytes& datagram) {
  auto parsed = rtps::decode_bytes<rtps::ParsedDatagram>(datagram, true);
  bool ok = parsed && parsed->submessages.size() == data_submessages;
  for (std::size_t i = 0; ok && i < data_submessages; ++i) {
    const auto* data = std::get_if<rtps::DataSubmessage>(&parsed->submessages[i]);
    ok = data != nullptr && data->writer_sn == static_cast<rtps::SequenceNumber>(i + 1) &&
         data->serialized_payload.size() == (i % 2 == 0 ? 112u : 116u) &&
         data->serialized_payload.shares_storage_with(datagram);
  }
  if (!ok) {
    std::fprintf(stderr, "ParsedDatagram::decode did not give the ten DATA submessages\n");
    std::exit(1);
  }
}

// ---------------------------------------------------------------------------------------------
// Measurement

volatile std::size_t sink = 0;  // keeps results observable so no loop is optimised away

struct Figures {
  double ns_per_op = 0;  // median over the rounds
  double ns_min = 0;     // fastest round, the least disturbed on a shared machine
  double allocations_per_op = 0;
  double bytes_per_op = 0;
};

template <typename Op>
Figures measure(std::size_t rounds, std::size_t iterations, Op op) {
  for (std::size_t i = 0; i < iterations / 10; ++i)  // warm-up
    sink = sink + op();
  std::vector<double> ns(rounds);
  const std::uint64_t allocations_before = allocations.load();
  const std::uint64_t bytes_before = allocated_bytes.load();
  for (auto& round : ns) {
    const auto start = std::chrono::steady_clock::now();
    std::size_t local = 0;
    for (std::size_t i = 0; i < iterations; ++i)
      local += op();
    const auto stop = std::chrono::steady_clock::now();
    sink = sink + local;
    round = std::chrono::duration<double, std::nano>(stop - start).count() /
            static_cast<double>(iterations);
  }
  std::ranges::sort(ns);
  const double ops = static_cast<double>(rounds * iterations);
  return {ns[ns.size() / 2], ns.front(),
          static_cast<double>(allocations.load() - allocations_before) / ops,
          static_cast<double>(allocated_bytes.load() - bytes_before) / ops};
}

void print(const char* label, const Figures& f) {
  std::printf("%-24s %9.1f ns %9.1f ns %8.2f %10.1f\n", label, f.ns_per_op, f.ns_min,
              f.allocations_per_op, f.bytes_per_op);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t iterations = argc > 1 ? std::stoul(argv[1]) : 200'000;
  const std::size_t rounds = argc > 2 ? std::stoul(argv[2]) : 9;

  const std::vector<std::byte> raw = typical_datagram();
  const SharedBytes datagram = SharedBytes::copy_of(raw);
  check_decode(datagram);

  std::printf("datagram: %zu bytes, %zu DATA submessages; %zu rounds x %zu iterations\n",
              raw.size(), data_submessages, rounds, iterations);
  std::printf("sizeof(ParsedSubmessage) = %zu bytes\n", sizeof(rtps::ParsedSubmessage));
  std::printf("%-24s %12s %12s %8s %10s\n", "per datagram", "median", "min", "allocs",
              "heap bytes");

  const Figures decode = measure(rounds, iterations, [&] {
    auto parsed = rtps::decode_bytes<rtps::ParsedDatagram>(datagram, true);
    return parsed ? parsed->submessages.size() : 0;
  });
  // What a receive thread does: the decode plus receiver state, validity and routing.
  rtps::Receiver receiver(rtps::GuidPrefix{});
  const Figures receive =
      measure(rounds, iterations, [&] { return receiver.receive(datagram).submessages.size(); });
  // The copy the receive path makes anyway: one buffer per received datagram.
  const Figures copy =
      measure(rounds, iterations, [&] { return SharedBytes::copy_of(raw).size(); });
  // The least any decoder does: read each submessage header and follow octetsToNextHeader.
  const Figures walk = measure(rounds, iterations, [&] {
    std::size_t count = 0;
    const std::span<const std::byte> in = datagram.span();
    for (std::size_t offset = rtps::rtps_header_size; offset + 4 <= in.size(); ++count) {
      const auto low = std::to_integer<std::size_t>(in[offset + 2]);
      const auto high = std::to_integer<std::size_t>(in[offset + 3]);
      offset += 4 + (low | high << 8);
    }
    return count;
  });

  print("decode_datagram", decode);
  print("Receiver::receive", receive);
  print("copy into SharedBytes", copy);
  print("submessage header walk", walk);
  std::printf("ratios of medians: decode / copy = %.1f, decode / header walk = %.1f\n",
              decode.ns_per_op / copy.ns_per_op, decode.ns_per_op / walk.ns_per_op);
  return 0;
}
