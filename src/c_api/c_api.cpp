// The six C functions over the DCPS runtime. Every handle holds a shared reference to the runtime;
// nothing but a null handle or a negative status crosses the C boundary.
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <variant>

#include "c_api/guid_prefix.hpp"
#include "c_api/handles.hpp"
#include "c_api/tool_access.hpp"
#include "cdr/buffer.hpp"
#include "dcps/runtime/runtime.hpp"
#include "foundation/fatal.hpp"
#include "foundation/time.hpp"
#include "nimbrel/nimbrel.h"

namespace {

using nimbrel::dcps::DcpsRuntime;

constexpr auto peer_poll_interval = std::chrono::milliseconds(50);

// Handed out for an empty sample: non-null, so it reads as "taken", and never freed.
std::uint8_t empty_sample_placeholder = 0;

bool is_utf8(std::string_view text) {
  return nimbrel::cdr::is_valid_utf8(std::as_bytes(std::span(text)));
}

nimbrel::MonoInstant peer_wait_deadline(std::uint64_t timeout_ms) {
  constexpr auto max_ms = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(nimbrel::Duration::max()).count());
  if (timeout_ms > max_ms) nimbrel::fatal("overflow when adding duration to instant");
  return nimbrel::deadline_after(std::chrono::steady_clock::now(),
                                 std::chrono::milliseconds(static_cast<std::int64_t>(timeout_ms)));
}

NimbrelReader* register_reader(const NimbrelRuntime& runtime,
                               nimbrel::dcps::UserReaderConfig config) {
  auto registered = runtime.runtime->register_user_reader(std::move(config));
  if (!registered) return nullptr;
  auto level = registered->samples.level();
  return new NimbrelReader{
      .runtime = runtime.runtime,
      .entity_id = registered->entity_id,
      .samples = nimbrel::Guarded<nimbrel::dcps::SampleReceiver>(std::in_place,
                                                                 std::move(registered->samples)),
      .level = std::move(level),
  };
}

}  // namespace

extern "C" {

NimbrelRuntime* nimbrel_runtime_create(uint32_t domain_id) noexcept {
  return nimbrel::c_api::create_runtime(domain_id, nimbrel::dcps::RuntimeConfig{});
}

void nimbrel_runtime_destroy(NimbrelRuntime* runtime) noexcept {
  delete runtime;
}

int32_t nimbrel_runtime_wait_for_peers(const NimbrelRuntime* runtime, int32_t min_peers,
                                       uint64_t timeout_ms) noexcept {
  if (runtime == nullptr) return NIMBREL_STATUS_NULL_ARGUMENT;
  const auto deadline = peer_wait_deadline(timeout_ms);
  for (;;) {
    // More participants than an int32 holds still satisfy any minimum.
    const auto known = runtime->runtime->discovered_participants().size();
    if (min_peers <= 0 || known >= static_cast<std::size_t>(min_peers)) return NIMBREL_STATUS_OK;
    if (std::chrono::steady_clock::now() >= deadline) return NIMBREL_STATUS_TIMEOUT;
    // sleep_for resumes after a signal for the time that remains.
    std::this_thread::sleep_for(peer_poll_interval);
  }
}

NimbrelReader* nimbrel_reader_create(const NimbrelRuntime* runtime, const char* topic_name,
                                     const char* type_name, int32_t reliable) noexcept {
  if (runtime == nullptr || topic_name == nullptr || type_name == nullptr) return nullptr;
  if (!is_utf8(topic_name) || !is_utf8(type_name)) return nullptr;
  return register_reader(
      *runtime, {.topic_name = topic_name, .type_name = type_name, .reliable = reliable != 0});
}

int32_t nimbrel_reader_take(NimbrelReader* reader, uint8_t** out_buf, size_t* out_len) noexcept {
  if (reader == nullptr || out_buf == nullptr || out_len == nullptr) {
    return NIMBREL_STATUS_NULL_ARGUMENT;
  }
  *out_buf = nullptr;
  *out_len = 0;
  auto samples = reader->samples.lock();
  if (!samples) return NIMBREL_STATUS_POISONED;
  for (;;) {
    auto item = (*samples)->try_receive();
    if (!item) return NIMBREL_STATUS_OK;
    // Disposes, unregistrations and losses have no payload to hand out.
    const auto* sample = std::get_if<nimbrel::dcps::UserSample>(&*item);
    if (sample == nullptr || !sample->is_data()) continue;
    const auto payload = sample->body();
    if (payload.empty()) {
      *out_buf = &empty_sample_placeholder;
      return NIMBREL_STATUS_OK;
    }
    // The caller releases the buffer with free(), so it must come from the C allocator; this is
    // the only copy a payload sees on its way from the socket.
    auto* buffer = static_cast<uint8_t*>(std::malloc(payload.size()));
    if (buffer == nullptr) nimbrel::fatal("memory allocation failed");
    std::memcpy(buffer, payload.data(), payload.size());
    *out_buf = buffer;
    *out_len = payload.size();
    return NIMBREL_STATUS_OK;
  }
}

void nimbrel_reader_destroy(NimbrelReader* reader) noexcept {
  if (reader == nullptr) return;
  // The reader stays registered and acknowledges its writers; its samples are discarded from now.
  static_cast<void>(reader->runtime->set_user_reader_listener(reader->entity_id, std::nullopt));
  reader->runtime.reset();
  delete reader;
}

}  // extern "C"

