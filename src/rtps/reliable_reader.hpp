// The receiving half of reliable RTPS (the stateful reader of DDSI-RTPS 2.5). Feed it the DATA,
// DATA_FRAG, HEARTBEAT and GAP submessages of matched writers with the sending participant's GUID
// prefix; it hands back the samples now deliverable, in sequence-number order per writer.
// `tick_outbound` with the elapsed time gives the ACKNACK and NACK_FRAG datagrams to send.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "foundation/shared_bytes.hpp"
#include "foundation/time.hpp"
#include "rtps/fragment_assembler.hpp"
#include "rtps/history_cache.hpp"
#include "rtps/sample_loss.hpp"
#include "rtps/submessages.hpp"
#include "rtps/wire_types.hpp"
#include "rtps/writer_proxy.hpp"

namespace nimbrel::rtps {

struct DeliveredSample {
  SharedBytes payload{};  // with its encapsulation header
  Guid writer_guid{};
  SequenceNumber sequence_number = 0;
  std::uint8_t kind = change_kind::alive;
  std::optional<KeyHash> key_hash{};
  ChangeTimes times{};
};

// What one submessage released: the samples now deliverable, in order per writer, and the numbers
// given up on. Losses are counted only from the first number the writer is heard of (see
// `WriterProxy::counted_from`); a refused sample is reported when it is refused, possibly before
// lower numbers are delivered.
struct Released {
  std::vector<DeliveredSample> samples{};
  std::vector<LostRange> lost{};
};

// One matched writer.
struct WriterProxyState {
  HistoryCache cache;  // keep-all, the reader's max samples: received and not yet delivered
  WriterProxy proxy;
  std::optional<Elapsed> response_pending_since{};
  FragmentAssembler assembler;
  // Until a reliable writer is first heard, empty ACKNACKs tell it the reader is there: a writer
  // that matched the reader after its own heartbeats went out would otherwise wait a period.
  std::optional<Elapsed> next_hello{};
  std::uint32_t hellos_sent = 0;
};

struct ReliableReaderConfig {
  std::vector<WriterProxy> writer_proxies{};
  Duration response_delay{0};
  Guid reader_guid{};
  VendorId vendor_id = nimbrel_vendor_id;
  std::size_t max_samples = 256;
  AssemblerCaps assembler_caps{};
};

class ReliableReader {
 public:
  // A cap of 0 pending fragmented samples is fatal.
  explicit ReliableReader(ReliableReaderConfig config);

  // Replaces the state of a proxy with the same writer GUID (its history, fragments and sets are
  // dropped), or appends one.
  void add_writer_proxy(WriterProxy proxy);
  // Points a known writer's proxy at new locators and keeps all it has received, so a writer that
  // is matched again goes on where it was. False when no proxy for `writer` exists.
  bool set_writer_locators(const Guid& writer, std::vector<Locator> unicast,
                           std::vector<Locator> multicast);
  // Delivers what the proxies of writers that are going hold, and gives up on what those writers
  // still owe (lost at the writer), so that nothing received goes with the proxies.
  Released flush_writers_if(const std::function<bool(const Guid&)>& going);
  // Drops the proxies of writers that are gone, with all they hold; gives how many.
  std::size_t remove_writer_proxies_if(const std::function<bool(const Guid&)>& gone);

  // `source` is the GUID prefix of the sending participant: the datagram header's, or that of the
  // INFO_SRC before the submessage. With the writerId it names the writer.
  // `times` go with the change they complete.
  Released handle_data(const GuidPrefix& source, const DataSubmessage& data,
                       const ChangeTimes& times = {});
  Released handle_data_frag(const GuidPrefix& source, const DataFragSubmessage& frag, Elapsed now,
                            const ChangeTimes& times = {});
  Released handle_heartbeat(const GuidPrefix& source, const HeartbeatSubmessage& heartbeat,
                            Elapsed now);
  Released handle_gap(const GuidPrefix& source, const GapSubmessage& gap);

  // NACK_FRAGs for the incomplete samples HEARTBEATs announced, and one ACKNACK per writer whose
  // response is due, each addressed with INFO_DST.
  CodecResult<std::vector<OutboundDatagram>> tick_outbound(Elapsed now);

  static void collect_in_order_for(WriterProxyState& state, Released& out);

  const Guid& guid() const { return guid_; }
  const WriterProxyState* writer_proxy_state(const Guid& writer) const;
  std::span<const WriterProxyState> writer_proxy_states() const { return states_; }
  std::uint32_t acknack_count() const { return acknack_count_; }
  std::uint32_t nackfrag_count() const { return nackfrag_count_; }
  std::uint64_t unknown_writer_count() const { return unknown_writer_count_; }
  std::uint64_t discarded_frag_count() const { return discarded_frag_count_; }
  // Samples reassembled from fragments, over all writers there ever were.
  std::uint64_t fragmented_sample_count() const { return fragmented_sample_count_; }

 private:
  WriterProxyState make_state(WriterProxy proxy) const;
  // Stores a received change and adds what is now deliverable.
  static void accept_change(WriterProxyState& state, CacheChange change, Released& out);
  // A fragmented sample is incomplete although a HEARTBEAT announced it.
  static bool has_announced_pending(const WriterProxyState& state);
  // A best-effort writer's arrival `sn` gives up on everything before it.
  static void skip_before(WriterProxyState& state, SequenceNumber sn);
  // Delivers `change`, the next in order, without storing it, and whatever follows it.
  static void deliver_now(WriterProxyState& state, CacheChange change, Released& out);
  // Counts a miss as a submessage from an unknown writer.
  WriterProxyState* find(const GuidPrefix& source, const EntityId& writer_id);

  std::vector<WriterProxyState> states_;  // in insertion order
  std::map<Guid, std::size_t> index_;     // writer GUID to position in `states_`
  Duration response_delay_;
  Guid guid_;
  VendorId vendor_id_;
  std::size_t max_samples_;
  AssemblerCaps assembler_caps_;
  std::uint32_t acknack_count_ = 0;
  std::uint32_t nackfrag_count_ = 0;
  std::uint64_t unknown_writer_count_ = 0;
  std::uint64_t discarded_frag_count_ = 0;
  std::uint64_t fragmented_sample_count_ = 0;
};

}  // namespace nimbrel::rtps
