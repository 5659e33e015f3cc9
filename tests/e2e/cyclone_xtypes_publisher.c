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

#include "cyclone_publishing.h"
#include "xtypes_seq.h"

static unsigned char body[4] = {0xde, 0xad, 0xbe, 0xef};

// The two kinds share their members but not their C type.
static dds_return_t write_sample(dds_entity_t writer, uint32_t i, void* context) {
  const bool mutable_kind = *(const bool*)context;
  const uint32_t seq = i + 1;
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
  return cyclone_publish_once_matched(type, mutable_kind ? "MutableSeq" : "AppendableSeq", count,
                                      deadline, write_sample, (void*)&mutable_kind);
}
