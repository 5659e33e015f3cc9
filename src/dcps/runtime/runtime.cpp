#include "dcps/runtime/runtime.hpp"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "dcps/builtin/standard_type_lookup.hpp"
#include "dcps/runtime/announce_locator.hpp"
#include "dcps/runtime/goodbye.hpp"
#include "dcps/runtime/receive.hpp"
#include "dcps/runtime/thread_tuning.hpp"
#include "dcps/runtime/tick_loop.hpp"
#include "foundation/fatal.hpp"
#include "transport/udp_transport.hpp"

namespace nimbrel::dcps {
namespace {

using transport::UdpTransport;

constexpr transport::Ipv4Address any_address{0, 0, 0, 0};
// Bounds how long a receive thread takes to see the stop flag.
constexpr Duration receive_timeout = std::chrono::seconds(1);

using Bound = std::expected<std::shared_ptr<const UdpTransport>, StartError>;

// Said once per process, as a capped buffer is the host's setting, not this runtime's.
void report_capped_buffer(std::size_t wanted, std::size_t granted) {
  static std::atomic<bool> said{false};
  if (said.exchange(true)) return;
  std::fprintf(stderr,
               "nbrl[runtime]: receive buffer of %zu bytes capped at %zu bytes; bursts may be "
               "lost. Raise the cap with: sysctl -w net.core.rmem_max=%zu\n",
               wanted, granted, wanted);
}

Bound receiving(std::expected<UdpTransport, std::error_code> bound, StartError bind_error,
                StartError timeout_error, std::size_t buffer_bytes) {
  if (!bound) return std::unexpected(bind_error);
  auto timed = std::move(*bound).with_timeout(receive_timeout);
  if (!timed) return std::unexpected(timeout_error);
  if (const auto granted = timed->request_receive_buffer(buffer_bytes); granted < buffer_bytes) {
    report_capped_buffer(buffer_bytes, granted);
  }
  return std::make_shared<const UdpTransport>(std::move(*timed));
}

struct ThreadPlan {
  const char* name;
  const char* label;
  StartError spawn_error;
  void (*body)(const std::shared_ptr<RuntimeState>&);
  bool tick;
};

constexpr ThreadPlan thread_plans[] = {
    {DcpsRuntime::thread_names[0], "recv-spdp-mc", StartError::SpawnRecvSpdpMc,
     &recv_spdp_multicast_loop, false},
    {DcpsRuntime::thread_names[1], "recv-meta", StartError::SpawnRecvMeta, &recv_metatraffic_loop,
     false},
    {DcpsRuntime::thread_names[2], "recv-user", StartError::SpawnRecvUser, &recv_user_loop, false},
    {DcpsRuntime::thread_names[3], "tick", StartError::SpawnTick, &tick_loop, true},
};

void join_all(std::vector<RuntimeThread>& threads) {
  for (auto& thread : threads) {
    if (const int rc = thread.join(); rc != 0) {
      fatal("failed to join thread: " + std::string(std::strerror(rc)));
    }
  }
  threads.clear();
}

// On failure the threads already running are stopped and joined, so nothing outlives the error.
std::expected<std::vector<RuntimeThread>, StartError> spawn_threads(
    const std::shared_ptr<RuntimeState>& state) {
  std::vector<RuntimeThread> threads;
  for (const ThreadPlan& plan : thread_plans) {
    const auto& config = state->participant.config;
    auto priority = plan.tick ? config.tick_thread_priority : config.recv_thread_priority;
    auto cpus = plan.tick ? config.tick_thread_cpus : config.recv_thread_cpus;
    auto spawned = RuntimeThread::spawn(plan.name, [state, plan, priority, cpus = std::move(cpus)] {
      apply_thread_tuning(plan.label, priority, cpus);
      plan.body(state);
    });
    if (!spawned) {
      state->stop.store(true, std::memory_order_release);
      join_all(threads);
      return std::unexpected(plan.spawn_error);
    }
    threads.push_back(std::move(*spawned));
  }
  return threads;
}

}  // namespace

const char* to_string(StartError error) {
  switch (error) {
    case StartError::DomainIdTooLarge:
      return "domain_id too large for SPDP port mapping";
    case StartError::SpdpMulticastBind:
      return "spdp multicast bind";
    case StartError::SpdpMulticastSetTimeout:
      return "spdp multicast set_timeout";
    case StartError::SpdpUnicastBind:
      return "spdp unicast bind";
    case StartError::SpdpUnicastSetTimeout:
      return "spdp unicast set_timeout";
    case StartError::UserUnicastBind:
      return "user unicast bind";
    case StartError::UserUnicastSetTimeout:
      return "user unicast set_timeout";
    case StartError::SpdpMcTxBind:
      return "spdp mc-tx bind";
    case StartError::SpawnRecvSpdpMc:
      return "spawn nbrl-recv-spdp-mc thread";
    case StartError::SpawnRecvMeta:
      return "spawn nbrl-recv-meta thread";
    case StartError::SpawnRecvUser:
      return "spawn nbrl-recv-user thread";
    case StartError::SpawnTick:
      return "spawn nbrl-tick thread";
    case StartError::HandlesPoisoned:
      return "runtime handles mutex poisoned";
  }
  return "unknown start error";
}

std::expected<std::shared_ptr<DcpsRuntime>, StartError> DcpsRuntime::start(
    std::uint32_t domain_id, const rtps::GuidPrefix& prefix, RuntimeConfig config) {
  const auto spdp_port = discovery::spdp_multicast_port(domain_id);
  if (!spdp_port) return std::unexpected(StartError::DomainIdTooLarge);

  const std::size_t buffer = config.receive_buffer_bytes;
  auto spdp_multicast =
      receiving(UdpTransport::bind_multicast_v4(config.spdp_multicast_group,
                                                static_cast<std::uint16_t>(*spdp_port),
                                                config.multicast_interface),
                StartError::SpdpMulticastBind, StartError::SpdpMulticastSetTimeout, buffer);
  if (!spdp_multicast) return std::unexpected(spdp_multicast.error());
  auto metatraffic = receiving(UdpTransport::bind_v4(any_address, 0), StartError::SpdpUnicastBind,
                               StartError::SpdpUnicastSetTimeout, buffer);
  if (!metatraffic) return std::unexpected(metatraffic.error());
  auto user = receiving(UdpTransport::bind_v4(any_address, 0), StartError::UserUnicastBind,
                        StartError::UserUnicastSetTimeout, buffer);
  if (!user) return std::unexpected(user.error());
  auto multicast_tx = UdpTransport::bind_v4(any_address, 0);
  if (!multicast_tx) return std::unexpected(StartError::SpdpMcTxBind);

  const discovery::LocalParticipant local{
      .prefix = prefix,
      .domain_id = domain_id,
      .metatraffic_unicast =
          announce_locator((*metatraffic)->local_locator(), config.multicast_interface),
      .default_unicast = announce_locator((*user)->local_locator(), config.multicast_interface),
      .spdp_multicast_group = config.spdp_multicast_group,
      .spdp_port = *spdp_port,
      .lease_duration = config.lease_duration,
      .user_data = config.user_data,
      .secure_builtin_endpoints = config.secure_builtin_endpoints,
  };
  RuntimeSockets sockets{
      .spdp_multicast_rx = std::move(*spdp_multicast),
      .metatraffic_rx = std::move(*metatraffic),
      .user_rx = std::move(*user),
      .multicast_tx = std::make_shared<const UdpTransport>(std::move(*multicast_tx)),
  };
  auto state = std::make_shared<RuntimeState>(
      domain_id, prefix, std::move(config), std::move(sockets),
      discovery::local_participant_data(local), std::chrono::steady_clock::now());

  auto threads = spawn_threads(state);
  if (!threads) return std::unexpected(threads.error());
  std::shared_ptr<DcpsRuntime> runtime(new DcpsRuntime(state));
  auto handles = runtime->threads_.lock();
  if (!handles) {
    state->stop.store(true, std::memory_order_release);
    join_all(*threads);
    return std::unexpected(StartError::HandlesPoisoned);
  }
  **handles = std::move(*threads);
  return runtime;
}

DcpsRuntime::~DcpsRuntime() {
  shutdown();
}

void DcpsRuntime::shutdown() {
  std::vector<RuntimeThread> threads;
  if (auto handles = threads_.lock()) {
    threads = std::move(**handles);
    (*handles)->clear();
  }
  // Only the first call finds the threads, so the goodbye is said once, while everything runs.
  if (!threads.empty()) say_goodbye(*state_);
  state_->stop.store(true, std::memory_order_release);
  if (threads.empty()) return;
  // The receive threads would otherwise see the flag only at their next time-out.
  for (const auto& socket :
       {state_->participant.sockets.spdp_multicast_rx, state_->participant.sockets.metatraffic_rx,
        state_->participant.sockets.user_rx}) {
    socket->stop_receiving();
  }
  join_all(threads);
}

std::vector<discovery::DiscoveredParticipant> DcpsRuntime::discovered_participants() const {
  std::vector<discovery::DiscoveredParticipant> out;
  if (auto participants = state_->participant.participants.lock()) {
    out.reserve((*participants)->size());
    for (const auto& [prefix, participant] : (*participants)->entries())
      out.push_back(participant);
  }
  return out;
}

std::map<rtps::Guid, rtps::PublicationBuiltinTopicData> DcpsRuntime::discovered_publications()
    const {
  std::map<rtps::Guid, rtps::PublicationBuiltinTopicData> out;
  if (auto sedp = state_->participant.sedp.lock()) {
    for (const auto& [guid, entry] : (*sedp)->cache().publications())
      out.emplace(guid, entry.first);
  }
  return out;
}

ArrivalLog<TopicType>::Since DcpsRuntime::writer_topics_since(std::uint64_t generation) const {
  ArrivalLog<TopicType>::Since out;
  if (auto log = state_->participant.writer_topics.lock()) out = (*log)->since(generation);
  if (!out.missed) return out;
  out.items.clear();
  for (const auto& [guid, publication] : discovered_publications())
    out.items.push_back({publication.topic_name, publication.type_name});
  return out;
}

std::optional<RemoteWriter> DcpsRuntime::describe_writer(const rtps::Guid& writer) const {
  std::optional<RemoteWriter> out;
  if (auto sedp = state_->participant.sedp.lock()) {
    const auto& publications = (*sedp)->cache().publications();
    if (auto it = publications.find(writer); it != publications.end())
      out = RemoteWriter{.publication = it->second.first, .participant = std::nullopt};
  }
  if (!out) return out;
  // One component lock at a time: the participants' after the SEDP cache's is released.
  if (auto participants = state_->participant.participants.lock()) {
    if (const auto* participant = (*participants)->find(writer.prefix))
      out->participant = *participant;
  }
  return out;
}

std::optional<discovery::WriterType> DcpsRuntime::writer_type(const rtps::Guid& writer) const {
  return dcps::writer_type(state_->participant, writer);
}

discovery::TypeState DcpsRuntime::type_state(const rtps::Guid& writer) const {
  return dcps::type_state(state_->participant, writer);
}

discovery::TypeArrivals DcpsRuntime::type_arrivals_since(std::uint64_t generation) const {
  return dcps::type_arrivals_since(state_->participant, generation);
}

bool DcpsRuntime::add_type_objects(std::span<const discovery::TypeEntry> closure) {
  return dcps::add_type_objects(state_->participant, closure);
}

std::map<rtps::Guid, rtps::SubscriptionBuiltinTopicData> DcpsRuntime::discovered_subscriptions()
    const {
  std::map<rtps::Guid, rtps::SubscriptionBuiltinTopicData> out;
  if (auto sedp = state_->participant.sedp.lock()) {
    for (const auto& [guid, entry] : (*sedp)->cache().subscriptions()) {
      out.emplace(guid, entry.first);
    }
  }
  return out;
}

std::expected<RegisteredUserReader, RegisterError> DcpsRuntime::register_user_reader(
    UserReaderConfig config) {
  return dcps::register_user_reader(state_->participant, state_->readers, std::move(config));
}

bool DcpsRuntime::set_user_reader_listener(const rtps::EntityId& reader,
                                           std::optional<UserListener> listener) {
  return dcps::set_user_reader_listener(state_->readers, reader, std::move(listener));
}

std::expected<rtps::EntityId, WriterError> DcpsRuntime::register_user_writer(
    UserWriterConfig config) {
  return dcps::register_user_writer(state_->participant, state_->writers, std::move(config));
}

std::expected<void, WriterError> DcpsRuntime::write(const rtps::EntityId& writer,
                                                    std::span<const std::byte> serialized) {
  return write_user_sample(state_->participant, state_->writers, writer, serialized);
}

bool DcpsRuntime::assert_liveliness(const rtps::EntityId& writer) {
  return assert_user_writer_liveliness(state_->participant, state_->writers, writer);
}

std::optional<WriterProgress> DcpsRuntime::writer_progress(const rtps::EntityId& writer) const {
  return dcps::writer_progress(state_->writers, writer);
}

std::expected<void, AddTypeError> DcpsRuntime::add_type(const types::EquivalenceHash& hash,
                                                        types::TypeObject object) {
  return dcps::add_type(state_->participant, hash, std::move(object));
}

std::expected<discovery::TypeLookupClient::RequestId, TypeLookupRequestError>
DcpsRuntime::request_type_lookup(const rtps::GuidPrefix& replier,
                                 const discovery::TypeLookupRequest& request,
                                 discovery::TypeLookupCallback callback) {
  return dcps::request_type_lookup(state_->participant, replier, request, std::move(callback));
}

void DcpsRuntime::install_builtin_sinks(std::shared_ptr<BuiltinSinks> sinks) {
  dcps::install_builtin_sinks(state_->participant, state_->builtin, std::move(sinks));
}

void DcpsRuntime::install_ignore_filter(std::shared_ptr<IgnoreFilter> filter) {
  dcps::install_ignore_filter(state_->builtin, std::move(filter));
}

}  // namespace nimbrel::dcps
