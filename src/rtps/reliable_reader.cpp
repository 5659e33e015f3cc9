#include "rtps/reliable_reader.hpp"

#include <algorithm>
#include <limits>
#include <memory>
#include <utility>

#include "foundation/fatal.hpp"
#include "foundation/saturating.hpp"
#include "rtps/datagram.hpp"
#include "rtps/lifecycle.hpp"

namespace nimbrel::rtps {
namespace {

// Empty ACKNACKs to a writer not yet heard: at once, then 5, 10, 20 ms ... apart, 2.5 s in all.
constexpr std::uint32_t max_hellos = 10;
constexpr Duration first_hello_gap = std::chrono::milliseconds(5);

constexpr SequenceNumber sn_max = std::numeric_limits<SequenceNumber>::max();

}  // namespace

ReliableReader::ReliableReader(ReliableReaderConfig config)
    : response_delay_(config.response_delay),
      guid_(config.reader_guid),
      vendor_id_(config.vendor_id),
      max_samples_(config.max_samples),
      assembler_caps_(config.assembler_caps) {
  if (assembler_caps_.max_pending_sns == 0) {
    fatal(
        "assembler_caps.max_pending_sns must be > 0; use a Best-Effort reader or increase the cap "
        "to actually accept fragmented samples");
  }
  for (auto& proxy : config.writer_proxies)
    add_writer_proxy(std::move(proxy));
}

WriterProxyState ReliableReader::make_state(WriterProxy proxy) const {
  return WriterProxyState{.cache = HistoryCache(HistoryPolicy::keep_all(), max_samples_),
                          .proxy = std::move(proxy),
                          .response_pending_since = std::nullopt,
                          .assembler = FragmentAssembler(assembler_caps_)};
}

void ReliableReader::add_writer_proxy(WriterProxy proxy) {
  const Guid writer = proxy.remote_writer_guid;
  if (auto it = index_.find(writer); it != index_.end()) {
    states_[it->second] = make_state(std::move(proxy));
    return;
  }
  index_.emplace(writer, states_.size());
  states_.push_back(make_state(std::move(proxy)));
}

bool ReliableReader::set_writer_locators(const Guid& writer, std::vector<Locator> unicast,
                                         std::vector<Locator> multicast) {
  auto it = index_.find(writer);
  if (it == index_.end()) return false;
  WriterProxy& proxy = states_[it->second].proxy;
  proxy.unicast_locators = std::move(unicast);
  proxy.multicast_locators = std::move(multicast);
  return true;
}

Released ReliableReader::flush_writers_if(const std::function<bool(const Guid&)>& going) {
  Released out;
  for (WriterProxyState& state : states_) {
    WriterProxy& proxy = state.proxy;
    if (!going(proxy.remote_writer_guid)) continue;
    const SequenceNumber end =
        std::max({proxy.last_available, proxy.highest_received, state.cache.max_sn().value_or(0)});
    proxy.mark_irrelevant(proxy.highest_delivered + 1, end);
    proxy.last_available = end;
    collect_in_order_for(state, out);
  }
  return out;
}

std::size_t ReliableReader::remove_writer_proxies_if(const std::function<bool(const Guid&)>& gone) {
  const std::size_t removed = std::erase_if(
      states_, [&](const WriterProxyState& state) { return gone(state.proxy.remote_writer_guid); });
  if (removed == 0) return 0;
  // One pass for however many went, so that a mass expiry costs no more than a rebuild.
  index_.clear();
  for (std::size_t i = 0; i < states_.size(); ++i)
    index_.emplace(states_[i].proxy.remote_writer_guid, i);
  return removed;
}

const WriterProxyState* ReliableReader::writer_proxy_state(const Guid& writer) const {
  auto it = index_.find(writer);
  return it == index_.end() ? nullptr : &states_[it->second];
}

WriterProxyState* ReliableReader::find(const GuidPrefix& source, const EntityId& writer_id) {
  // The entity id alone is not enough: peers number their writers alike in every participant.
  auto it = index_.find(Guid{source, writer_id});
  if (it == index_.end()) {
    saturating_increment(unknown_writer_count_);
    return nullptr;
  }
  return &states_[it->second];
}

Released ReliableReader::handle_data(const GuidPrefix& source, const DataSubmessage& data,
                                     const ChangeTimes& times) {
  Released out;
  WriterProxyState* state = find(source, data.writer_id);
  if (state == nullptr) return out;
  WriterProxy& proxy = state->proxy;
  const SequenceNumber sn = data.writer_sn;
  proxy.hear_from(sn);
  if (sn <= proxy.highest_delivered || proxy.is_received_or_irrelevant(sn)) return out;
  if (!proxy.reliable) skip_before(*state, sn);
  accept_change(*state,
                CacheChange{.sequence_number = sn,
                            .payload = data.serialized_payload,
                            .kind = change_kind_of(data),
                            .key_hash = key_hash_of(data),
                            .times = times},
                out);
  return out;
}

Released ReliableReader::handle_data_frag(const GuidPrefix& source, const DataFragSubmessage& frag,
                                          Elapsed now, const ChangeTimes& times) {
  Released out;
  WriterProxyState* state = find(source, frag.writer_id);
  if (state == nullptr) return out;
  WriterProxy& proxy = state->proxy;
  const SequenceNumber sn = frag.writer_sn;
  proxy.hear_from(sn);
  if (sn <= proxy.highest_delivered || proxy.is_received_or_irrelevant(sn)) {
    saturating_increment(discarded_frag_count_);
    return out;
  }
  if (!proxy.reliable) skip_before(*state, sn);
  const std::uint64_t too_large_before = state->assembler.too_large_count();
  if (auto sample = state->assembler.insert(frag)) {
    saturating_increment(fragmented_sample_count_);
    accept_change(*state,
                  CacheChange{.sequence_number = sn, .payload = sample->payload, .times = times},
                  out);
  } else if (state->assembler.too_large_count() != too_large_before &&
             sn >= proxy.first_available) {
    // Given up on for good and acknowledged as such, so that its writer never waits for it: a
    // received number that the cache does not hold is passed over in delivery.
    proxy.mark_received(sn);
    proxy.refused.insert(sn);
    if (sn >= proxy.counted_from) {
      out.lost.push_back(LostRange{.writer = proxy.remote_writer_guid,
                                   .first = sn,
                                   .last = sn,
                                   .reason = LossReason::TooLarge});
    }
    collect_in_order_for(*state, out);
  }
  // Fragments of a sample no HEARTBEAT has announced yet are most likely still on their way: asking
  // for them would only make the writer send them twice.
  if (proxy.reliable && has_announced_pending(*state) && !state->response_pending_since)
    state->response_pending_since = now;
  return out;
}

Released ReliableReader::handle_heartbeat(const GuidPrefix& source,
                                          const HeartbeatSubmessage& heartbeat, Elapsed now) {
  Released out;
  WriterProxyState* state = find(source, heartbeat.writer_id);
  if (state == nullptr) return out;
  // A liveliness HEARTBEAT asserts the writer, it announces nothing about its history.
  if (heartbeat.liveliness_flag || !state->proxy.reliable) return out;
  WriterProxy& proxy = state->proxy;
  if (heartbeat.last_sn < sn_max) proxy.hear_from(heartbeat.last_sn + 1);
  proxy.announce(heartbeat.first_sn, heartbeat.last_sn);
  const bool settled = proxy.missing_changes(1).empty() && !has_announced_pending(*state);
  const bool response_needed = !(settled && heartbeat.final_flag);
  if (response_needed && !state->response_pending_since) state->response_pending_since = now;
  collect_in_order_for(*state, out);
  return out;
}

Released ReliableReader::handle_gap(const GuidPrefix& source, const GapSubmessage& gap) {
  Released out;
  WriterProxyState* state = find(source, gap.writer_id);
  if (state == nullptr) return out;
  const SequenceNumber base = gap.gap_list.base;
  // One range, however long: nothing here walks it number by number.
  if (gap.gap_start < base) {
    state->proxy.mark_irrelevant(gap.gap_start, base - 1);
    state->assembler.discard(gap.gap_start, base - 1);
  }
  for (SequenceNumber sn : gap.gap_list.members()) {
    state->proxy.mark_irrelevant(sn, sn);
    state->assembler.discard(sn, sn);
  }
  collect_in_order_for(*state, out);
  return out;
}

bool ReliableReader::has_announced_pending(const WriterProxyState& state) {
  const auto& pending = state.assembler.pending();
  return !pending.empty() && pending.begin()->first <= state.proxy.last_available;
}

void ReliableReader::skip_before(WriterProxyState& state, SequenceNumber sn) {
  state.proxy.announce(/*first_sn=*/sn, /*last_sn=*/sn);
  state.assembler.discard_up_to(sn - 1);
}

void ReliableReader::accept_change(WriterProxyState& state, CacheChange change, Released& out) {
  WriterProxy& proxy = state.proxy;
  const SequenceNumber sn = change.sequence_number;
  const bool next_in_order = sn == proxy.highest_delivered + 1;
  // The usual case, the next number with nothing held back, never needs the cache.
  if (next_in_order && state.cache.empty()) return deliver_now(state, std::move(change), out);
  const auto outcome = state.cache.insert(change);
  if (outcome == InsertOutcome::Inserted) {
    proxy.mark_received(sn);
    return collect_in_order_for(state, out);
  }
  // A full cache must not block the very next number, or a reader holding max samples behind a
  // hole would wait for ever; that one is delivered at once.
  if (outcome == InsertOutcome::RejectedFull && next_in_order)
    return deliver_now(state, std::move(change), out);
  // Any other refused change stays missing, so the next ACKNACK asks for it again.
}

void ReliableReader::deliver_now(WriterProxyState& state, CacheChange change, Released& out) {
  WriterProxy& proxy = state.proxy;
  const SequenceNumber sn = change.sequence_number;
  out.samples.push_back(DeliveredSample{.payload = std::move(change.payload),
                                        .writer_guid = proxy.remote_writer_guid,
                                        .sequence_number = sn,
                                        .kind = change.kind,
                                        .key_hash = change.key_hash,
                                        .times = change.times});
  proxy.mark_delivered_up_to(sn);
  collect_in_order_for(state, out);
}

void ReliableReader::collect_in_order_for(WriterProxyState& state, Released& out) {
  WriterProxy& proxy = state.proxy;
  SequenceNumber done = proxy.highest_delivered;
  state.cache.remove_up_to(done);
  // Numbers passed over without a sample, from the first heard of on.
  const auto lose = [&](SequenceNumber first, SequenceNumber last, LossReason reason) {
    if (proxy.counted_from == 0) return;
    first = std::max(first, proxy.counted_from);
    if (first > last) return;
    const LostRange range{
        .writer = proxy.remote_writer_guid, .first = first, .last = last, .reason = reason};
    if (out.lost.empty() || !join(out.lost.back(), range)) out.lost.push_back(range);
  };
  // Each pass delivers one stored change or jumps over a whole stored range, so a huge announced
  // or skipped span costs one pass.
  while (done != sn_max) {
    const SequenceNumber next = done + 1;
    if (const CacheChange* change = state.cache.find(next)) {
      out.samples.push_back(DeliveredSample{.payload = change->payload,
                                            .writer_guid = proxy.remote_writer_guid,
                                            .sequence_number = next,
                                            .kind = change->kind,
                                            .key_hash = change->key_hash,
                                            .times = change->times});
      done = next;
      state.cache.remove_up_to(next);
      continue;
    }
    // A skip never passes a stored change, which is delivered in its turn, nor a refused number,
    // which was counted when it was refused.
    SequenceNumber skip_limit = state.cache.empty() ? sn_max : *state.cache.min_sn() - 1;
    if (auto end = proxy.refused.range_end(next)) {
      done = std::min(*end, skip_limit);
      continue;
    }
    if (auto refused = proxy.refused.next_start_after(next))
      skip_limit = std::min(skip_limit, *refused - 1);
    if (next < proxy.first_available) {
      done = std::min(proxy.first_available - 1, skip_limit);
      // A best-effort writer's first available number is its newest arrival.
      lose(next, done, proxy.reliable ? LossReason::AtWriter : LossReason::Network);
      continue;
    }
    if (next > proxy.last_available) break;
    // Received, and delivered or refused already.
    if (auto end = proxy.received.range_end(next)) {
      done = std::min({*end, proxy.last_available, skip_limit});
      continue;
    }
    auto end = proxy.irrelevant.range_end(next);
    if (!end) break;
    done = std::min({*end, proxy.last_available, skip_limit});
    lose(next, done, LossReason::AtWriter);
  }
  proxy.mark_delivered_up_to(done);
  state.assembler.discard_up_to(done);
}

CodecResult<std::vector<OutboundDatagram>> ReliableReader::tick_outbound(Elapsed now) {
  std::vector<OutboundDatagram> out;
  for (WriterProxyState& state : states_) {
    const bool respond =
        state.response_pending_since &&
        std::max(Duration{0}, now - *state.response_pending_since) >= response_delay_;
    const bool hello = state.proxy.reliable && state.proxy.counted_from == 0 &&
                       state.hellos_sent < max_hellos &&
                       (!state.next_hello || now >= *state.next_hello);
    if (!respond && !hello) continue;
    if (respond) state.response_pending_since.reset();
    if (hello) state.next_hello = now + first_hello_gap * (1 << state.hellos_sent++);

    const WriterProxy& proxy = state.proxy;
    auto destinations = std::make_shared<const std::vector<Locator>>(proxy.unicast_locators);
    auto send = [&](std::uint8_t id, const EncodedBody& body) -> CodecResult<void> {
      auto bytes = build_reply_datagram(guid_.prefix, vendor_id_, proxy.remote_writer_guid.prefix,
                                        id, body.flags, body.bytes);
      if (!bytes) return std::unexpected(bytes.error());
      out.push_back(OutboundDatagram{.bytes = std::move(*bytes), .destinations = destinations});
      return {};
    };

    for (const auto& [sn, buffer] : state.assembler.pending()) {
      if (sn > proxy.last_available) break;
      const NackFragSubmessage nack{.reader_id = guid_.entity_id,
                                    .writer_id = proxy.remote_writer_guid.entity_id,
                                    .writer_sn = sn,
                                    .fragment_number_state = state.assembler.missing_fragments(sn),
                                    .count = ++nackfrag_count_};
      if (auto sent = send(submessage_id::nack_frag, encode_body(nack, /*little_endian=*/true));
          !sent) {
        return std::unexpected(sent.error());
      }
    }

    auto missing = proxy.missing_changes(rtps_bitmap_max_bits);
    const bool nothing_missing = missing.empty();
    const SequenceNumber base = nothing_missing ? proxy.acknack_base() : missing.front();
    // A sample asked for by fragments above is not asked for whole as well.
    std::erase_if(missing,
                  [&](SequenceNumber sn) { return state.assembler.pending().contains(sn); });
    const AckNackSubmessage acknack{
        .reader_id = guid_.entity_id,
        .writer_id = proxy.remote_writer_guid.entity_id,
        .reader_sn_state = SequenceNumberSet::from_members(base, missing),
        .count = ++acknack_count_,
        .final_flag = nothing_missing && proxy.last_available > 0};
    if (auto sent = send(submessage_id::acknack, encode_body(acknack, /*little_endian=*/true));
        !sent) {
      return std::unexpected(sent.error());
    }
  }
  return out;
}

}  // namespace nimbrel::rtps
