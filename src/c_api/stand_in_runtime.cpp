#include "c_api/stand_in_runtime.hpp"

#include <utility>

namespace nimbrel::c_api {
namespace {

std::atomic<std::size_t> alive_runtimes{0};

}  // namespace

std::shared_ptr<StandInRuntime> StandInRuntime::start(std::uint32_t domain_id,
                                                      rtps::GuidPrefix prefix) {
  return std::shared_ptr<StandInRuntime>(new StandInRuntime(domain_id, prefix));
}

StandInRuntime::StandInRuntime(std::uint32_t domain_id, rtps::GuidPrefix prefix)
    : domain_id_(domain_id), prefix_(prefix) {
  alive_runtimes.fetch_add(1);
}

StandInRuntime::~StandInRuntime() {
  alive_runtimes.fetch_sub(1);
}

rtps::EntityId StandInRuntime::register_user_reader(const std::string& /*topic_name*/,
                                                    const std::string& /*type_name*/,
                                                    bool /*reliable*/) {
  const std::uint32_t key = next_reader_key_.fetch_add(1);
  return rtps::make_entity_id(static_cast<std::uint8_t>(key >> 16),
                              static_cast<std::uint8_t>(key >> 8), static_cast<std::uint8_t>(key),
                              rtps::EntityKind::UserReaderWithKey);
}

std::size_t StandInRuntime::alive() {
  return alive_runtimes.load();
}

std::optional<std::vector<std::uint8_t>> SampleReceiver::try_receive() {
  if (pending.empty()) return std::nullopt;
  auto payload = std::move(pending.front());
  pending.pop_front();
  return payload;
}

}  // namespace nimbrel::c_api
