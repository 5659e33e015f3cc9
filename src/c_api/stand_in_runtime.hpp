// Stand-in for the DCPS runtime behind the C functions, until the real runtime replaces it: it
// opens no sockets, never discovers a participant and never delivers a sample, but hands out
// reader entity ids and has the lifetime of the real one (shared by every handle).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "rtps/wire_types.hpp"

namespace nimbrel::c_api {

class StandInRuntime {
 public:
  static std::shared_ptr<StandInRuntime> start(std::uint32_t domain_id, rtps::GuidPrefix prefix);

  StandInRuntime(const StandInRuntime&) = delete;
  StandInRuntime& operator=(const StandInRuntime&) = delete;
  ~StandInRuntime();

  std::size_t discovered_participants() const { return 0; }

  // User reader ids in creation order: 00 00 01 07, 00 00 02 07, ...
  rtps::EntityId register_user_reader(const std::string& topic_name, const std::string& type_name,
                                      bool reliable);

  std::uint32_t domain_id() const { return domain_id_; }
  const rtps::GuidPrefix& guid_prefix() const { return prefix_; }

  // Runtimes of this process not yet shut down; lets tests see when the last handle let go.
  static std::size_t alive();

 private:
  StandInRuntime(std::uint32_t domain_id, rtps::GuidPrefix prefix);

  std::uint32_t domain_id_;
  rtps::GuidPrefix prefix_;
  std::atomic<std::uint32_t> next_reader_key_{1};
};

// Receiving side of a reader's sample queue: payloads without their encapsulation header, oldest
// first. Nothing sends into it while the stand-in runs.
struct SampleReceiver {
  std::deque<std::vector<std::uint8_t>> pending;

  std::optional<std::vector<std::uint8_t>> try_receive();
};

}  // namespace nimbrel::c_api
