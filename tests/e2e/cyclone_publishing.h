// What the Cyclone DDS publishers of the end-to-end tests share: a reliable keep-all writer of one
// topic that, once a reader has matched (before `deadline`), writes COUNT samples through
// `write(writer, i, context)` for i from 0, waits at most 30 s for their acknowledgements, prints
// "published COUNT" and gives the exit status (0 only when all was written and acknowledged).
#pragma once

#include <stdbool.h>
#include <stdio.h>

#include "dds/dds.h"

typedef dds_return_t (*cyclone_write_fn)(dds_entity_t writer, uint32_t i, void* context);

static inline int cyclone_publish_once_matched(const dds_topic_descriptor_t* type,
                                               const char* topic_name, uint32_t count,
                                               dds_time_t deadline, cyclone_write_fn write,
                                               void* context) {
  const dds_entity_t participant = dds_create_participant(DDS_DOMAIN_DEFAULT, NULL, NULL);
  const dds_entity_t topic = dds_create_topic(participant, type, topic_name, NULL, NULL);
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
    while (written < count && write(writer, written, context) == DDS_RETCODE_OK)
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
