// A Cyclone DDS publisher (Debian's cyclonedds-dev) of rich::Sample (rich_type.idl), a peer for the
// end-to-end tests of type capture: cyclone_rich_publisher COUNT [SECONDS]. Once a reader has
// matched (within SECONDS, default 60) a reliable keep-all writer on topic "RichSample" writes
// COUNT samples whose values follow from their index i alone, so that a test can tell what each
// decoded sample must hold (the same rules are in the test). Once they are
// acknowledged (at most 30 s) it prints "published COUNT" and exits 0; otherwise 1.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cyclone_publishing.h"
#include "rich_type.h"

static dds_return_t write_sample(dds_entity_t writer, uint32_t n, void* context) {
  (void)context;
  const int32_t i = (int32_t)n;
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
  const uint32_t count = (uint32_t)strtoul(argv[1], NULL, 10);
  const dds_time_t deadline = dds_time() + DDS_SECS(argc > 2 ? atol(argv[2]) : 60);
  return cyclone_publish_once_matched(&rich_Sample_desc, "RichSample", count, deadline,
                                      write_sample, NULL);
}
