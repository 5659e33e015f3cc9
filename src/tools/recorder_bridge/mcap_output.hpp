// The MCAP output: each data sample whole (its encapsulation header included) as a message on the
// channel of its writer, one channel per topic and writer with what discovery knew of the writer
// as metadata; losses and lifecycle changes as JSON messages on the events channel, so that no
// loss is invisible in the file. A writer's type, once fetched, is the channel's schema (OMG IDL
// text) and its type objects are kept as metadata records; the samples of a writer whose type is
// still on its way wait for it a short while. Chunks close at a size or a time bound; a chunk that
// cannot be written is cut away, its samples counted lost per writer and said on the events
// channel.
#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "dcps/runtime/runtime.hpp"
#include "foundation/shared_bytes.hpp"
#include "recorder/mcap_writer.hpp"
#include "tools/common/type_schema.hpp"
#include "tools/recorder_bridge/recording_output.hpp"

namespace nimbrel::bridge {

inline constexpr std::string_view events_topic = "nimbrel/events";

// A writer's type for the schema of its channel, as the caller worked it out from discovery.
struct WriterType {
  enum class State : std::uint8_t {
    None,     // the writer announced no type, or fetching it failed: a channel without schema
    Pending,  // announced and on its way: the writer's samples wait a while for it
    Known,
  };
  State state = State::None;
  tools::TypeSchema schema{};  // when known
};

struct McapOutputConfig {
  recorder::McapOptions mcap;
  recorder::StringPairs metadata;  // the recording's: command line, domain, host, start time
  std::uint64_t start_ns = 0;
  // What discovery knows of a writer when its first sample is recorded.
  std::function<std::optional<dcps::RemoteWriter>(const rtps::Guid&)> describe;
  // The wall clock (unix ns) that tells when an open chunk is old enough to be written.
  std::function<std::uint64_t()> wall_ns;
  // The type of a writer; none when not given.
  std::function<WriterType(const rtps::Guid&)> writer_type{};
  // How long and how many payload bytes in all the samples of writers whose type is pending wait
  // for it; past either, their channel is written without schema, and the type, if it comes,
  // starts a second channel with it.
  std::uint64_t type_wait_ns = 5'000'000'000;
  std::size_t type_wait_bytes = std::size_t{64} << 20;
};

// The channel metadata of a writer's samples: its GUID, participant, vendor and QoS; empty values
// where discovery no longer knows the writer.
recorder::StringPairs writer_metadata(const std::string& type_name, const rtps::Guid& writer,
                                      const std::optional<dcps::RemoteWriter>& remote);

class McapOutput final : public RecordingOutput {
 public:
  // Writes the file's start: header, the recording's metadata and the events channel.
  static std::expected<std::unique_ptr<McapOutput>, std::error_code> start(
      std::unique_ptr<recorder::ByteSink> sink, McapOutputConfig config);

  std::vector<BatchLoss> record(std::span<const TakenSample> samples) override;
  bool takes_empty_bodies() const override { return true; }
  void note_loss(const recorder::TopicKey& topic, const rtps::LostRange& loss,
                 std::uint64_t wall_ns) override;
  void note_lifecycle(const recorder::TopicKey& topic, const dcps::UserSample& sample,
                      std::uint64_t wall_ns) override;
  void tick() override;
  std::optional<std::string> finish() override;
  bool complete() const override { return complete_; }
  std::vector<LaterLoss> take_later_losses() override { return std::exchange(later_, {}); }

  std::uint64_t recorded() const override { return recorded_.load(std::memory_order_relaxed); }
  std::uint64_t dropped() const override { return dropped_.load(std::memory_order_relaxed); }
  std::uint64_t failed() const override { return failed_.load(std::memory_order_relaxed); }
  std::uint64_t bytes() const override { return bytes_.load(std::memory_order_relaxed); }
  std::uint64_t start_ns() const override { return config_.start_ns; }

 private:
  McapOutput(std::unique_ptr<recorder::ByteSink> sink, McapOutputConfig config);

  struct Held {
    std::uint32_t sequence = 0;
    std::uint64_t log_time = 0;
    std::uint64_t publish_time = 0;
    SharedBytes payload;
  };
  struct Channel {
    enum class Phase : std::uint8_t {
      Waiting,  // not yet in the file: its samples are held until the type comes
      Open,     // in the file, with the schema it will keep
      Untyped,  // in the file without schema, while the type is still on its way
    };
    const recorder::TopicKey* topic = nullptr;
    rtps::Guid writer{};
    Phase phase = Phase::Open;
    recorder::StringPairs metadata{};  // what discovery knew of the writer at its first sample
    std::uint64_t waiting_since = 0;
    std::vector<Held> held{};
  };
  // The writer's channel, made with its first sample; empty once channel ids are used up.
  std::optional<std::uint16_t> channel_for(const recorder::TopicKey& topic,
                                           const rtps::Guid& writer, std::uint64_t now_ns,
                                           std::error_code& error);
  WriterType type_of(const rtps::Guid& writer) const;
  // Writes the channel record, with the type's schema and objects when it is known, then the
  // samples it held.
  void open_channel(std::uint16_t id, const WriterType& type, std::error_code& error);
  // Channels waiting for their type: opened once it comes, or without it once waited too long
  // (`force`: now, as the recording ends); an untyped channel whose type came is followed by a
  // channel with it.
  void resolve_waiting(std::uint64_t now_ns, bool force, std::error_code& error);
  struct Event {
    std::string json;
    std::uint64_t time = 0;
  };
  void write_event(std::string json, std::uint64_t wall_ns);
  // After each write: turns chunks the writer dropped into losses, said on the events channel
  // unless `may_write` is false, writes dropped events again, and brings the counters to what the
  // file holds.
  void settle(const std::error_code& error, bool may_write = true);

  std::unique_ptr<recorder::ByteSink> sink_;
  McapOutputConfig config_;
  recorder::McapWriter writer_;
  std::map<std::pair<const recorder::TopicKey*, rtps::Guid>, std::uint16_t> channel_ids_;
  std::vector<Channel> channels_;       // by channel id
  std::vector<std::uint16_t> waiting_;  // channels in phase Waiting or Untyped
  std::size_t held_bytes_ = 0;
  std::map<std::string, std::uint16_t> schema_ids_;  // by top-level identifier
  std::set<std::string> objects_written_;            // type objects, by identifier
  bool complete_ = true;
  std::error_code last_error_{};
  std::vector<LaterLoss> later_;
  std::vector<Event> open_events_;  // written since the events channel's last chunk went out
  std::uint64_t latest_ns_ = 0;     // the latest time met: when a later loss is said
  std::atomic<std::uint64_t> recorded_{0};
  std::atomic<std::uint64_t> dropped_{0};
  std::atomic<std::uint64_t> failed_{0};
  std::atomic<std::uint64_t> bytes_{0};
};

}  // namespace nimbrel::bridge
