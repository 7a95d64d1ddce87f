/* Uses the value library from C: the headers must compile as C and link by their plain names,
 * and the names of the host interface must carry the numbers a host was built against. */
#include "et32b.h"
#include "vktjx.h"

#define CHECK_CONSTANT(name, value) typedef char check_##name[(name) == (value) ? 1 : -1]
CHECK_CONSTANT(HV_TYPE_EMPTY, 0);
CHECK_CONSTANT(HV_TYPE_U8, 2);
CHECK_CONSTANT(HV_TYPE_I16, 3);
CHECK_CONSTANT(HV_TYPE_I32, 4);
CHECK_CONSTANT(HV_TYPE_R32, 7);
CHECK_CONSTANT(HV_TYPE_ARRAY_U8, 130);
CHECK_CONSTANT(HV_TYPE_ARRAY_I16, 131);
CHECK_CONSTANT(HV_TYPE_ARRAY_R32, 135);
CHECK_CONSTANT(VKTJX_KIND_BIT, 0);
CHECK_CONSTANT(VKTJX_KIND_WORD, 1);
CHECK_CONSTANT(VKTJX_KIND_FLOAT, 2);
CHECK_CONSTANT(VKTJX_KIND_ERROR_REGISTER, 5);
CHECK_CONSTANT(VKTJX_REGISTER_ANY, 0);
CHECK_CONSTANT(VKTJX_REGISTER_START, 1);
CHECK_CONSTANT(VKTJX_REGISTER_READ, 2);
CHECK_CONSTANT(VKTJX_REGISTER_WRITE, 3);
CHECK_CONSTANT(VKTJX_REGISTER_COUNT, 4);
CHECK_CONSTANT(VKTJX_LOG_NEW_FILE, 4721);
CHECK_CONSTANT(VKTJX_LOG_APPEND, 6358);
typedef char check_host_tag_size[sizeof(HostTag) == 18 ? 1 : -1];

int et32bFromC(void) {
  HVALUE h = hvNew();
  int16_t word = 0;
  int ok = h != 0 && hvDim(h, HV_TYPE_ARRAY_I16, 2) && hvSetAtI16(h, 1, -5) &&
           hvGetAtI16(h, 1, &word) && word == -5 && hvType(h) == HV_TYPE_ARRAY_I16 &&
           hvCount(h) == 2;
  return hvRelease(h) && ok;
}
