/* The C interface of the nimbrel DDS runtime, a minimal subscriber API: create a runtime for a
 * domain, wait for remote participants, create one reader per topic and take its samples as raw
 * bytes. Every handle keeps the runtime alive; the runtime stops once the last handle is destroyed.
 * All functions may be called from any thread; a take never waits. */
#ifndef NIMBREL_NIMBREL_H
#define NIMBREL_NIMBREL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define NIMBREL_NOEXCEPT noexcept
extern "C" {
#else
#define NIMBREL_NOEXCEPT
#endif

/* Opaque handles; null when creation failed. */
typedef struct NimbrelRuntime NimbrelRuntime;
typedef struct NimbrelReader NimbrelReader;

/* Status codes (int32_t results). */
enum NimbrelStatus {
  NIMBREL_STATUS_OK = 0,             /* success; for a take also "nothing available" */
  NIMBREL_STATUS_NULL_ARGUMENT = -2, /* a required pointer argument is null */
  NIMBREL_STATUS_TIMEOUT = -4,       /* the peer wait ended at its time-out */
  NIMBREL_STATUS_POISONED = -5       /* the reader's internal lock is poisoned */
};

/* Starts a runtime (a DDS participant) in the given domain. Null on any start-up failure. */
NimbrelRuntime* nimbrel_runtime_create(uint32_t domain_id) NIMBREL_NOEXCEPT;

/* Releases the caller's runtime handle; null is ignored. Readers created from it stay usable
 * and keep the runtime running until they are destroyed too. */
void nimbrel_runtime_destroy(NimbrelRuntime* runtime) NIMBREL_NOEXCEPT;

/* Waits until at least `min_peers` remote participants are known: NIMBREL_STATUS_OK, or
 * NIMBREL_STATUS_TIMEOUT after `timeout_ms`. A minimum of 0 or less succeeds at once. */
int32_t nimbrel_runtime_wait_for_peers(const NimbrelRuntime* runtime, int32_t min_peers,
                                       uint64_t timeout_ms) NIMBREL_NOEXCEPT;

/* Creates a reader for a topic; `reliable` non-zero asks for reliable delivery. Null when an
 * argument is null, a name is not valid UTF-8, or the runtime refuses the reader. */
NimbrelReader* nimbrel_reader_create(const NimbrelRuntime* runtime, const char* topic_name,
                                     const char* type_name, int32_t reliable) NIMBREL_NOEXCEPT;

/* Takes at most one sample without waiting: its serialized data without the 4-byte encapsulation
 * header.
 *
 * Buffer ownership: with `*out_len` > 0, `*out_buf` is a block of exactly `*out_len` bytes from
 * the C allocator, owned by the caller, who releases it with free(). With `*out_len` == 0 the
 * pointer is either null (nothing available) or a non-null placeholder for an empty sample that
 * must NOT be passed to free(). Release a buffer only when the pointer is non-null and the length
 * is non-zero.
 *
 * Returns NIMBREL_STATUS_OK, NIMBREL_STATUS_NULL_ARGUMENT (outputs untouched) or
 * NIMBREL_STATUS_POISONED (outputs set to null and 0). */
int32_t nimbrel_reader_take(NimbrelReader* reader, uint8_t** out_buf,
                            size_t* out_len) NIMBREL_NOEXCEPT;

/* Stops the reader from taking in new samples, so that what it holds can be taken to the last one
 * before the reader is destroyed: every sample it acknowledged to a writer is queued for a take.
 * Data that arrives afterwards is left unacknowledged to its writer. Waits only for a delivery in
 * progress. Returns NIMBREL_STATUS_OK, NIMBREL_STATUS_NULL_ARGUMENT or NIMBREL_STATUS_POISONED. */
int32_t nimbrel_reader_close(NimbrelReader* reader) NIMBREL_NOEXCEPT;

/* Releases a reader handle; null is ignored. Using a handle after its destroy call is not
 * allowed. */
void nimbrel_reader_destroy(NimbrelReader* reader) NIMBREL_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#undef NIMBREL_NOEXCEPT

#endif /* NIMBREL_NIMBREL_H */
