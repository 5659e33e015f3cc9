// Simple participant discovery (DDSI-RTPS 2.5 section 8.5.3): `SpdpBeacon` turns the local
// participant's data into one announcement datagram per call, `SpdpReader` reads the departures and
// announcements of a received datagram, and `DiscoveredParticipantsCache` keeps every participant
// heard so far. The runtime guards each of them and does the sending and receiving.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "foundation/shared_bytes.hpp"
#include "foundation/time.hpp"
#include "rtps/participant_data.hpp"
#include "rtps/receiver.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::discovery {

// Builtin endpoint sets announced by this system: the plain builtin endpoints (bits 12 to 15: the
// type lookup request and reply writers and readers), and with them the DDS-Security endpoints it
// runs, the stateless and volatile secure message endpoints (bits 22 to 25). A bit for an endpoint
// that does not exist would have peers address it in vain.
inline constexpr std::uint32_t builtin_endpoints_plain = 0x0000FC3F;
inline constexpr std::uint32_t builtin_endpoints_secure = 0x03C0FC3F;

inline constexpr std::array<std::uint8_t, 4> default_spdp_multicast_group{239, 255, 0, 1};

// 7400 + 250 * domain id (DDSI-RTPS 2.5 section 9.6.1.1); empty when that exceeds 65535.
std::optional<std::uint32_t> spdp_multicast_port(std::uint32_t domain_id);

// Seconds capped at the largest signed 32-bit value, the sub-second part in units of 2^-32 s
// rounded down; a negative duration counts as 0.
rtps::RtpsDuration to_rtps_duration(Duration duration);

// What the runtime knows about itself at start-up.
struct LocalParticipant {
  rtps::GuidPrefix prefix{};
  std::uint32_t domain_id = 0;
  rtps::Locator metatraffic_unicast{};
  rtps::Locator default_unicast{};
  std::array<std::uint8_t, 4> spdp_multicast_group = default_spdp_multicast_group;
  std::uint32_t spdp_port = 7400;
  Duration lease_duration = std::chrono::seconds(100);
  std::vector<std::byte> user_data{};
  bool secure_builtin_endpoints = false;
};

// The announcement content: version 2.5, this system's vendor id, no default multicast
// locator, no properties, tokens or security info.
rtps::ParticipantBuiltinTopicData local_participant_data(const LocalParticipant& local);

// Best-effort and stateless: every announcement carries the complete data.
struct SpdpBeacon {
  rtps::ParticipantBuiltinTopicData data{};
  rtps::SequenceNumber next_sequence = 1;
  rtps::VendorId vendor_id = rtps::nimbrel_vendor_id;
  std::uint64_t announcements = 0;  // attempts, failed ones included

  // One datagram with a single DATA from the SPDP writer. Counts an announcement even when it
  // fails, so the counter tracks attempts.
  CodecResult<std::vector<std::byte>> serialize();
  // The goodbye: one DATA that disposes and unregisters this participant, so that peers let go
  // of it (and of every writer's state kept for its readers) at once rather than after the lease.
  CodecResult<std::vector<std::byte>> serialize_goodbye();
};

struct DiscoveredParticipant {
  rtps::ParticipantBuiltinTopicData data{};
  rtps::GuidPrefix sender_prefix{};  // the source in force: RTPS header or INFO_SRC
  rtps::VendorId sender_vendor_id{};

  friend bool operator==(const DiscoveredParticipant&, const DiscoveredParticipant&) = default;
};

struct SpdpError {
  enum class Kind {
    Wire,               // the datagram or the participant data did not decode
    NoParticipantData,  // a valid datagram without a usable SPDP DATA
  };
  Kind kind = Kind::NoParticipantData;
  CodecError wire{};

  static SpdpError from(CodecError error) { return {Kind::Wire, error}; }
  static SpdpError no_participant_data() { return {}; }

  friend bool operator==(const SpdpError&, const SpdpError&) = default;
};
std::string to_string(const SpdpError& error);

// What the SPDP DATA of one received datagram said, each list in arrival order.
struct SpdpEvents {
  std::vector<rtps::GuidPrefix> departed{};        // participants whose goodbye it carries
  std::vector<DiscoveredParticipant> announced{};  // participants it announces
  std::uint64_t undecodable = 0;                   // announcements passed over: did not decode

  friend bool operator==(const SpdpEvents&, const SpdpEvents&) = default;
};

struct SpdpReader {
  // An announcement that does not decode is counted and passed over, so its neighbours still
  // count.
  static SpdpEvents read(const rtps::ReceivedDatagram& datagram);
  // One SPDP DATA, with the receiver state it arrived under.
  static std::expected<DiscoveredParticipant, SpdpError> parse(const rtps::ReceiverState& state,
                                                               const rtps::DataSubmessage& data);
};

// Every participant heard and not yet gone. A participant silent for its announced lease expires;
// beyond `max_participants` newcomers are refused and counted, so that no sender can grow the
// cache (and all that hangs on each entry) without bound.
class DiscoveredParticipantsCache {
 public:
  using Map = std::map<rtps::GuidPrefix, DiscoveredParticipant>;
  static constexpr std::size_t default_max_participants = 4096;

  explicit DiscoveredParticipantsCache(std::size_t max_participants = default_max_participants)
      : max_participants_(max_participants) {}

  enum class Insert { New, Refreshed, Refused };
  // Keyed by the prefix of the participant GUID inside the data, not by the sender's prefix. A
  // known participant is replaced and its lease starts again at `now`.
  Insert insert(DiscoveredParticipant participant, Elapsed now);
  // Starts the lease of a known participant again at `now`; false when it is not known.
  bool renew(const rtps::GuidPrefix& prefix, Elapsed now);
  // False when it was not known.
  bool erase(const rtps::GuidPrefix& prefix);
  // Removes and returns every participant whose lease ran out before `now`.
  std::vector<rtps::GuidPrefix> expire(Elapsed now);

  const DiscoveredParticipant* find(const rtps::GuidPrefix& prefix) const;
  const Map& entries() const { return entries_; }
  std::size_t size() const { return entries_.size(); }
  std::uint64_t refused() const { return refused_; }

 private:
  Map entries_;
  // Lease deadline of each entry, earliest first.
  std::set<std::pair<Elapsed, rtps::GuidPrefix>> deadlines_;
  std::map<rtps::GuidPrefix, Elapsed> deadline_of_;
  std::size_t max_participants_;
  std::uint64_t refused_ = 0;
};

// Where a participant's builtin endpoints are reached: its metatraffic unicast locator, else its
// default unicast locator, else nowhere.
std::vector<rtps::Locator> builtin_endpoint_locators(const rtps::ParticipantBuiltinTopicData& data);

// The participant a goodbye names: DATA from the SPDP writer that disposes or unregisters.
std::optional<rtps::GuidPrefix> departed_participant(const rtps::DataSubmessage& data);

}  // namespace nimbrel::discovery
