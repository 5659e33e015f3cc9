// What a running participant is configured with. The C functions always take the defaults; tests
// and tools change single fields. Durations are nanoseconds of the monotonic time base.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "discovery/spdp.hpp"
#include "foundation/observability.hpp"
#include "foundation/time.hpp"
#include "transport/udp_transport.hpp"

namespace nimbrel::dcps {

// Enough for a burst of large samples while the consumer writes; small next to the machine.
inline constexpr std::size_t default_queue_budget_bytes = 16 * 1024 * 1024;
// Camera images and point clouds are several MiB.
inline constexpr std::uint32_t default_max_sample_size = 64 * 1024 * 1024;

struct RuntimeConfig {
  std::vector<std::byte> user_data{};
  // XCDR1 and XCDR2, offered and accepted by user endpoints.
  std::vector<std::int16_t> data_representations{0, 2};
  bool representation_negotiation = true;
  std::optional<std::vector<std::size_t>> recv_thread_cpus{};
  std::optional<std::vector<std::size_t>> tick_thread_cpus{};
  // SCHED_FIFO priorities; absent keeps the normal scheduling.
  std::optional<std::int32_t> recv_thread_priority{};
  std::optional<std::int32_t> tick_thread_priority{};
  Duration tick_period = std::chrono::milliseconds(5);
  Duration spdp_period = std::chrono::seconds(5);
  // The first announcements follow each other closely, so that one lost datagram does not hold
  // discovery back by a whole period.
  std::size_t initial_announcements = 4;
  Duration initial_announcement_period = std::chrono::milliseconds(250);
  // 0 means a third of the lease.
  Duration liveliness_period{0};
  Duration lease_duration = std::chrono::seconds(100);
  // Participants known at once; newcomers beyond it are refused until others leave.
  std::size_t max_participants = discovery::DiscoveredParticipantsCache::default_max_participants;
  std::shared_ptr<Sink> sink = std::make_shared<NullSink>();
  transport::Ipv4Address spdp_multicast_group = discovery::default_spdp_multicast_group;
  // Interface of the multicast membership, and the announced address when no route is found.
  transport::Ipv4Address multicast_interface{0, 0, 0, 0};
  bool secure_builtin_endpoints = false;
  // Kernel receive buffer of each receiving socket: a burst of announcements or samples must not
  // overflow it while a receive thread is busy.
  std::size_t receive_buffer_bytes = 4 * 1024 * 1024;
  // Payload bytes each user reader may hold for its consumer; data beyond it stays unacknowledged.
  std::size_t reader_queue_budget_bytes = default_queue_budget_bytes;
  // The largest sample a user reader takes in (with its encapsulation header); larger ones are
  // lost as too large, and acknowledged so that their writer goes on. A sample above the queue
  // budget is still taken in while the queue is below it.
  std::uint32_t max_sample_size = default_max_sample_size;
};

}  // namespace nimbrel::dcps
