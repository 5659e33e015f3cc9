/* A Cyclone DDS publisher (Debian's cyclonedds-dev) of many topics, a peer for the end-to-end
   tests: cyclone_many_topics PARTICIPANTS TOPICS COUNT RATE_HZ [--prefix P] [--partition NAME]
   [--transient-local] [--wait-match] [--seconds S]. Each participant gets TOPICS reliable keep-all
   writers of bulk::Counter on "P<participant>_<topic>" (default prefix "many"), each announced by
   "writer TOPIC created at UNIX_NS" (wall clock). Every writer writes COUNT samples (id = topic
   index, seq from 1), one round over all writers RATE_HZ times a second; --wait-match first waits
   (at most --seconds, default 60) until each writer has a reader; --transient-local keeps the
   whole history for late readers and writes it at once, then waits so for the readers. It prints
   "published N" (samples of all writers), waits for acknowledgements, stays up 2 s more for
   repairs and exits 0, or 1 when a write failed or a reader did not come in time. */
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dds/dds.h"
#include "many_topics.h"

struct options {
  uint32_t participants, topics, count, rate_hz;
  const char* prefix;
  const char* partition;
  bool transient_local, wait_match;
  long seconds;
};

static bool parse(int argc, char** argv, struct options* o) {
  if (argc < 5) return false;
  *o = (struct options){.participants = (uint32_t)strtoul(argv[1], NULL, 10),
                        .topics = (uint32_t)strtoul(argv[2], NULL, 10),
                        .count = (uint32_t)strtoul(argv[3], NULL, 10),
                        .rate_hz = (uint32_t)strtoul(argv[4], NULL, 10),
                        .prefix = "many",
                        .seconds = 60};
  for (int i = 5; i < argc; i++) {
    const bool has_value = i + 1 < argc;
    if (strcmp(argv[i], "--prefix") == 0 && has_value) {
      o->prefix = argv[++i];
    } else if (strcmp(argv[i], "--partition") == 0 && has_value) {
      o->partition = argv[++i];
    } else if (strcmp(argv[i], "--seconds") == 0 && has_value) {
      o->seconds = atol(argv[++i]);
    } else if (strcmp(argv[i], "--transient-local") == 0) {
      o->transient_local = true;
    } else if (strcmp(argv[i], "--wait-match") == 0) {
      o->wait_match = true;
    } else {
      return false;
    }
  }
  return o->participants > 0 && o->topics > 0 && o->rate_hz > 0;
}

static dds_qos_t* writer_qos(const struct options* o) {
  dds_qos_t* qos = dds_create_qos();
  dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_SECS(10));
  dds_qset_history(qos, DDS_HISTORY_KEEP_ALL, 0);
  if (o->transient_local) {
    dds_qset_durability(qos, DDS_DURABILITY_TRANSIENT_LOCAL);
    // What a late reader gets is this history, not the writer's own.
    dds_qset_durability_service(qos, 0, DDS_HISTORY_KEEP_ALL, 0, DDS_LENGTH_UNLIMITED,
                                DDS_LENGTH_UNLIMITED, DDS_LENGTH_UNLIMITED);
  }
  return qos;
}

// Creates the participants and their writers into `writers` (participant by participant).
static bool create_writers(const struct options* o, dds_entity_t* writers) {
  dds_qos_t* publisher_qos = dds_create_qos();
  if (o->partition) dds_qset_partition1(publisher_qos, o->partition);
  dds_qos_t* qos = writer_qos(o);
  bool ok = true;
  for (uint32_t p = 0; ok && p < o->participants; p++) {
    const dds_entity_t participant = dds_create_participant(DDS_DOMAIN_DEFAULT, NULL, NULL);
    const dds_entity_t publisher = dds_create_publisher(participant, publisher_qos, NULL);
    ok = participant >= 0 && publisher >= 0;
    for (uint32_t t = 0; ok && t < o->topics; t++) {
      char name[256];
      snprintf(name, sizeof name, "%s%u_%u", o->prefix, p, t);
      const dds_entity_t topic =
          dds_create_topic(participant, &bulk_Counter_desc, name, NULL, NULL);
      const dds_entity_t writer =
          topic < 0 ? topic : dds_create_writer(publisher, topic, qos, NULL);
      ok = writer >= 0;
      if (ok) printf("writer %s created at %lld\n", name, (long long)dds_time());
      writers[p * o->topics + t] = writer;
    }
  }
  dds_delete_qos(qos);
  dds_delete_qos(publisher_qos);
  fflush(stdout);
  if (!ok) fprintf(stderr, "cannot create the participants and writers\n");
  return ok;
}

static bool wait_for_readers(const dds_entity_t* writers, uint32_t n, dds_time_t deadline) {
  for (uint32_t i = 0; i < n; i++) {
    dds_publication_matched_status_t matched = {0};
    for (;;) {
      dds_get_publication_matched_status(writers[i], &matched);
      if (matched.current_count > 0) break;
      if (dds_time() >= deadline) {
        printf("no reader matched writer %u\n", i);
        return false;
      }
      dds_sleepfor(DDS_MSECS(2));  // the match starts the measured first sample
    }
  }
  return true;
}

// Writes round `seq` on every writer; the number written.
static uint32_t write_round(const dds_entity_t* writers, uint32_t n, uint32_t topics,
                            uint32_t seq) {
  uint32_t written = 0;
  for (uint32_t i = 0; i < n; i++) {
    const bulk_Counter sample = {.id = i % topics, .seq = seq};
    if (dds_write(writers[i], &sample) == DDS_RETCODE_OK) written++;
  }
  return written;
}

int main(int argc, char** argv) {
  struct options o;
  if (!parse(argc, argv, &o)) {
    fprintf(stderr,
            "usage: cyclone_many_topics PARTICIPANTS TOPICS COUNT RATE_HZ [--prefix P] "
            "[--partition NAME] [--transient-local] [--wait-match] [--seconds S]\n");
    return 2;
  }
  const uint32_t n = o.participants * o.topics;
  dds_entity_t* writers = calloc(n, sizeof *writers);
  if (!writers || !create_writers(&o, writers)) return 1;
  const dds_time_t deadline = dds_time() + DDS_SECS(o.seconds);
  bool ok = o.transient_local || !o.wait_match || wait_for_readers(writers, n, deadline);
  uint32_t written = 0;
  const dds_duration_t period = DDS_SECS(1) / o.rate_hz;
  dds_time_t next = dds_time();
  for (uint32_t seq = 1; ok && seq <= o.count; seq++) {
    written += write_round(writers, n, o.topics, seq);
    if (o.transient_local) continue;
    next += period;
    const dds_duration_t wait = next - dds_time();
    if (wait > 0) dds_sleepfor(wait);
  }
  printf("published %u\n", written);
  fflush(stdout);
  if (ok && o.transient_local) ok = wait_for_readers(writers, n, deadline);
  const dds_time_t acked_by = dds_time() + DDS_SECS(10);
  for (uint32_t i = 0; ok && i < n; i++) {
    const dds_duration_t left = acked_by - dds_time();
    ok = dds_wait_for_acks(writers[i], left > 0 ? left : 0) == DDS_RETCODE_OK;
  }
  dds_sleepfor(DDS_SECS(2));
  dds_delete(DDS_CYCLONEDDS_HANDLE);
  free(writers);
  return ok && written == n * o.count ? 0 : 1;
}
