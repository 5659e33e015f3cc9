// The announced record of a local user endpoint, filled from its registration settings: readers
// and writers announce the same QoS fields from settings of the same names.
#pragma once

#include <utility>

#include "dcps/participant/participant.hpp"
#include "rtps/publication_data.hpp"

namespace nimbrel::dcps {

// Takes the names and lists over from `config`; without its own representations the endpoint
// announces the runtime's.
template <typename Config>
void fill_endpoint_record(const Participant& participant, const rtps::Guid& guid, Config& config,
                          rtps::EndpointBuiltinTopicData& record) {
  record.participant_guid = {participant.prefix, rtps::entity_ids::participant};
  record.endpoint_guid = guid;
  record.topic_name = std::move(config.topic_name);
  record.type_name = std::move(config.type_name);
  record.durability = config.durability;
  record.reliability.kind =
      config.reliable ? rtps::ReliabilityKind::Reliable : rtps::ReliabilityKind::BestEffort;
  record.ownership = config.ownership;
  record.liveliness = config.liveliness;
  record.deadline = config.deadline;
  record.partition = std::move(config.partitions);
  record.user_data = std::move(config.user_data);
  record.topic_data = std::move(config.topic_data);
  record.group_data = std::move(config.group_data);
  record.type_identifier = std::move(config.type_identifier);
  if constexpr (requires { config.type_information; })
    record.type_information = std::move(config.type_information);
  record.data_representation = config.data_representations
                                   ? std::move(*config.data_representations)
                                   : participant.config.data_representations;
}

}  // namespace nimbrel::dcps
