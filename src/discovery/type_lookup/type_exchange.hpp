// The types a participant fetches from remote writers' participants and serves to others, as
// their XCDR2 type objects keyed by hash identifier. When SEDP brings a writer with type
// information, its complete type (else its minimal one) and every dependency are asked for with
// getTypes; replies are matched by the echoed header sequence number and the replier, and an
// object is kept only when the MD5 of its bytes gives its hash. Requests are bounded: a cap on
// those in flight, one per identifier at a time, time-outs with a few retries, a cap on types
// held. Times in, request payloads out; the owner writes them to the type lookup endpoints.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "discovery/type_lookup/rpc.hpp"
#include "foundation/arrival_log.hpp"
#include "foundation/time.hpp"
#include "rtps/publication_data.hpp"
#include "rtps/wire_types.hpp"
#include "types/type_identifier.hpp"

namespace nimbrel::discovery {

// A type object as carried, DHEADER included, with the identifier it hashes to.
struct TypeEntry {
  types::TypeIdentifier type_id{};
  std::vector<std::byte> type_object{};
  friend bool operator==(const TypeEntry&, const TypeEntry&) = default;
};

// A remote writer's type once every object of its closure is held: the top-level one first.
struct WriterType {
  types::TypeIdentifier type_id{};
  std::string type_name{};
  std::vector<TypeEntry> objects{};
};

// Where a writer's type stands: announced without one (or never seen), on its way, held whole, or
// given up on (an object unknown to the replier, unanswered, or with a wrong hash).
enum class TypeState : std::uint8_t { None, Pending, Known, Failed };

// Writers whose type became complete after the generation asked about, and the generation to ask
// with next time. `missed` means older arrivals were dropped from the log: look at every writer.
using TypeArrivals = ArrivalLog<rtps::Guid>::Since;

// A request payload for the named participant's request reader.
struct OutgoingRequest {
  rtps::GuidPrefix replier{};
  std::int64_t sequence_number = 0;  // of its header
  std::vector<std::byte> payload{};
};

struct TypeExchangeSettings {
  std::size_t max_types = 4096;
  std::size_t max_writers = 4096;
  std::size_t max_pending = 64;
  std::size_t max_ids_per_request = 64;
  Duration timeout = std::chrono::seconds(3);
  unsigned max_attempts = 3;
  std::size_t max_reply_bytes = 60'000;
  std::size_t max_arrivals = 1024;
  std::size_t max_closure = 256;  // objects in one writer's type
};

struct TypeExchangeCounters {
  std::uint64_t requests_sent = 0;  // retries included
  std::uint64_t replies = 0;        // matched to a pending request
  std::uint64_t unmatched_replies = 0;
  std::uint64_t timed_out = 0;    // requests that went unanswered in time
  std::uint64_t failed = 0;       // identifiers given up on: no answer after every attempt
  std::uint64_t unknown = 0;      // identifiers a replier did not know
  std::uint64_t bad_hash = 0;     // objects whose MD5 does not give their identifier
  std::uint64_t refused = 0;      // objects or writers past their caps
  std::uint64_t undecodable = 0;  // type parameters of a discovery record that do not decode
  std::uint64_t requests_answered = 0;
};

class TypeExchange {
 public:
  explicit TypeExchange(const rtps::GuidPrefix& own, TypeExchangeSettings settings = {});

  // A writer announced through SEDP: with type information that decodes, its type is fetched;
  // with a whole type object (Fast DDS), that object is its type. A parameter that does not decode
  // is counted and the writer goes on without a type.
  std::vector<OutgoingRequest> on_publication(const rtps::PublicationBuiltinTopicData& publication,
                                              Elapsed now);
  // The same from any other source of a writer's identifiers (a vendor's own type parameters).
  std::vector<OutgoingRequest> want_writer_type(const rtps::Guid& writer, std::string type_name,
                                                const types::TypeIdentifier& type_id,
                                                std::span<const types::TypeIdentifier> dependencies,
                                                Elapsed now);
  void forget_writers(std::span<const rtps::Guid> writers);
  void forget_participants(const std::set<rtps::GuidPrefix>& gone);

  // A type to hold and serve, its dependencies after it; false when an object does not hash to
  // its identifier or the cap is reached. Writers waiting for these objects may become complete.
  bool add_types(std::span<const TypeEntry> closure);

  // A reply from `source`'s reply writer, decoded. Hashes the received objects refer to and that
  // are not held yet are asked for next: the type information may not list them all.
  std::vector<OutgoingRequest> on_reply(const rtps::GuidPrefix& source, const rpc::Reply& reply,
                                        Elapsed now);
  // Gives up a request at once: its replier cannot be asked (it runs no request reader).
  void abandon(std::int64_t sequence_number);
  // Retries or gives up the requests whose time is up, and asks for what waited for room.
  std::vector<OutgoingRequest> expire(Elapsed now);

  // The server's answer, from what is held: found objects for getTypes, the recorded dependencies
  // for getTypeDependencies; unknown identifiers are left out.
  rpc::Reply answer(const rpc::Request& request);

  std::optional<WriterType> writer_type(const rtps::Guid& writer) const;
  TypeState type_state(const rtps::Guid& writer) const;
  TypeArrivals arrivals_since(std::uint64_t generation) const;
  std::size_t types_known() const { return held_.size(); }
  std::size_t pending() const { return pending_.size(); }
  const TypeExchangeCounters& counters() const { return counters_; }

 private:
  // A hash identifier: EK_MINIMAL or EK_COMPLETE and the 14 bytes.
  struct HashKey {
    std::uint8_t kind = 0;
    types::EquivalenceHash hash{};
    friend auto operator<=>(const HashKey&, const HashKey&) = default;
  };
  struct Held {
    std::vector<std::byte> bytes;
    std::vector<HashKey> references;  // the hashes the object refers to, of its own kind
  };
  struct WriterRecord {
    std::string type_name;
    HashKey top;
    std::vector<HashKey> closure;  // top first
    bool complete = false;
  };
  struct Pending {
    rtps::GuidPrefix replier;
    std::vector<HashKey> ids;
    Elapsed deadline;
    unsigned attempts = 0;
  };

  static std::optional<HashKey> key_of(const types::TypeIdentifier& id);
  static types::TypeIdentifier identifier(const HashKey& key);
  static bool hashes_to(const HashKey& key, std::span<const std::byte> bytes);
  static std::vector<HashKey> references_of(const HashKey& key, std::span<const std::byte> bytes);

  bool hold(const HashKey& key, std::vector<std::byte> bytes);
  void record_dependencies(const HashKey& top, std::span<const HashKey> dependencies);
  std::vector<OutgoingRequest> ask_wanted(Elapsed now);
  OutgoingRequest send(Pending pending, Elapsed now);
  void update_writers();
  void give_up(std::span<const HashKey> keys);

  rtps::GuidPrefix own_;
  TypeExchangeSettings settings_;
  std::int64_t next_sn_ = 1;
  std::map<HashKey, Held> held_;
  std::map<HashKey, std::vector<HashKey>> dependencies_;  // as the type information listed them
  std::map<rtps::Guid, WriterRecord> writers_;
  std::map<HashKey, rtps::GuidPrefix> wanted_;  // not yet asked: whom to ask
  std::set<HashKey> in_flight_;
  // Unknown to the replier, unanswered or hashing wrong: not asked again until a writer that
  // needs them is announced.
  std::set<HashKey> failed_;
  std::map<std::int64_t, Pending> pending_;  // by header sequence number
  ArrivalLog<rtps::Guid> arrivals_;
  TypeExchangeCounters counters_{};
};

}  // namespace nimbrel::discovery
