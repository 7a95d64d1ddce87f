/* A minimal host linked against the installed driver and value library: starts the driver
 * (VktJX.Cfg in the current directory), writes a word block to the station named on the
 * command line, reads it back as a block and as one value, stops. Exit 0 when all agree. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "et32b.h"
#include "vktjx.h"

static int failures = 0;

static void check(int ok, const char* what) {
  printf("%s: %s\n", what, ok ? "ok" : "FAILED");
  if (!ok) ++failures;
}

int main(int argc, char** argv) {
  HostTag tag;
  HVALUE v;
  int16_t w = 0;
  int32_t i32 = 0;
  const int16_t written[3] = {4321, -7, 12};
  uint16_t i;

  if (argc != 2) {
    fprintf(stderr, "usage: host STATION\n");
    return 2;
  }
  memset(&tag, 0, sizeof tag);
  tag.station = (int16_t)atoi(argv[1]);
  tag.kind = 1;
  tag.address = 50;

  check(sizeof(HostTag) == 18, "tag record is 18 bytes");
  check(drvGetCaps() == 63, "drvGetCaps");
  check(drvGetDriverName() != NULL && drvGetDriverName()[0] != '\0', "drvGetDriverName");
  check(drvStartComm(0, 0, 0, 0) == 1, "drvStartComm");

  v = hvNew();
  hvDim(v, 131, 3);
  for (i = 0; i < 3; ++i) hvSetAtI16(v, i, written[i]);
  tag.writeCount = 3;
  tag.count = 3;
  check(drvWriteBlock(&tag, v) == 1, "drvWriteBlock of 3 words");
  hvRelease(v);

  v = hvNew();
  check(drvReadBlock(&tag, v) == 1, "drvReadBlock of 3 words");
  check(hvType(v) == 131 && hvCount(v) == 3, "block is an array of 3 words");
  for (i = 0; i < 3; ++i) {
    w = 0;
    hvGetAtI16(v, i, &w);
    check(w == written[i], "word read back");
  }
  hvRelease(v);

  v = hvNew();
  tag.address = 51;
  check(drvReadValue(&tag, v) == 1 && hvGetI16(v, &w) && w == -7, "drvReadValue of word 51");
  hvRelease(v);

  /* the error register of the start, read as a tag of kind 5 */
  v = hvNew();
  tag.kind = 5;
  tag.address = 1;
  check(drvReadValue(&tag, v) == 1 && hvGetI32(v, &i32) && i32 == 0, "start register is 0");
  hvRelease(v);

  check(drvStopComm(0, 0, 0, 0) == 1, "drvStopComm");
  return failures == 0 ? 0 : 1;
}
