// The participant volatile message secure endpoints (DDS-Security 1.2 section 7.4.4): a builtin
// reader whose in-order samples are decoded into generic messages, and a reliable writer whose
// history is as small as the readers' caps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "discovery/builtin_reader.hpp"
#include "rtps/fragment_assembler.hpp"
#include "rtps/reliable_reader.hpp"
#include "rtps/reliable_writer.hpp"
#include "rtps/wire_types.hpp"
#include "security/generic_message.hpp"

namespace nimbrel::discovery {

using GenericMessages = std::vector<security::ParticipantGenericMessage>;

inline constexpr std::uint32_t volatile_secure_max_samples = 64;

struct GenericMessageDecoder {
  using Delivery = GenericMessages;
  static constexpr std::size_t max_samples = volatile_secure_max_samples;
  // Caps that fit the messages: one body of at most 262,144 bytes plus its encapsulation header,
  // a few in flight per writer, instead of the 64 x 1 MiB a user reader may reassemble.
  static constexpr rtps::AssemblerCaps assembler_caps{
      .max_pending_sns = 4,
      .max_sample_size = security::ParticipantGenericMessage::max_body_bytes + 4,
      .max_fragment_size = 65'535,
  };
  // A disposed or unregistered sample carries no message and is passed over.
  static bool decode_into(const rtps::DeliveredSample& sample, rtps::VendorId vendor,
                          Delivery& delivery);
};

using VolatileSecureMessageReader = BuiltinReader<GenericMessageDecoder>;

rtps::ReliableWriter make_volatile_secure_writer(const rtps::Guid& guid, rtps::VendorId vendor_id);

}  // namespace nimbrel::discovery
