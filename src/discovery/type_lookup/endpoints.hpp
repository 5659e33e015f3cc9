// The four builtin type lookup endpoints, reliable as standard peers run them: request and reply
// readers with a writer proxy per remote participant, and a request and a reply writer kept once
// per remote participant, so that a request or reply reaches only the participant it is for and
// each peer sees its own run of numbers 1, 2, 3... The runtime guards it with a mutex, tells it
// about participants, feeds it metatraffic, ticks it, and sends what it returns after unlocking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <span>
#include <vector>

#include "discovery/builtin_reader.hpp"
#include "discovery/spdp.hpp"
#include "foundation/shared_bytes.hpp"
#include "foundation/time.hpp"
#include "rtps/receiver.hpp"
#include "rtps/reliable_writer.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::discovery {

// Bits of the builtin endpoint set naming the type lookup endpoints (DDS-XTypes 1.3 section
// 7.6.3.3.2).
namespace type_lookup_endpoint_bit {
inline constexpr std::uint32_t request_writer = 0x1000;
inline constexpr std::uint32_t request_reader = 0x2000;
inline constexpr std::uint32_t reply_writer = 0x4000;
inline constexpr std::uint32_t reply_reader = 0x8000;
}  // namespace type_lookup_endpoint_bit

// One sample delivered in order by a remote request or reply writer.
struct LookupSample {
  rtps::GuidPrefix source{};
  SharedBytes payload{};  // with its encapsulation
};

struct LookupSamples {
  std::vector<LookupSample> samples;
};

struct LookupSampleDecoder {
  using Delivery = LookupSamples;
  static constexpr std::size_t max_samples = 64;
  static constexpr rtps::AssemblerCaps assembler_caps{
      .max_pending_sns = 16,
      .max_sample_size = 1'048'576,
      .max_fragment_size = 65'535,
  };
  // Every alive sample is kept; its body is decoded by the caller.
  static bool decode_into(const rtps::DeliveredSample& sample, rtps::VendorId vendor,
                          Delivery& delivery);
};

struct LookupDelivery {
  std::vector<LookupSample> requests;
  std::vector<LookupSample> replies;
};

class TypeLookupEndpoints {
 public:
  static constexpr std::size_t default_max_peers = 256;

  TypeLookupEndpoints(const rtps::GuidPrefix& prefix, rtps::VendorId vendor_id,
                      std::size_t max_peers = default_max_peers);

  // Matches the endpoints the participant announces; past `max_peers` participants, none.
  void on_participant_discovered(const DiscoveredParticipant& participant);
  void on_participants_removed(const std::set<rtps::GuidPrefix>& gone);

  // The type lookup submessages of a datagram. Only DATA in the standard form (a CDR2
  // encapsulation) is taken in; plain CDR bodies are left to the header-less service.
  LookupDelivery handle_datagram(const rtps::ReceivedDatagram& datagram, Elapsed now);

  // Writes one sample to the participant's request reader or reply reader; nothing when it
  // announced none.
  CodecResult<rtps::Datagrams> send_request(const rtps::GuidPrefix& peer,
                                            std::span<const std::byte> payload);
  CodecResult<rtps::Datagrams> send_reply(const rtps::GuidPrefix& peer,
                                          std::span<const std::byte> payload);
  bool can_ask(const rtps::GuidPrefix& peer) const { return request_writers_.contains(peer); }

  // Heartbeats and repairs of every writer (acknowledged samples are let go first), then the
  // acknowledgements of both readers.
  CodecResult<rtps::Datagrams> tick(Elapsed now);

  const BuiltinReader<LookupSampleDecoder>& request_reader() const { return request_reader_; }
  const BuiltinReader<LookupSampleDecoder>& reply_reader() const { return reply_reader_; }

 private:
  rtps::ReliableWriter make_writer(const rtps::EntityId& id, rtps::ReaderProxy proxy) const;

  rtps::GuidPrefix prefix_;
  rtps::VendorId vendor_id_;
  std::size_t max_peers_;
  std::set<rtps::GuidPrefix> peers_;
  BuiltinReader<LookupSampleDecoder> request_reader_;
  BuiltinReader<LookupSampleDecoder> reply_reader_;
  std::map<rtps::GuidPrefix, rtps::ReliableWriter> request_writers_;
  std::map<rtps::GuidPrefix, rtps::ReliableWriter> reply_writers_;
};

}  // namespace nimbrel::discovery
