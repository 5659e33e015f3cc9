// The asking half of the XTypes type lookup service: numbers the participant's own requests,
// keeps each one's one-shot callback until the reply from the participant it asked comes back,
// and gives up on requests that are not answered in time or that crowd out newer ones. Every
// callback is handed back to the caller as a `Completion`, to be run after the client's lock is
// released: a callback may use the client again. Time and bytes in, datagrams out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "discovery/type_lookup/message.hpp"
#include "foundation/time.hpp"
#include "rtps/submessages.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::discovery {

enum class TypeLookupFailure {
  TimedOut,  // no reply within the request timeout
  Evicted,   // pushed out by newer requests while the pending list was full
};

using TypeLookupOutcome = std::expected<TypeLookupReply, TypeLookupFailure>;
using TypeLookupCallback = std::move_only_function<void(TypeLookupOutcome)>;

// A callback with the outcome it is owed, called exactly once.
struct Completion {
  TypeLookupCallback callback;
  TypeLookupOutcome outcome;

  void run() && { callback(std::move(outcome)); }
};

struct TypeLookupClientSettings {
  std::uint64_t first_request_id = 1;
  std::size_t max_pending = 256;
  Duration request_timeout = std::chrono::seconds(10);
};

struct TypeLookupClientCounters {
  std::uint64_t requests = 0;           // sent
  std::uint64_t replies = 0;            // matched to a pending request
  std::uint64_t unmatched_replies = 0;  // no pending request of that replier and number
  std::uint64_t malformed_replies = 0;  // matched, but not the reply the request asked for
  std::uint64_t timed_out = 0;
  std::uint64_t evicted = 0;
};

class TypeLookupClient {
 public:
  using RequestId = std::uint64_t;

  struct Sent {
    RequestId id = 0;
    std::vector<std::byte> datagram;
    std::optional<Completion> evicted;  // the oldest request, when it had to make room
  };

  explicit TypeLookupClient(const rtps::GuidPrefix& own, TypeLookupClientSettings settings = {});

  // Registers the request as the next number and encodes it for `replier`'s request reader.
  CodecResult<Sent> request(const rtps::GuidPrefix& replier, const TypeLookupRequest& request,
                            TypeLookupCallback callback, Elapsed now);

  // A DATA addressed to our reply reader, from `source`'s participant. It completes a request
  // only if it comes from the reply writer of the participant asked and carries the request's
  // number; one that does not decode as the reply asked for leaves the request waiting.
  std::optional<Completion> handle_reply(const rtps::GuidPrefix& source,
                                         const rtps::DataSubmessage& reply);

  // The requests whose time is up, oldest first.
  std::vector<Completion> expire(Elapsed now);
  std::optional<Elapsed> next_deadline() const;

  std::size_t pending() const { return pending_.size(); }
  const TypeLookupClientCounters& counters() const { return counters_; }

 private:
  struct Key {
    rtps::Guid replier;  // the reply writer that must answer
    RequestId id = 0;
    friend auto operator<=>(const Key&, const Key&) = default;
  };
  struct Pending {
    bool dependencies = false;  // which reply to decode
    TypeLookupCallback callback;
    Elapsed deadline;
  };

  Completion give_up(Key key, TypeLookupFailure why);  // by value: it may live in order_

  rtps::GuidPrefix own_;
  TypeLookupClientSettings settings_;
  RequestId next_id_;
  std::map<Key, Pending> pending_;
  std::deque<Key> order_;  // oldest first; with one timeout for all, also deadline order
  TypeLookupClientCounters counters_{};
};

}  // namespace nimbrel::discovery
