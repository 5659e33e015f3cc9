/* Compiled as C: the public header must be plain C and the functions callable from C. */
#include <stdlib.h>

#include "nimbrel/nimbrel.h"

int nimbrel_test_c_round_trip(void) {
  NimbrelRuntime* runtime = nimbrel_runtime_create(0);
  NimbrelReader* reader = NULL;
  uint8_t* buffer = NULL;
  size_t length = 1;
  int32_t status = NIMBREL_STATUS_OK;
  if (runtime == NULL) return 1;
  if (nimbrel_runtime_wait_for_peers(runtime, 0, 0) != NIMBREL_STATUS_OK) return 2;
  reader = nimbrel_reader_create(runtime, "Topic", "Type", 1);
  if (reader == NULL) return 3;
  status = nimbrel_reader_take(reader, &buffer, &length);
  if (status != NIMBREL_STATUS_OK || buffer != NULL || length != 0) return 4;
  nimbrel_reader_destroy(reader);
  nimbrel_runtime_destroy(runtime);
  return 0;
}
