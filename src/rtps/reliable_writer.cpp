#include "rtps/reliable_writer.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "foundation/fatal.hpp"
#include "foundation/saturating.hpp"
#include "rtps/datagram.hpp"
#include "rtps/message_builder.hpp"

namespace nimbrel::rtps {

namespace {

constexpr std::size_t u16_max = std::numeric_limits<std::uint16_t>::max();
constexpr std::uint64_t u32_max = std::numeric_limits<std::uint32_t>::max();
constexpr SequenceNumber sn_max = std::numeric_limits<SequenceNumber>::max();
// Room a lone submessage needs besides its body: RTPS header plus submessage header.
constexpr std::size_t framing_size = rtps_header_size + submessage_header_size;

std::unexpected<CodecError> fail(const char* message) {
  return std::unexpected(CodecError::malformed(message));
}

SequenceNumber saturating_next(SequenceNumber sn) {
  return sn == sn_max ? sn : sn + 1;
}

// An XCDR1 reader does not accept an XCDR2 encapsulation id, but plain little-endian XCDR2 data
// is read as CDR_LE once relabelled. Other encapsulations, in particular the parameter lists of
// discovery data and big-endian forms, would be misread and keep their id.
std::optional<std::byte> encapsulation_rewrite(const ReaderProxy& proxy,
                                               const SharedBytes& payload) {
  constexpr std::byte cdr2_le{0x07};
  constexpr std::byte cdr_le{0x01};
  if (proxy.data_representation != data_representation::xcdr1 || payload.size() < 4) {
    return std::nullopt;
  }
  if (payload.data()[0] != std::byte{0} || payload.data()[1] != cdr2_le) return std::nullopt;
  return cdr_le;
}

// Header, submessage header, fixed body part, then the payload bytes copied once into place.
OutboundDatagram frame_single(const Guid& writer, VendorId vendor_id, std::uint8_t id,
                              const EncodedBody& fixed, std::span<const std::byte> payload,
                              std::size_t second_byte_at, std::optional<std::byte> second_byte,
                              const Destinations& destinations) {
  const std::size_t body_size = fixed.bytes.size() + payload.size();
  std::vector<std::byte> bytes;
  bytes.reserve(framing_size + body_size);
  write_rtps_header(bytes, protocol_version_2_5, vendor_id, writer.prefix);
  WireWriter w(bytes, /*little_endian=*/true);
  w.write_u8(id);
  w.write_u8(static_cast<std::uint8_t>(fixed.flags | endianness_flag));
  w.write_u16(static_cast<std::uint16_t>(body_size));
  w.write_bytes(fixed.bytes);
  const std::size_t payload_at = bytes.size();
  w.write_bytes(payload);
  if (second_byte && second_byte_at < payload.size()) {
    bytes[payload_at + second_byte_at] = *second_byte;
  }
  return {std::move(bytes), destinations};
}

void push_all(Datagrams& out, Datagrams&& more) {
  out.insert(out.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
}

}  // namespace

ReliableWriter::ReliableWriter(ReliableWriterConfig config)
    : guid_(config.writer_guid),
      vendor_id_(config.vendor_id),
      proxies_(std::move(config.reader_proxies)),
      history_(config.history, config.max_samples),
      heartbeat_period_(config.heartbeat_period),
      heartbeats_before_backoff_(config.heartbeats_before_backoff),
      max_heartbeat_period_(config.max_heartbeat_period),
      max_heartbeats_per_tick_(config.max_heartbeats_per_tick),
      mtu_(config.mtu),
      fragment_size_(config.fragment_size) {
  if (fragment_size_ == 0) fatal("fragment_size must be > 0");
  if (mtu_ < MessageBuilder::min_mtu) fatal("mtu must accommodate RTPS header");
}

void ReliableWriter::add_reader_proxy(ReaderProxy proxy) {
  if (ReaderProxy* existing = find_proxy(proxy.remote_reader_guid)) {
    *existing = std::move(proxy);
  } else {
    proxies_.push_back(std::move(proxy));
  }
}

bool ReliableWriter::remove_reader_proxy(const Guid& reader_guid) {
  return std::erase_if(proxies_, [&](const ReaderProxy& p) {
           return p.remote_reader_guid == reader_guid;
         }) > 0;
}

ReaderProxy* ReliableWriter::find_proxy(const Guid& reader_guid) {
  auto it = std::ranges::find(proxies_, reader_guid, &ReaderProxy::remote_reader_guid);
  return it == proxies_.end() ? nullptr : &*it;
}

std::size_t ReliableWriter::remove_reader_proxies_if(const std::function<bool(const Guid&)>& gone) {
  return std::erase_if(proxies_,
                       [&](const ReaderProxy& proxy) { return gone(proxy.remote_reader_guid); });
}

std::size_t ReliableWriter::remove_up_to(SequenceNumber sn) {
  return history_.remove_up_to(sn);
}

SequenceNumber ReliableWriter::acknowledged_by_all() const {
  if (proxies_.empty()) return last_sn_;
  return std::ranges::min(proxies_, {}, &ReaderProxy::highest_acked).highest_acked;
}

const ReaderProxy* ReliableWriter::find_reader_proxy(const Guid& reader_guid) const {
  auto it = std::ranges::find(proxies_, reader_guid, &ReaderProxy::remote_reader_guid);
  return it == proxies_.end() ? nullptr : &*it;
}

Destinations ReliableWriter::targets_for(std::size_t proxy_index) const {
  if (proxy_index >= proxies_.size()) return std::make_shared<const std::vector<Locator>>();
  const ReaderProxy& proxy = proxies_[proxy_index];
  return std::make_shared<const std::vector<Locator>>(
      proxy.multicast_locators.empty() ? proxy.unicast_locators : proxy.multicast_locators);
}

CodecResult<Datagrams> ReliableWriter::write(std::span<const std::byte> payload) {
  if (last_sn_ == sn_max) return fail("sequence number overflow");
  const SequenceNumber sn = ++last_sn_;
  CacheChange change{.sequence_number = sn, .payload = SharedBytes::copy_of(payload)};
  const SharedBytes stored = change.payload;
  if (history_.insert(std::move(change)) != InsertOutcome::Inserted) {
    // Not a fault of the sample: the caller may try again once readers have caught up.
    return std::unexpected(CodecError::backpressure("history cache full or duplicate"));
  }
  Datagrams out;
  for (std::size_t i = 0; i < proxies_.size(); ++i) {
    ReaderProxy& proxy = proxies_[i];
    if (proxy.highest_sent < sn) ++proxy.highest_sent;
    // A reader that is behind learns of the sample from the next HEARTBEAT and asks for repair.
    if (proxy.highest_sent != sn) continue;
    auto built = frame_sample(sn, stored, proxy.remote_reader_guid.entity_id, targets_for(i),
                              encapsulation_rewrite(proxy, stored));
    if (!built) return std::unexpected(built.error());
    push_all(out, std::move(*built));
  }
  return out;
}

CodecResult<Datagrams> ReliableWriter::write_last(DataSubmessage data) {
  if (last_sn_ == sn_max) return fail("sequence number overflow");
  data.writer_id = guid_.entity_id;
  data.writer_sn = ++last_sn_;
  auto body = encode_body(data, /*little_endian=*/true);
  if (!body) return std::unexpected(body.error());
  Datagrams out;
  for (std::size_t i = 0; i < proxies_.size(); ++i) {
    MessageBuilder builder(guid_.prefix, vendor_id_, targets_for(i), mtu_);
    if (auto ok =
            builder.append(submessage_id::data, body->flags, body->bytes, out, BodyLabel::Data);
        !ok) {
      return std::unexpected(ok.error());
    }
    if (auto last = builder.finish()) out.push_back(std::move(*last));
  }
  return out;
}

CodecResult<Datagrams> ReliableWriter::build_sample_datagrams(
    SequenceNumber sn, const SharedBytes& payload, const EntityId& reader_id,
    const Destinations& destinations) const {
  return frame_sample(sn, payload, reader_id, destinations, std::nullopt);
}

CodecResult<Datagrams> ReliableWriter::frame_sample(SequenceNumber sn, const SharedBytes& payload,
                                                    const EntityId& reader_id,
                                                    const Destinations& destinations,
                                                    std::optional<std::byte> second_byte) const {
  Datagrams out;
  if (payload.size() <= fragment_size_) {
    const DataSubmessage fixed{
        .reader_id = reader_id, .writer_id = guid_.entity_id, .writer_sn = sn};
    auto head = encode_body(fixed, /*little_endian=*/true);
    if (!head) return std::unexpected(head.error());
    const std::size_t body_size = head->bytes.size() + payload.size();
    if (body_size > u16_max || body_size + framing_size > mtu_) {
      return fail("DATA submessage does not fit into MTU");
    }
    out.push_back(frame_single(guid_, vendor_id_, submessage_id::data, *head, payload, 1,
                               second_byte, destinations));
    return out;
  }
  if (payload.size() > u32_max) return fail("sample size exceeds u32::MAX");
  if (fragment_size_ > u16_max) return fail("fragment_size exceeds u16::MAX");
  FragmentNumber fragment = 1;
  for (std::uint64_t start = 0; start < payload.size(); start += fragment_size_, ++fragment) {
    if (fragment == std::numeric_limits<FragmentNumber>::max()) {
      return fail("fragment number overflow");
    }
    auto datagram = frame_data_frag(sn, payload, fragment, reader_id, destinations, second_byte);
    if (!datagram) return std::unexpected(datagram.error());
    out.push_back(std::move(*datagram));
  }
  return out;
}

CodecResult<OutboundDatagram> ReliableWriter::build_data_frag_submessage_datagram(
    SequenceNumber sn, const SharedBytes& payload, FragmentNumber fragment,
    const EntityId& reader_id, const Destinations& destinations) const {
  return frame_data_frag(sn, payload, fragment, reader_id, destinations, std::nullopt);
}

CodecResult<OutboundDatagram> ReliableWriter::frame_data_frag(
    SequenceNumber sn, const SharedBytes& payload, FragmentNumber fragment,
    const EntityId& reader_id, const Destinations& destinations,
    std::optional<std::byte> second_byte) const {
  if (fragment == 0) return fail("fragment number must be >= 1");
  // Cannot overflow: both factors are below 2^32.
  const std::uint64_t start = std::uint64_t{fragment - 1} * fragment_size_;
  if (start >= payload.size()) return fail("fragment number beyond sample");
  if (payload.size() > u32_max) return fail("sample size exceeds u32::MAX");
  if (fragment_size_ > u16_max) return fail("fragment_size exceeds u16::MAX");
  const auto length = std::min<std::uint64_t>(fragment_size_, payload.size() - start);
  const DataFragSubmessage fixed{.reader_id = reader_id,
                                 .writer_id = guid_.entity_id,
                                 .writer_sn = sn,
                                 .fragment_starting_num = fragment,
                                 .fragments_in_submessage = 1,
                                 .fragment_size = static_cast<std::uint16_t>(fragment_size_),
                                 .sample_size = static_cast<std::uint32_t>(payload.size())};
  const EncodedBody head = encode_body(fixed, /*little_endian=*/true);
  const std::size_t body_size = head.bytes.size() + length;
  if (body_size > u16_max || body_size + framing_size > mtu_) {
    return fail("DATA_FRAG submessage does not fit into MTU");
  }
  // Byte 1 of the sample lies in this fragment only when the fragment starts at 0 or 1.
  const std::size_t second_byte_at = start <= 1 ? static_cast<std::size_t>(1 - start) : length;
  return frame_single(guid_, vendor_id_, submessage_id::data_frag, head,
                      payload.span().subspan(start, length), second_byte_at, second_byte,
                      destinations);
}

CodecResult<OutboundDatagram> ReliableWriter::build_gap_datagram(
    SequenceNumber sn, const EntityId& reader_id, const Destinations& destinations) const {
  const GapSubmessage gap{.reader_id = reader_id,
                          .writer_id = guid_.entity_id,
                          .gap_start = sn,
                          .gap_list = SequenceNumberSet::empty_range(saturating_next(sn), 0)};
  const EncodedBody body = encode_body(gap, /*little_endian=*/true);
  if (body.bytes.size() + framing_size > mtu_) return fail("GAP submessage does not fit into MTU");
  MessageBuilder builder(guid_.prefix, vendor_id_, destinations, mtu_);
  Datagrams closed;
  if (auto ok = builder.append(submessage_id::gap, body.flags, body.bytes, closed, BodyLabel::Gap);
      !ok) {
    return std::unexpected(ok.error());
  }
  auto datagram = builder.finish();
  if (!datagram) return fail("MessageBuilder finish returned no datagram");
  return std::move(*datagram);
}

bool ReliableWriter::has_fragment(std::size_t sample_size, FragmentNumber fragment) const {
  return fragment != 0 && std::uint64_t{fragment - 1} * fragment_size_ < sample_size;
}

bool ReliableWriter::heartbeat_due(const ReaderProxy& proxy, Elapsed now) const {
  if (history_.empty()) return false;
  if (!proxy.last_heartbeat) return true;
  Duration period = heartbeat_period_;
  for (std::uint32_t n = heartbeats_before_backoff_;
       n < proxy.unanswered_heartbeats && period < max_heartbeat_period_; ++n) {
    period *= 2;
  }
  period = std::min(period, std::max(max_heartbeat_period_, heartbeat_period_));
  // A clock that went backwards counts as no time elapsed.
  return std::max(now - *proxy.last_heartbeat, Duration::zero()) >= period;
}

CodecResult<Datagrams> ReliableWriter::tick(Elapsed now) {
  Datagrams out;
  const std::size_t n = proxies_.size();
  std::size_t heartbeats = 0;
  std::optional<std::size_t> first_left_waiting;
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t i = (first_proxy_ + k) % n;
    ReaderProxy& proxy = proxies_[i];
    bool heartbeat = heartbeat_due(proxy, now);
    if (heartbeat && heartbeats == max_heartbeats_per_tick_) {
      if (!first_left_waiting) first_left_waiting = i;
      heartbeat = false;
    }
    const bool repairs = !proxy.requested_changes.empty() || !proxy.requested_fragments.empty();
    if (!heartbeat && !repairs) continue;
    // Repairs that stop short of the history's last sample go with a heartbeat, so that the
    // reader asks for the rest at once rather than a period later: a participant that joins
    // while a sample is written catches up one round trip later.
    if (!heartbeat && !proxy.requested_changes.empty() && !history_.empty() &&
        *proxy.requested_changes.rbegin() < *history_.max_sn()) {
      heartbeat = true;
      proxy.last_heartbeat = now;
    } else if (heartbeat) {
      ++heartbeats;
      proxy.last_heartbeat = now;
      saturating_increment(proxy.unanswered_heartbeats);
    }
    if (auto ok = tick_proxy(proxy, targets_for(i), heartbeat, out); !ok) {
      return std::unexpected(ok.error());
    }
  }
  first_proxy_ = first_left_waiting.value_or(0);
  return out;
}

CodecResult<void> ReliableWriter::tick_proxy(ReaderProxy& proxy, const Destinations& destinations,
                                             bool heartbeat_due, Datagrams& out) {
  const EntityId reader_id = proxy.remote_reader_guid.entity_id;

  while (auto request = proxy.next_requested_fragment()) {
    const auto [sn, fragment] = *request;
    const CacheChange* change = history_.find(sn);
    // A request for a fragment the sample does not have is the reader's error; failing the tick
    // for it would stall the repairs of every other reader.
    if (change && !has_fragment(change->payload.size(), fragment)) continue;
    CodecResult<OutboundDatagram> datagram =
        change ? build_data_frag_submessage_datagram(sn, change->payload, fragment, reader_id,
                                                     destinations)
               : build_gap_datagram(sn, reader_id, destinations);
    if (change) {
      saturating_increment(counters_.retransmits);
      saturating_increment(counters_.fragmented_samples);
    }
    if (!datagram) return std::unexpected(datagram.error());
    out.push_back(std::move(*datagram));
  }

  MessageBuilder builder(guid_.prefix, vendor_id_, destinations, mtu_);
  while (auto sn = proxy.next_requested_change()) {
    saturating_increment(counters_.retransmits);
    proxy.highest_sent = std::max(proxy.highest_sent, *sn);
    const CacheChange* change = history_.find(*sn);
    if (change && change->payload.size() > fragment_size_) {
      if (auto pending = builder.finish()) out.push_back(std::move(*pending));
      auto fragments = build_sample_datagrams(*sn, change->payload, reader_id, destinations);
      if (!fragments) return std::unexpected(fragments.error());
      push_all(out, std::move(*fragments));
      continue;
    }
    CodecResult<void> appended;
    if (change) {
      const DataSubmessage data{.reader_id = reader_id,
                                .writer_id = guid_.entity_id,
                                .writer_sn = *sn,
                                .serialized_payload = change->payload};
      auto body = encode_body(data, /*little_endian=*/true);
      if (!body) return std::unexpected(body.error());
      appended =
          builder.append(submessage_id::data, body->flags, body->bytes, out, BodyLabel::Data);
    } else {
      const GapSubmessage gap{.reader_id = reader_id,
                              .writer_id = guid_.entity_id,
                              .gap_start = *sn,
                              .gap_list = SequenceNumberSet::empty_range(saturating_next(*sn), 0)};
      const EncodedBody body = encode_body(gap, /*little_endian=*/true);
      appended = builder.append(submessage_id::gap, body.flags, body.bytes, out, BodyLabel::Gap);
    }
    if (!appended) return std::unexpected(appended.error());
  }

  if (heartbeat_due) {
    const SequenceNumber first = std::max(*history_.min_sn(), saturating_next(proxy.highest_acked));
    saturating_increment(heartbeat_count_);
    const HeartbeatSubmessage heartbeat{.reader_id = reader_id,
                                        .writer_id = guid_.entity_id,
                                        .first_sn = first,
                                        .last_sn = *history_.max_sn(),
                                        .count = heartbeat_count_};
    const EncodedBody body = encode_body(heartbeat, /*little_endian=*/true);
    if (auto ok = builder.append(submessage_id::heartbeat, body.flags, body.bytes, out,
                                 BodyLabel::Heartbeat);
        !ok) {
      return std::unexpected(ok.error());
    }
    saturating_increment(counters_.heartbeats_sent);
  }
  if (auto last = builder.finish()) out.push_back(std::move(*last));
  return {};
}

void ReliableWriter::handle_acknack(const Guid& reader_guid, SequenceNumber base,
                                    std::span<const SequenceNumber> requested) {
  saturating_increment(counters_.acknacks_received);
  ReaderProxy* proxy = find_proxy(reader_guid);
  if (!proxy) {
    saturating_increment(counters_.unknown_readers);
    return;
  }
  proxy->unanswered_heartbeats = 0;
  proxy->acked_changes_set(base);
  proxy->add_requested_changes(requested);
  // A reader that has caught up gets new samples pushed again, not only by repair.
  if (requested.empty())
    proxy->highest_sent = std::max(proxy->highest_sent, std::min(base - 1, last_sn_));
  // A reader that has nothing and asks for nothing has only now matched us: our heartbeats may
  // have come before it knew us, so the next tick tells it what there is, not a period later.
  if (base <= 1 && requested.empty() && !history_.empty()) proxy->last_heartbeat.reset();
}

void ReliableWriter::handle_acknack(const AckNackSubmessage& acknack,
                                    const GuidPrefix& reader_prefix) {
  const auto requested = acknack.reader_sn_state.members();
  handle_acknack(Guid{reader_prefix, acknack.reader_id}, acknack.reader_sn_state.base, requested);
}

void ReliableWriter::handle_nackfrag(const Guid& reader_guid, const NackFragSubmessage& nackfrag) {
  if (nackfrag.writer_id != guid_.entity_id) return;
  ReaderProxy* proxy = find_proxy(reader_guid);
  if (!proxy) {
    saturating_increment(counters_.unknown_readers);
    return;
  }
  proxy->unanswered_heartbeats = 0;
  saturating_increment(nackfrag_count_);
  const auto fragments = nackfrag.fragment_number_state.members();
  proxy->add_requested_fragments(nackfrag.writer_sn, fragments);
}

void ReliableWriter::handle_nackfrag(const NackFragSubmessage& nackfrag,
                                     const GuidPrefix& reader_prefix) {
  handle_nackfrag(Guid{reader_prefix, nackfrag.reader_id}, nackfrag);
}

}  // namespace nimbrel::rtps
