/* Writes tldemo::Sample on topic "tl_demo" ten times a second for SECONDS (default 20): a Cyclone
   DDS writer whose type others fetch through type lookup. */
#include <stdio.h>
#include <stdlib.h>

#include "dds/dds.h"
#include "tl_demo.h"

int main(int argc, char** argv) {
  int seconds = argc > 1 ? atoi(argv[1]) : 20;
  dds_entity_t pp = dds_create_participant(DDS_DOMAIN_DEFAULT, NULL, NULL);
  if (pp < 0) {
    fprintf(stderr, "participant: %s\n", dds_strretcode(pp));
    return 1;
  }
  dds_entity_t tp = dds_create_topic(pp, &tldemo_Sample_desc, "tl_demo", NULL, NULL);
  dds_qos_t* qos = dds_create_qos();
  dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_SECS(1));
  dds_entity_t wr = dds_create_writer(pp, tp, qos, NULL);
  dds_delete_qos(qos);
  if (tp < 0 || wr < 0) {
    fprintf(stderr, "topic or writer failed\n");
    return 1;
  }
  unsigned char blob[4] = {0xde, 0xad, 0xbe, 0xef};
  for (int i = 0; i < seconds * 10; i++) {
    tldemo_Sample s = {.id = 7,
                       .pos = {.x = 1.5 + i, .y = -2.25},
                       .color = tldemo_GREEN,
                       .label = "hello",
                       .blob = {._length = 4, ._maximum = 4, ._buffer = blob, ._release = false}};
    dds_write(wr, &s);
    dds_sleepfor(DDS_MSECS(100));
  }
  dds_delete(pp);
  return 0;
}
