// The sending half of reliable RTPS (DDSI-RTPS 2.5 section 8.4.7, stateful writer): numbers and
// stores each sample, pushes it to the readers that are in step, and on `tick` repairs what
// readers asked for, announces its history with HEARTBEATs and fills holes with GAPs. It returns
// datagrams and owns no clock or socket; the owner serialises every call under its mutex.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "foundation/shared_bytes.hpp"
#include "foundation/time.hpp"
#include "rtps/history_cache.hpp"
#include "rtps/reader_proxy.hpp"
#include "rtps/submessages.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::rtps {

struct ReliableWriterConfig {
  Guid writer_guid{};
  VendorId vendor_id = nimbrel_vendor_id;
  std::vector<ReaderProxy> reader_proxies{};
  HistoryPolicy history = HistoryPolicy::keep_last(256);
  std::size_t max_samples = 256;
  Duration heartbeat_period = std::chrono::milliseconds(100);
  // A reader that leaves this many heartbeats unanswered is heartbeated ever more rarely, the
  // period doubling up to the ceiling: a vanished peer costs little until it is forgotten.
  std::uint32_t heartbeats_before_backoff = 4;
  Duration max_heartbeat_period = std::chrono::seconds(5);
  // Readers heartbeated in one tick at most; the others take their turn on the next ticks.
  std::size_t max_heartbeats_per_tick = 256;
  std::uint32_t mtu = 1472;
  std::uint32_t fragment_size = 1344;
};

using Destinations = std::shared_ptr<const std::vector<Locator>>;
using Datagrams = std::vector<OutboundDatagram>;

// Running totals of one writer; the runtime adds them up into its metrics.
struct WriterCounters {
  std::uint64_t heartbeats_sent = 0;
  std::uint64_t acknacks_received = 0;
  std::uint64_t retransmits = 0;
  std::uint64_t fragmented_samples = 0;  // fragments sent as repairs
  std::uint64_t unknown_readers = 0;     // ACKNACK or NACK_FRAG from no matched reader
};

class ReliableWriter {
 public:
  // A fragment size of 0 or an MTU below the RTPS header is fatal.
  explicit ReliableWriter(ReliableWriterConfig config);

  // Replaces the proxy with the same reader GUID, or appends; the next tick heartbeats.
  void add_reader_proxy(ReaderProxy proxy);
  bool remove_reader_proxy(const Guid& reader_guid);
  // Drops the proxies of readers that are gone; gives how many.
  std::size_t remove_reader_proxies_if(const std::function<bool(const Guid&)>& gone);

  // Stores the sample (one copy of `payload`) and gives the datagrams for the in-step readers.
  // On failure after storing, the change stays and is served by repair.
  CodecResult<Datagrams> write(std::span<const std::byte> payload);
  // The last words of a writer about to go: `data` (numbered here, after everything written) is
  // sent once to every matched reader and not kept for repair.
  CodecResult<Datagrams> write_last(DataSubmessage data);
  CodecResult<Datagrams> tick(Elapsed now);

  void handle_acknack(const Guid& reader_guid, SequenceNumber base,
                      std::span<const SequenceNumber> requested);
  // The reader's GUID is `reader_prefix` with the submessage's readerId; the set's members are
  // the requested numbers.
  void handle_acknack(const AckNackSubmessage& acknack, const GuidPrefix& reader_prefix);
  void handle_nackfrag(const Guid& reader_guid, const NackFragSubmessage& nackfrag);
  void handle_nackfrag(const NackFragSubmessage& nackfrag, const GuidPrefix& reader_prefix);

  // Lets changes leave the history before the policy would evict them (lifespan, keep-all
  // acknowledged); gives how many went.
  std::size_t remove_up_to(SequenceNumber sn);
  // The highest number every matched reader has acknowledged; with no reader, the last written.
  SequenceNumber acknowledged_by_all() const;

  // Multicast locators when the proxy has any, else its unicast ones; empty for no such proxy.
  Destinations targets_for(std::size_t proxy_index) const;

  // One datagram with a DATA, or one per fragment with a DATA_FRAG when the payload is larger
  // than the fragment size.
  CodecResult<Datagrams> build_sample_datagrams(SequenceNumber sn, const SharedBytes& payload,
                                                const EntityId& reader_id,
                                                const Destinations& destinations) const;
  // One DATA_FRAG carrying fragment `fragment` of the sample.
  CodecResult<OutboundDatagram> build_data_frag_submessage_datagram(
      SequenceNumber sn, const SharedBytes& payload, FragmentNumber fragment,
      const EntityId& reader_id, const Destinations& destinations) const;
  // One GAP declaring exactly `sn` irrelevant.
  CodecResult<OutboundDatagram> build_gap_datagram(SequenceNumber sn, const EntityId& reader_id,
                                                   const Destinations& destinations) const;

  const Guid& guid() const { return guid_; }
  const HistoryCache& history() const { return history_; }
  std::span<const ReaderProxy> reader_proxies() const { return proxies_; }
  const ReaderProxy* find_reader_proxy(const Guid& reader_guid) const;
  SequenceNumber last_sequence_number() const { return last_sn_; }
  std::uint32_t heartbeat_count() const { return heartbeat_count_; }
  std::uint32_t nackfrag_count() const { return nackfrag_count_; }
  const WriterCounters& counters() const { return counters_; }

 private:
  // `second_byte` replaces byte 1 of the payload on the wire (the encapsulation rewrite).
  CodecResult<Datagrams> frame_sample(SequenceNumber sn, const SharedBytes& payload,
                                      const EntityId& reader_id, const Destinations& destinations,
                                      std::optional<std::byte> second_byte) const;
  CodecResult<OutboundDatagram> frame_data_frag(SequenceNumber sn, const SharedBytes& payload,
                                                FragmentNumber fragment, const EntityId& reader_id,
                                                const Destinations& destinations,
                                                std::optional<std::byte> second_byte) const;
  bool has_fragment(std::size_t sample_size, FragmentNumber fragment) const;
  CodecResult<void> tick_proxy(ReaderProxy& proxy, const Destinations& destinations,
                               bool heartbeat_due, Datagrams& out);
  bool heartbeat_due(const ReaderProxy& proxy, Elapsed now) const;
  ReaderProxy* find_proxy(const Guid& reader_guid);

  Guid guid_;
  VendorId vendor_id_;
  std::vector<ReaderProxy> proxies_;
  HistoryCache history_;
  Duration heartbeat_period_;
  std::uint32_t heartbeats_before_backoff_;
  Duration max_heartbeat_period_;
  std::size_t max_heartbeats_per_tick_;
  std::size_t first_proxy_ = 0;  // where the next tick starts, so that a bounded tick is fair
  SequenceNumber last_sn_ = 0;
  std::uint32_t mtu_;
  std::uint32_t fragment_size_;
  std::uint32_t heartbeat_count_ = 0;
  std::uint32_t nackfrag_count_ = 0;
  WriterCounters counters_{};
};

}  // namespace nimbrel::rtps
