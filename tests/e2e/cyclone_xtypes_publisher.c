// A Cyclone DDS publisher (Debian's cyclonedds-dev) of extensible types, a peer for the end-to-end
// tests: cyclone_xtypes_publisher appendable|mutable COUNT [SECONDS]. It prints the registered type
// name, and once a reader has matched (within SECONDS, default 60) a reliable keep-all writer on
// topic "AppendableSeq" or "MutableSeq" (xtypes_seq.idl) writes COUNT samples: id = seq % 10, seq
// from 1, body de ad be ef. Once they are acknowledged (at most 30 s) it prints "published COUNT"
// and exits 0; otherwise 1.
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dds/dds.h"
#include "xtypes_seq.h"

static unsigned char body[4] = {0xde, 0xad, 0xbe, 0xef};

// The two kinds share their members but not their C type.
static dds_return_t write_sample(dds_entity_t writer, bool mutable_kind, uint32_t seq) {
  const dds_sequence_octet octets = {._maximum = 4, ._length = 4, ._buffer = body};
  if (mutable_kind) {
    const xt_MutableSeq sample = {.id = seq % 10, .seq = seq, .body = octets};
    return dds_write(writer, &sample);
  }
  const xt_AppendableSeq sample = {.id = seq % 10, .seq = seq, .body = octets};
  return dds_write(writer, &sample);
}

int main(int argc, char** argv) {
  const bool mutable_kind = argc > 2 && strcmp(argv[1], "mutable") == 0;
  if (argc < 3 || (!mutable_kind && strcmp(argv[1], "appendable") != 0)) {
    fprintf(stderr, "usage: cyclone_xtypes_publisher appendable|mutable COUNT [SECONDS]\n");
    return 2;
  }
  const uint32_t count = (uint32_t)strtoul(argv[2], NULL, 10);
  const dds_time_t deadline = dds_time() + DDS_SECS(argc > 3 ? atol(argv[3]) : 60);
  const dds_topic_descriptor_t* type = mutable_kind ? &xt_MutableSeq_desc : &xt_AppendableSeq_desc;
  printf("type %s\n", type->m_typename);
  fflush(stdout);

  const dds_entity_t participant = dds_create_participant(DDS_DOMAIN_DEFAULT, NULL, NULL);
  const dds_entity_t topic = dds_create_topic(
      participant, type, mutable_kind ? "MutableSeq" : "AppendableSeq", NULL, NULL);
  dds_qos_t* qos = dds_create_qos();
  dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_SECS(10));
  dds_qset_history(qos, DDS_HISTORY_KEEP_ALL, 0);
  const dds_entity_t writer = dds_create_writer(participant, topic, qos, NULL);
  dds_delete_qos(qos);
  if (participant < 0 || topic < 0 || writer < 0) {
    fprintf(stderr, "cannot create the writer\n");
    return 1;
  }

  dds_publication_matched_status_t matched = {0};
  while (matched.current_count == 0 && dds_time() < deadline) {
    dds_get_publication_matched_status(writer, &matched);
    if (matched.current_count == 0) dds_sleepfor(DDS_MSECS(20));
  }
  int status = 1;
  if (matched.current_count > 0) {
    uint32_t written = 0;
    // A write blocked for the history's room fails after the reliability's 10 s and ends the run.
    while (written < count && write_sample(writer, mutable_kind, written + 1) == DDS_RETCODE_OK)
      ++written;
    const bool acknowledged = dds_wait_for_acks(writer, DDS_SECS(30)) == DDS_RETCODE_OK;
    printf("published %u%s\n", written, acknowledged ? "" : " (not all acknowledged)");
    status = written == count && acknowledged ? 0 : 1;
  } else {
    printf("no reader matched\n");
  }
  fflush(stdout);
  dds_delete(participant);
  return status;
}
