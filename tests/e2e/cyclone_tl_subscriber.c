/* Knows no type at build time: waits (at most SECONDS, default 20) for a writer of topic
   "tl_demo" with type information, asks the domain for its complete type through type lookup
   (DDS_FIND_SCOPE_GLOBAL), prints "resolved TYPE" and exits 0 once Cyclone has built a topic
   descriptor from it; exits 1 otherwise. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dds/dds.h"

int main(int argc, char** argv) {
  int seconds = argc > 1 ? atoi(argv[1]) : 20;
  dds_entity_t pp = dds_create_participant(DDS_DOMAIN_DEFAULT, NULL, NULL);
  if (pp < 0) {
    fprintf(stderr, "participant: %s\n", dds_strretcode(pp));
    return 1;
  }
  dds_entity_t publications = dds_create_reader(pp, DDS_BUILTIN_TOPIC_DCPSPUBLICATION, NULL, NULL);
  dds_topic_descriptor_t* desc = NULL;
  for (int tries = 0; desc == NULL && tries < seconds * 20; tries++) {
    void* raw[1] = {NULL};
    dds_sample_info_t info;
    while (desc == NULL && dds_take(publications, raw, &info, 1, 1) == 1) {
      dds_builtintopic_endpoint_t* e = raw[0];
      const dds_typeinfo_t* type_info = NULL;
      if (info.valid_data && strcmp(e->topic_name, "tl_demo") == 0 &&
          dds_builtintopic_get_endpoint_type_info(e, &type_info) == 0 && type_info != NULL) {
        printf("writer of %s, type %s\n", e->topic_name, e->type_name);
        dds_return_t rc =
            dds_create_topic_descriptor(DDS_FIND_SCOPE_GLOBAL, pp, type_info, DDS_SECS(5), &desc);
        printf("create_topic_descriptor: %s\n", dds_strretcode(rc));
        if (rc != 0) desc = NULL;
      }
      dds_return_loan(publications, raw, 1);
    }
    if (desc == NULL) dds_sleepfor(DDS_MSECS(50));
  }
  if (desc == NULL) {
    printf("type not resolved\n");
    dds_delete(pp);
    return 1;
  }
  printf("resolved %s\n", desc->m_typename);
  fflush(stdout);
  dds_delete_topic_descriptor(desc);
  dds_delete(pp);
  return 0;
}
