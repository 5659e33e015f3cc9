// Feeds arbitrary datagrams through the receive path's type lookup dispatch of a participant that
// serves a few types and waits for a reply to its own request: no crash, bounded work, and every
// reply it sends fits one UDP datagram. The standard path sees them too, from a participant whose
// reliable type lookup endpoints are matched, and is ticked after each.
#include <cstdlib>
#include <memory>

#include "dcps/builtin/standard_type_lookup.hpp"
#include "dcps/builtin/type_lookup.hpp"
#include "dcps/runtime/runtime_state.hpp"
#include "discovery/spdp.hpp"
#include "rtps/receiver.hpp"

namespace {

using namespace nimbrel;

constexpr rtps::GuidPrefix own{0x5E, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
// The seeds' replies come from this participant and answer request 1.
constexpr rtps::GuidPrefix asked{0x9E, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};

class CheckingTransport final : public transport::Transport {
 public:
  transport::TransportResult<void> send(const rtps::Locator&,
                                        std::span<const std::byte> bytes) const override {
    if (bytes.size() > transport::max_udp_payload) std::abort();
    return {};
  }
  transport::TransportResult<transport::RawDatagram> recv() const override {
    return std::unexpected(transport::TransportError::timeout());
  }
};

types::EquivalenceHash hash(std::uint8_t first) {
  types::EquivalenceHash h{};
  h.bytes.fill(first);
  return h;
}

std::shared_ptr<dcps::RuntimeState> make_state() {
  auto socket = std::make_shared<CheckingTransport>();
  auto state = std::make_shared<dcps::RuntimeState>(
      0, own, dcps::RuntimeConfig{}, dcps::RuntimeSockets{socket, socket, socket, socket},
      discovery::local_participant_data({.prefix = own}), std::chrono::steady_clock::now());
  const types::TypeIdentifier leaf = types::TypeIdentifier::EquivalenceHashMinimal{hash(0x20)};
  static_cast<void>(dcps::add_type(
      state->participant, hash(0x10),
      {types::MinimalTypeObject{types::MinimalStructType{.members = {{.member_type = leaf}}}}}));
  static_cast<void>(dcps::add_type(
      state->participant, hash(0x20),
      {types::MinimalTypeObject{types::MinimalAliasType{.related_type = leaf}}}));  // a cycle
  dcps::type_lookup_on_participant_discovered(
      state->participant,
      {.data = discovery::local_participant_data(
           {.prefix = asked, .metatraffic_unicast = rtps::Locator::udp_v4({127, 0, 0, 1}, 7411)}),
       .sender_prefix = asked,
       .sender_vendor_id = rtps::nimbrel_vendor_id});
  return state;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto state = make_state();
  static rtps::Receiver receiver(own);
  if (auto client = state->participant.type_lookup_client.lock();
      client && (*client)->pending() == 0) {
    static_cast<void>((*client)->request(
        asked, types::GetTypesRequest{}, [](discovery::TypeLookupOutcome) {}, Elapsed{}));
  }
  auto received = receiver.receive(SharedBytes::copy_of(std::as_bytes(std::span(data, size))));
  received.source = rtps::Locator::udp_v4({127, 0, 0, 1}, 7411);
  dcps::handle_type_lookup(state->participant, received);
  static std::int64_t ticks = 0;
  const Elapsed now{std::chrono::milliseconds(100 * ++ticks)};
  dcps::handle_standard_type_lookup(state->participant, received, now);
  dcps::tick_standard_type_lookup(state->participant, now);
  return 0;
}
