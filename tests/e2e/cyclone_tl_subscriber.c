/* Knows no type at build time: cyclone_tl_subscriber [SECONDS [TOPIC COUNT]] waits (at most
   SECONDS, default 20) for a writer of TOPIC (default "tl_demo") with type information, asks the
   domain for its complete type through type lookup (DDS_FIND_SCOPE_GLOBAL), prints "resolved TYPE"
   once Cyclone has built a topic descriptor from it. With COUNT, it then reads the topic with that
   type through a reliable reader and prints "received N" once COUNT samples came (or the time is
   up). Exits 0 when all went so; 1 otherwise. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dds/dds.h"

static dds_topic_descriptor_t* resolve(dds_entity_t pp, const char* topic, dds_time_t deadline) {
  dds_entity_t publications = dds_create_reader(pp, DDS_BUILTIN_TOPIC_DCPSPUBLICATION, NULL, NULL);
  dds_topic_descriptor_t* desc = NULL;
  while (desc == NULL && dds_time() < deadline) {
    void* raw[1] = {NULL};
    dds_sample_info_t info;
    while (desc == NULL && dds_take(publications, raw, &info, 1, 1) == 1) {
      dds_builtintopic_endpoint_t* e = raw[0];
      const dds_typeinfo_t* type_info = NULL;
      if (info.valid_data && strcmp(e->topic_name, topic) == 0 &&
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
  dds_delete(publications);
  return desc;
}

static int read_samples(dds_entity_t pp, const dds_topic_descriptor_t* desc, const char* name,
                        int count, dds_time_t deadline) {
  const dds_entity_t topic = dds_create_topic(pp, desc, name, NULL, NULL);
  dds_qos_t* qos = dds_create_qos();
  dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_SECS(10));
  dds_qset_history(qos, DDS_HISTORY_KEEP_ALL, 0);
  const dds_entity_t reader = dds_create_reader(pp, topic, qos, NULL);
  dds_delete_qos(qos);
  if (topic < 0 || reader < 0) {
    printf("cannot create the reader\n");
    return 1;
  }
  int received = 0;
  while (received < count && dds_time() < deadline) {
    void* raw[1] = {NULL};
    dds_sample_info_t info;
    const dds_return_t n = dds_take(reader, raw, &info, 1, 1);
    if (n == 1 && info.valid_data) ++received;
    if (n > 0) dds_return_loan(reader, raw, n);
    if (n <= 0) dds_sleepfor(DDS_MSECS(10));
  }
  printf("received %d\n", received);
  return received == count ? 0 : 1;
}

int main(int argc, char** argv) {
  const dds_time_t deadline = dds_time() + DDS_SECS(argc > 1 ? atoi(argv[1]) : 20);
  const char* topic = argc > 3 ? argv[2] : "tl_demo";
  const int count = argc > 3 ? atoi(argv[3]) : 0;
  dds_entity_t pp = dds_create_participant(DDS_DOMAIN_DEFAULT, NULL, NULL);
  if (pp < 0) {
    fprintf(stderr, "participant: %s\n", dds_strretcode(pp));
    return 1;
  }
  dds_topic_descriptor_t* desc = resolve(pp, topic, deadline);
  int status = 1;
  if (desc == NULL) {
    printf("type not resolved\n");
  } else {
    printf("resolved %s\n", desc->m_typename);
    fflush(stdout);
    status = count > 0 ? read_samples(pp, desc, topic, count, deadline) : 0;
  }
  fflush(stdout);
  dds_delete(pp);  // its topic uses the descriptor
  if (desc != NULL) dds_delete_topic_descriptor(desc);
  return status;
}
