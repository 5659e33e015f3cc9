#include "dcps/matching.hpp"

#include <string>
#include <utility>

#include "dcps/match_candidates.hpp"
#include "dcps/matching_rules.hpp"
#include "dcps/runtime_state.hpp"
#include "dcps/status.hpp"

namespace nimbrel::dcps {
namespace {

// Refreshing the locators of a known writer, or a fresh proxy for a new one; never a fresh proxy
// for a known writer, which would drop what it has received and deliver again from scratch.
void accept_writer(UserReaderSlot& slot, const rtps::PublicationBuiltinTopicData& writer,
                   std::vector<rtps::Locator> locators) {
  const rtps::Guid& guid = writer.endpoint_guid;
  if (const auto* known = slot.reader.writer_proxy_state(guid)) {
    if (known->proxy.unicast_locators != locators || !known->proxy.multicast_locators.empty()) {
      slot.reader.set_writer_locators(guid, std::move(locators), {});
    }
  } else {
    slot.reader.add_writer_proxy(
        rtps::WriterProxy{.unicast_locators = std::move(locators), .remote_writer_guid = guid});
  }
  slot.matched_writers.insert_or_assign(guid, writer.ownership_strength);
}

}  // namespace

std::vector<rtps::Locator> remote_user_locators(RuntimeState& state,
                                                const rtps::GuidPrefix& participant) {
  auto participants = state.participants.lock();
  if (!participants) return {};
  const auto* known = (*participants)->find(participant);
  if (known == nullptr || !known->data.default_unicast_locator) return {};
  return {*known->data.default_unicast_locator};
}

void match_local_reader_against_cache(RuntimeState& state, const rtps::EntityId& reader) {
  const SharedReaderSlot shared = state.user_readers.find(reader);
  if (!shared) return;
  auto candidates = match_candidates(
      state, *shared, &UserReaderSlot::subscription,
      [](const auto& cache) -> const auto& { return cache.publications(); });

  for (auto& candidate : candidates) {
    auto locators = remote_user_locators(state, candidate.endpoint_guid.prefix);
    // Reconsidered at the next matching run, once the participant is known.
    if (locators.empty()) continue;
    auto slot = shared->lock();
    if (!slot) continue;
    UserReaderSlot& local = **slot;
    if (auto refused = check_remote_writer(candidate, endpoint_qos(local.subscription))) {
      record_incompatible(local.requested_incompatible_qos, *refused);
      continue;
    }
    accept_writer(local, candidate, std::move(locators));
  }
}

void match_local_readers_against_cache(RuntimeState& state) {
  for (const auto& [id, slot] : state.user_readers.snapshot()) {
    match_local_reader_against_cache(state, id);
  }
}

}  // namespace nimbrel::dcps
