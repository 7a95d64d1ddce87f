/* Uses the value library from C: the header must compile as C and link by its plain names. */
#include "et32b.h"

int et32bFromC(void) {
  HVALUE h = hvNew();
  int16_t word = 0;
  int ok = h != 0 && hvDim(h, 131, 2) && hvSetAtI16(h, 1, -5) && hvGetAtI16(h, 1, &word) &&
           word == -5 && hvType(h) == 131 && hvCount(h) == 2;
  return hvRelease(h) && ok;
}
