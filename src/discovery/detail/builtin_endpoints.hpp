// What the builtin endpoint stacks (SEDP, secure builtin) do alike: match the builtin endpoints a
// discovered participant announces, forget the participants that left, tick their writers and
// readers into datagrams.
#pragma once

#include <cstdint>
#include <expected>
#include <iterator>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "discovery/spdp.hpp"
#include "foundation/time.hpp"
#include "rtps/reader_proxy.hpp"
#include "rtps/receiver.hpp"
#include "rtps/reliable_writer.hpp"
#include "rtps/submessages.hpp"
#include "rtps/wire_types.hpp"
#include "rtps/writer_proxy.hpp"

namespace nimbrel::discovery::detail {

template <typename T>
void append(std::vector<T>& to, std::vector<T>&& from) {
  to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
}

// The builtin endpoints of one remote participant, all reached at its builtin endpoint locators.
class RemoteBuiltinEndpoints {
 public:
  RemoteBuiltinEndpoints(const rtps::GuidPrefix& prefix,
                         const rtps::ParticipantBuiltinTopicData& data)
      : prefix_(prefix),
        set_(data.builtin_endpoint_set),
        locators_(builtin_endpoint_locators(data)) {}

  // Every one of the bits is in the announced builtin endpoint set.
  bool announces(std::uint32_t bits) const { return (set_ & bits) == bits; }
  rtps::WriterProxy writer(const rtps::EntityId& id) const {
    return rtps::WriterProxy{.unicast_locators = locators_, .remote_writer_guid = {prefix_, id}};
  }
  rtps::ReaderProxy reader(const rtps::EntityId& id) const {
    return rtps::ReaderProxy{.remote_reader_guid = {prefix_, id}, .unicast_locators = locators_};
  }

 private:
  rtps::GuidPrefix prefix_;
  std::uint32_t set_;
  std::vector<rtps::Locator> locators_;
};

// Drops, on each endpoint, the proxies of the participants that are gone.
template <typename... Endpoints>
void remove_proxies_of(const std::set<rtps::GuidPrefix>& gone, Endpoints&... endpoints) {
  if (gone.empty()) return;
  const auto of_gone = [&](const rtps::Guid& guid) { return gone.contains(guid.prefix); };
  const auto remove = [&](auto& endpoint) {
    if constexpr (requires { endpoint.remove_reader_proxies_if(of_gone); }) {
      endpoint.remove_reader_proxies_if(of_gone);
    } else {
      endpoint.remove_writer_proxies_if(of_gone);
    }
  };
  (remove(endpoints), ...);
}

// What each endpoint has to send now, in the order given: a writer's heartbeats and repairs, a
// reader's acknowledgements. The first failure is returned alone.
template <typename... Endpoints>
CodecResult<std::vector<rtps::OutboundDatagram>> tick_all(Elapsed now, Endpoints&... endpoints) {
  std::vector<rtps::OutboundDatagram> out;
  std::optional<CodecError> failed;
  const auto tick = [&](auto& endpoint) {
    if (failed) return;
    CodecResult<std::vector<rtps::OutboundDatagram>> datagrams;
    if constexpr (requires { endpoint.tick_outbound(now); }) {
      datagrams = endpoint.tick_outbound(now);
    } else {
      datagrams = endpoint.tick(now);
    }
    if (!datagrams) {
      failed = datagrams.error();
    } else {
      append(out, std::move(*datagrams));
    }
  };
  (tick(endpoints), ...);
  if (failed) return std::unexpected(*failed);
  return out;
}

// An acknowledgement or fragment request for one of our writers.
inline void feed_writer(rtps::ReliableWriter& writer, const rtps::ReceiverState& from,
                        const rtps::AckNackSubmessage& acknack) {
  writer.handle_acknack(acknack, from.source_prefix);
}
inline void feed_writer(rtps::ReliableWriter& writer, const rtps::ReceiverState& from,
                        const rtps::NackFragSubmessage& nackfrag) {
  writer.handle_nackfrag(nackfrag, from.source_prefix);
}

}  // namespace nimbrel::discovery::detail
