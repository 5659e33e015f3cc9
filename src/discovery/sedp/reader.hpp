// The two SEDP detectors (DDSI-RTPS 2.5 section 8.5.4): builtin readers whose in-order samples are
// decoded into publication or subscription records. The stack routes the submessages of remote
// SEDP announcers here; writer proxies are added per discovered participant.
#pragma once

#include <cstddef>
#include <vector>

#include "discovery/builtin_reader.hpp"
#include "rtps/fragment_assembler.hpp"
#include "rtps/publication_data.hpp"
#include "rtps/reliable_reader.hpp"
#include "rtps/subscription_data.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::discovery {

// What one submessage released: records announced (or announced again) and the endpoints their
// writers disposed or unregistered, each list in delivery order.
template <typename Record>
struct SedpDelivery {
  std::vector<Record> records;
  std::vector<rtps::Guid> removed;
};

template <typename Record>
struct SedpRecordDecoder {
  using Delivery = SedpDelivery<Record>;
  static constexpr std::size_t max_samples = 256;
  static constexpr rtps::AssemblerCaps assembler_caps{
      .max_pending_sns = 64,
      .max_sample_size = 1'048'576,
      .max_fragment_size = 65'535,
  };
  // An alive sample is a record; a disposed or unregistered one names the endpoint that left.
  static bool decode_into(const rtps::DeliveredSample& sample, rtps::VendorId vendor,
                          Delivery& delivery);
};

template <typename Record>
using SedpDetector = BuiltinReader<SedpRecordDecoder<Record>>;
using SedpPublicationsReader = SedpDetector<rtps::PublicationBuiltinTopicData>;
using SedpSubscriptionsReader = SedpDetector<rtps::SubscriptionBuiltinTopicData>;

}  // namespace nimbrel::discovery
