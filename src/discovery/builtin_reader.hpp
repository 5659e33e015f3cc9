// A reliable builtin reader (the SEDP detectors, the volatile secure message reader): a reliable
// reader whose in-order samples go through a decoder of its records. A sample that does not decode
// is counted and passed over; its neighbours are delivered, as the reliable reader has already
// released them all and would never offer them again.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <type_traits>
#include <utility>
#include <vector>

#include "foundation/saturating.hpp"
#include "foundation/time.hpp"
#include "rtps/fragment_assembler.hpp"
#include "rtps/receiver.hpp"
#include "rtps/reliable_reader.hpp"
#include "rtps/submessages.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::discovery {

// What a builtin reader knows of its records: `Delivery`, what one submessage released;
// `decode_into`, which adds one sample to it and is false when the sample does not decode (a
// sample it has no use for is not an error); and the caps that fit the records.
template <typename D>
concept BuiltinDecoder = requires(const rtps::DeliveredSample& sample, rtps::VendorId vendor,
                                  typename D::Delivery& delivery) {
  { D::decode_into(sample, vendor, delivery) } -> std::same_as<bool>;
  { D::max_samples } -> std::convertible_to<std::size_t>;
  { D::assembler_caps } -> std::convertible_to<rtps::AssemblerCaps>;
};

// The submessages a reader acts on, and those a writer acts on.
template <typename T>
concept ReaderSubmessage =
    std::same_as<T, rtps::DataSubmessage> || std::same_as<T, rtps::DataFragSubmessage> ||
    std::same_as<T, rtps::GapSubmessage> || std::same_as<T, rtps::HeartbeatSubmessage>;
template <typename T>
concept WriterSubmessage =
    std::same_as<T, rtps::AckNackSubmessage> || std::same_as<T, rtps::NackFragSubmessage>;

// For `reader`, or, with ENTITYID_UNKNOWN, for every matched reader of `writer` (DDSI-RTPS 2.5
// section 8.3.7); peers send their first samples and heartbeats that way.
template <typename T>
bool addressed_to(const T& submessage, const rtps::EntityId& reader, const rtps::EntityId& writer) {
  return submessage.reader_id == reader ||
         (submessage.reader_id.is_unknown() && submessage.writer_id == writer);
}

template <BuiltinDecoder Decoder>
class BuiltinReader {
 public:
  using Delivery = typename Decoder::Delivery;

  // No writer proxies at start, response delay 0.
  BuiltinReader(const rtps::Guid& guid, rtps::VendorId vendor_id)
      : reader_(rtps::ReliableReaderConfig{.writer_proxies = {},
                                           .response_delay = Duration{0},
                                           .reader_guid = guid,
                                           .vendor_id = vendor_id,
                                           .max_samples = Decoder::max_samples,
                                           .assembler_caps = Decoder::assembler_caps}) {}

  void add_writer_proxy(rtps::WriterProxy proxy) { reader_.add_writer_proxy(std::move(proxy)); }
  std::size_t remove_writer_proxies_if(const std::function<bool(const rtps::Guid&)>& gone) {
    return reader_.remove_writer_proxies_if(gone);
  }

  // What is now deliverable in order, decoded. A HEARTBEAT that moves the first available number
  // past a hole releases the samples waiting behind it; the acknowledgement leaves on a later
  // tick. Samples from other vendors are decoded without this system's own parameters.
  template <ReaderSubmessage T>
  Delivery handle(const rtps::ReceiverState& from, const T& submessage, Elapsed now) {
    const rtps::GuidPrefix& source = from.source_prefix;
    rtps::Released released;
    if constexpr (std::is_same_v<T, rtps::DataSubmessage>) {
      released = reader_.handle_data(source, submessage);
    } else if constexpr (std::is_same_v<T, rtps::DataFragSubmessage>) {
      released = reader_.handle_data_frag(source, submessage, now);
    } else if constexpr (std::is_same_v<T, rtps::GapSubmessage>) {
      released = reader_.handle_gap(source, submessage);
    } else {
      released = reader_.handle_heartbeat(source, submessage, now);
    }
    Delivery delivery{};
    for (const auto& sample : released.samples) {
      if (!Decoder::decode_into(sample, from.source_vendor_id, delivery)) {
        saturating_increment(undecodable_);
      }
    }
    return delivery;
  }

  CodecResult<std::vector<rtps::OutboundDatagram>> tick_outbound(Elapsed now) {
    return reader_.tick_outbound(now);
  }

  const rtps::ReliableReader& reader() const { return reader_; }
  std::uint64_t undecodable() const { return undecodable_; }

 private:
  rtps::ReliableReader reader_;
  std::uint64_t undecodable_ = 0;
};

}  // namespace nimbrel::discovery
