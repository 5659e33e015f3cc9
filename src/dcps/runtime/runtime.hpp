// One running DDS domain participant: `DcpsRuntime::start` binds its four sockets, builds the
// shared protocol state and starts its four threads. Callers hold it through a shared pointer;
// when the last of them lets go, the runtime stops and joins its threads. The threads share only
// the inner state, so they never keep a released runtime running.
#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "dcps/builtin/builtin_delivery.hpp"
#include "dcps/builtin/type_lookup.hpp"
#include "dcps/participant/runtime_config.hpp"
#include "dcps/readers/user_reader.hpp"
#include "dcps/runtime/runtime_state.hpp"
#include "dcps/runtime/runtime_thread.hpp"
#include "dcps/writers/user_writer.hpp"
#include "discovery/spdp.hpp"
#include "discovery/type_lookup/type_exchange.hpp"
#include "foundation/guarded.hpp"
#include "rtps/participant_data.hpp"
#include "rtps/publication_data.hpp"
#include "rtps/subscription_data.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::dcps {

enum class StartError {
  DomainIdTooLarge,
  SpdpMulticastBind,
  SpdpMulticastSetTimeout,
  SpdpUnicastBind,
  SpdpUnicastSetTimeout,
  UserUnicastBind,
  UserUnicastSetTimeout,
  SpdpMcTxBind,
  SpawnRecvSpdpMc,
  SpawnRecvMeta,
  SpawnRecvUser,
  SpawnTick,
  HandlesPoisoned,
};
const char* to_string(StartError error);

struct RemoteWriter {
  rtps::PublicationBuiltinTopicData publication;
  // Empty when its participant has already gone.
  std::optional<discovery::DiscoveredParticipant> participant;
};

class DcpsRuntime {
 public:
  // Threads in start order; the system sees each name cut to 15 bytes.
  static constexpr const char* thread_names[] = {"nbrl-recv-spdp-mc", "nbrl-recv-meta",
                                                 "nbrl-recv-user", "nbrl-tick"};

  static std::expected<std::shared_ptr<DcpsRuntime>, StartError> start(
      std::uint32_t domain_id, const rtps::GuidPrefix& prefix, RuntimeConfig config);

  DcpsRuntime(const DcpsRuntime&) = delete;
  DcpsRuntime& operator=(const DcpsRuntime&) = delete;
  ~DcpsRuntime();

  // Sets the stop flag and joins the threads in start order; later calls find nothing to join.
  // A failed join ends the process.
  void shutdown();

  // Copies taken under the component's lock; empty when that lock is poisoned.
  std::vector<discovery::DiscoveredParticipant> discovered_participants() const;
  std::map<rtps::Guid, rtps::PublicationBuiltinTopicData> discovered_publications() const;
  std::map<rtps::Guid, rtps::SubscriptionBuiltinTopicData> discovered_subscriptions() const;
  // The topics and types of the remote writers announced or changed after `generation` (0 at
  // first); when older ones were missed, those of every writer known. Repeats are possible.
  ArrivalLog<TopicType>::Since writer_topics_since(std::uint64_t generation) const;
  // A remote writer as discovery knows it now; empty once it has gone (or was never seen).
  std::optional<RemoteWriter> describe_writer(const rtps::Guid& writer) const;

  // A user reader for one topic: its entity id and the receiving side of its sample queue.
  std::expected<RegisteredUserReader, RegisterError> register_user_reader(UserReaderConfig config);
  // False when no reader has that id; nullopt removes the listener.
  bool set_user_reader_listener(const rtps::EntityId& reader, std::optional<UserListener> listener);

  // A user writer for one topic; see `write_user_sample` for what `write` takes.
  std::expected<rtps::EntityId, WriterError> register_user_writer(UserWriterConfig config);
  std::expected<void, WriterError> write(const rtps::EntityId& writer,
                                         std::span<const std::byte> serialized);
  bool assert_liveliness(const rtps::EntityId& writer);
  // Empty when no writer has that id or its slot is poisoned.
  std::optional<WriterProgress> writer_progress(const rtps::EntityId& writer) const;

  // A type this participant serves to remote type lookups, under the hash the caller gives it.
  std::expected<void, AddTypeError> add_type(const types::EquivalenceHash& hash,
                                             types::TypeObject object);
  // Asks a discovered participant; the callback runs once, on a runtime thread or in this call.
  std::expected<discovery::TypeLookupClient::RequestId, TypeLookupRequestError> request_type_lookup(
      const rtps::GuidPrefix& replier, const discovery::TypeLookupRequest& request,
      discovery::TypeLookupCallback callback);

  // A remote writer's type once every object of its closure was fetched and its hash checked:
  // the top-level identifier, the type name and each type object as XCDR2 bytes.
  std::optional<discovery::WriterType> writer_type(const rtps::Guid& writer) const;
  // Whether the writer's type is on its way, known, given up on, or was never announced.
  discovery::TypeState type_state(const rtps::Guid& writer) const;
  // The writers whose type became known after `generation` (0 at first); pass the returned
  // generation next time.
  discovery::TypeArrivals type_arrivals_since(std::uint64_t generation) const;
  // Types this participant serves to standard type lookups (replay adds recorded ones), the
  // top-level type first; false when one does not hash to its identifier or the cap is reached.
  bool add_type_objects(std::span<const discovery::TypeEntry> closure);

  // Builtin topics: sinks installed here are filled with what is known and then with every new or
  // changed sample; the ignore filter keeps what it names out of them.
  void install_builtin_sinks(std::shared_ptr<BuiltinSinks> sinks);
  void install_ignore_filter(std::shared_ptr<IgnoreFilter> filter);

  // What SPDP announces for this participant, announced locators included.
  const rtps::ParticipantBuiltinTopicData& local_participant() const {
    return state_->participant.local_participant;
  }

 private:
  // Tests look inside through it; it is defined only there.
  friend struct RuntimeInternals;

  explicit DcpsRuntime(std::shared_ptr<RuntimeState> state) : state_(std::move(state)) {}

  std::shared_ptr<RuntimeState> state_;
  Guarded<std::vector<RuntimeThread>> threads_;  // start order; API threads: start, shutdown
};

}  // namespace nimbrel::dcps
