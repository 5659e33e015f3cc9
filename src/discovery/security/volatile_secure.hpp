// The participant volatile message secure reader (DDS-Security 1.2 section 7.4.4): a reliable
// reader whose in-order samples are decoded into generic messages. A sample that does not decode
// is counted and passed over; the good ones around it are delivered, as the reliable reader has
// already released them all and would never offer them again.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "foundation/time.hpp"
#include "rtps/reliable_reader.hpp"
#include "rtps/reliable_writer.hpp"
#include "rtps/submessages.hpp"
#include "rtps/wire_types.hpp"
#include "security/generic_message.hpp"

namespace nimbrel::discovery {

using GenericMessages = std::vector<security::ParticipantGenericMessage>;

// Caps that fit the messages: one body of at most 262,144 bytes plus its encapsulation header,
// a few in flight per writer, instead of the 64 x 1 MiB a user reader may reassemble.
inline constexpr rtps::AssemblerCaps volatile_secure_assembler_caps{
    .max_pending_sns = 4,
    .max_sample_size = security::ParticipantGenericMessage::max_body_bytes + 4,
    .max_fragment_size = 65'535,
};
inline constexpr std::uint32_t volatile_secure_max_samples = 64;

class VolatileSecureMessageReader {
 public:
  VolatileSecureMessageReader(const rtps::Guid& guid, rtps::VendorId vendor_id);

  void add_writer_proxy(rtps::WriterProxy proxy) { reader_.add_writer_proxy(std::move(proxy)); }
  std::size_t remove_writer_proxies_if(const std::function<bool(const rtps::Guid&)>& gone) {
    return reader_.remove_writer_proxies_if(gone);
  }

  GenericMessages handle_data(const rtps::GuidPrefix& source, const rtps::DataSubmessage& data);
  GenericMessages handle_data_frag(const rtps::GuidPrefix& source,
                                   const rtps::DataFragSubmessage& frag, Elapsed now);
  GenericMessages handle_gap(const rtps::GuidPrefix& source, const rtps::GapSubmessage& gap);
  GenericMessages handle_heartbeat(const rtps::GuidPrefix& source,
                                   const rtps::HeartbeatSubmessage& heartbeat, Elapsed now);

  CodecResult<std::vector<rtps::OutboundDatagram>> tick_outbound(Elapsed now) {
    return reader_.tick_outbound(now);
  }

  const rtps::ReliableReader& reader() const { return reader_; }
  std::uint64_t undecodable_messages() const { return undecodable_; }

 private:
  GenericMessages decode(const std::vector<rtps::DeliveredSample>& samples);

  rtps::ReliableReader reader_;
  std::uint64_t undecodable_ = 0;
};

// The volatile secure writer: reliable, its history as small as its readers' caps.
rtps::ReliableWriter make_volatile_secure_writer(const rtps::Guid& guid, rtps::VendorId vendor_id);

}  // namespace nimbrel::discovery