namespace nimbrel::c_api {

NimbrelReader* create_reader(NimbrelRuntime* runtime, dcps::UserReaderConfig config) noexcept {
  if (runtime == nullptr || !is_utf8(config.topic_name) || !is_utf8(config.type_name))
    return nullptr;
  try {
    return register_reader(*runtime, std::move(config));
  } catch (...) {
    return nullptr;
  }
}

ArrivalLog<dcps::TopicType>::Since writer_topics_since(NimbrelRuntime* runtime,
                                                       std::uint64_t generation) noexcept {
  const ArrivalLog<dcps::TopicType>::Since nothing{
      .generation = generation, .items = {}, .missed = true};
  if (runtime == nullptr) return nothing;
  try {
    return runtime->runtime->writer_topics_since(generation);
  } catch (...) {
    return nothing;
  }
}

NimbrelRuntime* create_runtime(uint32_t domain_id, dcps::RuntimeConfig config) noexcept {
  auto runtime = DcpsRuntime::start(domain_id, random_guid_prefix(), std::move(config));
  if (!runtime) return nullptr;
  return new NimbrelRuntime{std::move(*runtime)};
}

int32_t take_items(NimbrelReader* reader, std::vector<dcps::ReaderItem>& out, std::size_t max_items,
                   std::size_t max_bytes) noexcept {
  if (reader == nullptr) return NIMBREL_STATUS_NULL_ARGUMENT;
  if (reader->level.empty()) return NIMBREL_STATUS_OK;
  auto samples = reader->samples.lock();
  if (!samples) return NIMBREL_STATUS_POISONED;
  (*samples)->receive_batch(out, max_items, max_bytes);
  return NIMBREL_STATUS_OK;
}

std::optional<dcps::RemoteWriter> describe_writer(NimbrelRuntime* runtime,
                                                  const rtps::Guid& writer) noexcept {
  if (runtime == nullptr) return std::nullopt;
  try {
    return runtime->runtime->describe_writer(writer);
  } catch (...) {
    return std::nullopt;  // a copy that could not allocate: the writer stays undescribed
  }
}

std::optional<discovery::WriterType> writer_type(NimbrelRuntime* runtime,
                                                 const rtps::Guid& writer) noexcept {
  if (runtime == nullptr) return std::nullopt;
  try {
    return runtime->runtime->writer_type(writer);
  } catch (...) {
    return std::nullopt;  // a copy that could not allocate: asked again later
  }
}

discovery::TypeState type_state(NimbrelRuntime* runtime, const rtps::Guid& writer) noexcept {
  if (runtime == nullptr) return discovery::TypeState::None;
  return runtime->runtime->type_state(writer);
}

discovery::TypeArrivals type_arrivals_since(NimbrelRuntime* runtime,
                                            std::uint64_t generation) noexcept {
  const discovery::TypeArrivals nothing{.generation = generation, .items = {}, .missed = true};
  if (runtime == nullptr) return nothing;
  try {
    return runtime->runtime->type_arrivals_since(generation);
  } catch (...) {
    return nothing;
  }
}

bool add_type_objects(NimbrelRuntime* runtime,
                      std::span<const discovery::TypeEntry> closure) noexcept {
  if (runtime == nullptr) return false;
  try {
    return runtime->runtime->add_type_objects(closure);
  } catch (...) {
    return false;
  }
}

int32_t close_reader(NimbrelReader* reader) noexcept {
  if (reader == nullptr) return NIMBREL_STATUS_NULL_ARGUMENT;
  auto samples = reader->samples.lock();
  if (!samples) return NIMBREL_STATUS_POISONED;
  (*samples)->close();
  return NIMBREL_STATUS_OK;
}

}  // namespace nimbrel::c_api
