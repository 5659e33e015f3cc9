// An in-memory network for running ReliableWriters against one ReliableReader: a seeded channel per
// direction that drops, duplicates and delays (hence reorders) datagrams, and `ReliableSim`, which
// advances an explicit clock one millisecond per `step`, routes every decoded submessage to the
// right handler and hands each delivered sample to the case's callback.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "foundation/time.hpp"
#include "rtps/datagram.hpp"
#include "rtps/reader_test_util.hpp"
#include "rtps/reliable_reader.hpp"
#include "rtps/reliable_writer.hpp"

namespace nimbrel::rtps::testing {

// SplitMix64: unlike the std distributions, it gives the same numbers with every standard library.
class Prng {
 public:
  explicit Prng(std::uint64_t seed) : state_(seed) {}

  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::uint64_t below(std::uint64_t n) { return next() % n; }
  bool percent(unsigned p) { return below(100) < p; }

 private:
  std::uint64_t state_;
};

// Bytes from a generator seeded by `seed`, behind a CDR_LE encapsulation header, so that each
// sample is told apart by its contents and not only by its length.
inline std::vector<std::byte> sim_payload(std::uint64_t seed, std::size_t size) {
  Prng prng(seed);
  std::vector<std::byte> out(size);
  for (std::byte& b : out)
    b = static_cast<std::byte>(prng.next());
  constexpr std::byte cdr_le[] = {std::byte{0}, std::byte{1}, std::byte{0}, std::byte{0}};
  std::copy_n(cdr_le, std::min<std::size_t>(size, 4), out.begin());
  return out;
}

struct ChannelConditions {
  unsigned drop_percent = 0;
  unsigned duplicate_percent = 0;
  // Each copy takes 1 + [0, jitter] ms; copies due in the same millisecond come out shuffled.
  std::int64_t jitter_ms = 0;
};

// One direction of the network.
class LossyChannel {
 public:
  LossyChannel(ChannelConditions conditions, std::uint64_t seed)
      : conditions_(conditions), prng_(seed) {}

  void send(std::vector<std::byte> bytes, Elapsed now) {
    if (prng_.percent(conditions_.drop_percent)) return;
    const SharedBytes shared = SharedBytes::adopt(std::move(bytes));
    schedule(shared, now);
    if (prng_.percent(conditions_.duplicate_percent)) schedule(shared, now);
  }

  std::vector<SharedBytes> take_due(Elapsed now) {
    std::vector<SharedBytes> due;
    auto end = in_flight_.upper_bound(Key{now, ~std::uint64_t{0}});
    for (auto it = in_flight_.begin(); it != end; ++it)
      due.push_back(std::move(it->second));
    in_flight_.erase(in_flight_.begin(), end);
    return due;
  }

 private:
  struct Key {
    Elapsed at;
    std::uint64_t shuffle;
    auto operator<=>(const Key&) const = default;
  };

  void schedule(const SharedBytes& bytes, Elapsed now) {
    const auto delay = 1 + static_cast<std::int64_t>(
                               prng_.below(static_cast<std::uint64_t>(conditions_.jitter_ms) + 1));
    in_flight_.emplace(Key{now + std::chrono::milliseconds(delay), prng_.next()}, bytes);
  }

  ChannelConditions conditions_;
  Prng prng_;
  std::map<Key, SharedBytes> in_flight_;
};

// Writers, each on its own participant, matched with one reader as matching would match them: the
// reader knows each writer's GUID, each writer knows the reader's. The locators are placeholders,
// since the channels route by object: writer datagrams go to the reader, replies to the writer
// their INFO_DST names.
class ReliableSim {
 public:
  using OnDelivery = std::function<void(const DeliveredSample&)>;

  ReliableSim(std::span<const Guid> writers, ReliableWriterConfig writer_config,
              ReliableReaderConfig reader_config, ChannelConditions conditions, std::uint64_t seed,
              OnDelivery on_delivery)
      : to_reader_(conditions, seed * 2 + 1),
        to_writers_(conditions, seed * 2 + 2),
        on_delivery_(std::move(on_delivery)),
        reader_([&] {
          for (const Guid& writer : writers) {
            reader_config.writer_proxies.push_back(WriterProxy{
                .unicast_locators = {placeholder_locator}, .remote_writer_guid = writer});
          }
          return ReliableReader(std::move(reader_config));
        }()) {
    for (const Guid& writer : writers) {
      writer_config.writer_guid = writer;
      writer_config.reader_proxies = {ReaderProxy{.remote_reader_guid = reader_.guid(),
                                                  .unicast_locators = {placeholder_locator}}};
      writers_.emplace_back(writer_config);
    }
  }

  ReliableWriter& writer(std::size_t i) { return writers_[i]; }
  const ReliableReader& reader() const { return reader_; }

  void write(std::size_t writer, std::span<const std::byte> payload) {
    auto out = writers_[writer].write(payload);
    ASSERT_TRUE(out.has_value()) << to_string(out.error());
    send(to_reader_, std::move(*out));
  }

  // One millisecond: what is due arrives, then every writer and the reader tick.
  void step() {
    now_ = now_ + std::chrono::milliseconds(1);
    for (const SharedBytes& datagram : to_reader_.take_due(now_))
      deliver_to_reader(datagram);
    for (const SharedBytes& datagram : to_writers_.take_due(now_))
      deliver_to_writer(datagram);
    for (ReliableWriter& writer : writers_) {
      auto out = writer.tick(now_);
      ASSERT_TRUE(out.has_value()) << to_string(out.error());
      send(to_reader_, std::move(*out));
    }
    auto replies = reader_.tick_outbound(now_);
    ASSERT_TRUE(replies.has_value()) << to_string(replies.error());
    send(to_writers_, std::move(*replies));
  }

 private:
  static inline const Locator placeholder_locator = Locator::udp_v4({127, 0, 0, 1}, 7400);

  void send(LossyChannel& channel, std::vector<OutboundDatagram> datagrams) {
    for (OutboundDatagram& datagram : datagrams)
      channel.send(std::move(datagram.bytes), now_);
  }

  void deliver_to_reader(const SharedBytes& datagram) {
    auto parsed = decode_bytes<ParsedDatagram>(datagram, true);
    ASSERT_TRUE(parsed.has_value()) << to_string(parsed.error());
    for (const DeliveredSample& sample : feed(reader_, *parsed, now_))
      on_delivery_(sample);
  }

  void deliver_to_writer(const SharedBytes& datagram) {
    auto parsed = decode_bytes<ParsedDatagram>(datagram, true);
    ASSERT_TRUE(parsed.has_value()) << to_string(parsed.error());
    auto writer = std::ranges::find(writers_, info_dst_of(datagram.span()),
                                    [](const ReliableWriter& w) { return w.guid().prefix; });
    ASSERT_NE(writer, writers_.end()) << "reply to no writer";
    for (const ParsedSubmessage& sub : parsed->submessages) {
      if (const auto* acknack = std::get_if<AckNackSubmessage>(&sub)) {
        writer->handle_acknack(*acknack, parsed->guid_prefix);
      } else if (const auto* nackfrag = std::get_if<NackFragSubmessage>(&sub)) {
        writer->handle_nackfrag(*nackfrag, parsed->guid_prefix);
      }
    }
  }

  LossyChannel to_reader_;
  LossyChannel to_writers_;
  OnDelivery on_delivery_;
  ReliableReader reader_;
  std::vector<ReliableWriter> writers_;
  Elapsed now_{};
};

}  // namespace nimbrel::rtps::testing
