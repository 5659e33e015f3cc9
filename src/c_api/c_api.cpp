// The six C functions. They run over the stand-in runtime until the real one replaces it; the
// handle structure and the argument checks are already final.
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <thread>

#include "c_api/guid_prefix.hpp"
#include "c_api/handles.hpp"
#include "cdr/buffer.hpp"
#include "foundation/fatal.hpp"
#include "foundation/time.hpp"
#include "nimbrel/nimbrel.h"

namespace {

using nimbrel::c_api::StandInRuntime;

constexpr auto peer_poll_interval = std::chrono::milliseconds(50);

// Handed out for an empty sample: non-null, so it reads as "taken", and never freed.
std::uint8_t empty_sample_placeholder = 0;

bool is_utf8(const char* text) {
  return nimbrel::cdr::is_valid_utf8(std::as_bytes(std::span(text, std::strlen(text))));
}

nimbrel::MonoInstant peer_wait_deadline(std::uint64_t timeout_ms) {
  constexpr auto max_ms = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(nimbrel::Duration::max()).count());
  if (timeout_ms > max_ms) nimbrel::fatal("overflow when adding duration to instant");
  return nimbrel::deadline_after(std::chrono::steady_clock::now(),
                                 std::chrono::milliseconds(static_cast<std::int64_t>(timeout_ms)));
}

}  // namespace

extern "C" {

NimbrelRuntime* nimbrel_runtime_create(uint32_t domain_id) noexcept {
  auto runtime = StandInRuntime::start(domain_id, nimbrel::c_api::random_guid_prefix());
  if (!runtime) return nullptr;
  return new NimbrelRuntime{std::move(runtime)};
}

void nimbrel_runtime_destroy(NimbrelRuntime* runtime) noexcept {
  delete runtime;
}

int32_t nimbrel_runtime_wait_for_peers(const NimbrelRuntime* runtime, int32_t min_peers,
                                       uint64_t timeout_ms) noexcept {
  if (runtime == nullptr) return NIMBREL_STATUS_NULL_ARGUMENT;
  const auto deadline = peer_wait_deadline(timeout_ms);
  for (;;) {
    const auto known = static_cast<int32_t>(runtime->runtime->discovered_participants());
    if (known >= min_peers) return NIMBREL_STATUS_OK;
    if (std::chrono::steady_clock::now() >= deadline) return NIMBREL_STATUS_TIMEOUT;
    std::this_thread::sleep_for(peer_poll_interval);
  }
}

NimbrelReader* nimbrel_reader_create(const NimbrelRuntime* runtime, const char* topic_name,
                                     const char* type_name, int32_t reliable) noexcept {
  if (runtime == nullptr || topic_name == nullptr || type_name == nullptr) return nullptr;
  if (!is_utf8(topic_name) || !is_utf8(type_name)) return nullptr;
  const auto entity_id =
      runtime->runtime->register_user_reader(topic_name, type_name, /*reliable=*/reliable != 0);
  auto* reader = new NimbrelReader{};
  reader->runtime = runtime->runtime;
  reader->entity_id = entity_id;
  return reader;
}

int32_t nimbrel_reader_take(NimbrelReader* reader, uint8_t** out_buf, size_t* out_len) noexcept {
  if (reader == nullptr || out_buf == nullptr || out_len == nullptr) {
    return NIMBREL_STATUS_NULL_ARGUMENT;
  }
  *out_buf = nullptr;
  *out_len = 0;
  auto samples = reader->samples.lock();
  if (!samples) return NIMBREL_STATUS_POISONED;
  auto payload = (*samples)->try_receive();
  if (!payload) return NIMBREL_STATUS_OK;
  if (payload->empty()) {
    *out_buf = &empty_sample_placeholder;
    return NIMBREL_STATUS_OK;
  }
  // The caller releases the buffer with free(), so it must come from the C allocator.
  auto* buffer = static_cast<uint8_t*>(std::malloc(payload->size()));
  if (buffer == nullptr) nimbrel::fatal("memory allocation failed");
  std::memcpy(buffer, payload->data(), payload->size());
  *out_buf = buffer;
  *out_len = payload->size();
  return NIMBREL_STATUS_OK;
}

void nimbrel_reader_destroy(NimbrelReader* reader) noexcept {
  delete reader;
}

}  // extern "C"
