// A Cyclone DDS publisher (Debian's cyclonedds-dev) of rich::Sample (rich_type.idl), a peer for the
// end-to-end tests of type capture: cyclone_rich_publisher COUNT [SECONDS]. Once a reader has
// matched (within SECONDS, default 60) a reliable keep-all writer on topic "RichSample" writes
// COUNT samples whose values follow from their index i alone, so that a test can tell what each
// decoded sample must hold (the same rules are in the test). Once they are
// acknowledged (at most 30 s) it prints "published COUNT" and exits 0; otherwise 1.
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dds/dds.h"
#include "rich_type.h"

static dds_return_t write_sample(dds_entity_t writer, int32_t i) {
  char label[16], text[32], short_text[9], note[32];
  snprintf(label, sizeof label, "r%d", i);
  snprintf(text, sizeof text, "sample %d", i);
  snprintf(short_text, sizeof short_text, "s%d", i);
  snprintf(note, sizeof note, "even %d", i);
  int32_t counts[3], recent[4];
  for (int32_t j = 0; j < 3; ++j)
    counts[j] = 10 * j;
  for (int32_t j = 0; j < 4; ++j)
    recent[j] = i - j;
  double offset = 0.5 * i;

  rich_Sample s = {.id = i % 3,
                   .position = {.x = i + 0.5, .y = -i, .z = 0.25 * i},
                   .mode = (rich_Mode)(i % 3),
                   .counts = {._maximum = 3, ._length = (uint32_t)(i % 4), ._buffer = counts},
                   .recent = {._maximum = 4, ._length = (uint32_t)(i % 5), ._buffer = recent},
                   .text = text,
                   .extra = {.a = 7 * i, .note = i % 2 == 0 ? note : NULL},
                   .offset = &offset};
  if (s.counts._length > 3) s.counts._length = 3;
  s.reading._d = i % 3 + 1;
  if (s.reading._d == 1)
    s.reading._u.celsius = 20.5 + i;
  else if (s.reading._d == 2)
    s.reading._u.label = label;
  else
    s.reading._u.raw = -i;
  for (int32_t r = 0; r < 2; ++r)
    for (int32_t c = 0; c < 3; ++c)
      s.matrix[r][c] = r * 3 + c + i;
  strcpy(s.short_text, short_text);
  return dds_write(writer, &s);
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: cyclone_rich_publisher COUNT [SECONDS]\n");
    return 2;
  }
  const int32_t count = (int32_t)strtol(argv[1], NULL, 10);
  const dds_time_t deadline = dds_time() + DDS_SECS(argc > 2 ? atol(argv[2]) : 60);
  const dds_entity_t participant = dds_create_participant(DDS_DOMAIN_DEFAULT, NULL, NULL);
  const dds_entity_t topic =
      dds_create_topic(participant, &rich_Sample_desc, "RichSample", NULL, NULL);
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
    int32_t written = 0;
    while (written < count && write_sample(writer, written) == DDS_RETCODE_OK)
      ++written;
    const bool acknowledged = dds_wait_for_acks(writer, DDS_SECS(30)) == DDS_RETCODE_OK;
    printf("published %d%s\n", written, acknowledged ? "" : " (not all acknowledged)");
    status = written == count && acknowledged ? 0 : 1;
  } else {
    printf("no reader matched\n");
  }
  fflush(stdout);
  dds_delete(participant);
  return status;
}
