/* ET32B, the host's value library: numbered handles to reference-counted values that are
 * empty, a scalar (2 U8, 3 I16, 4 I32, 7 R32) or an array (130 U8, 131 I16, 135 R32).
 *
 * Every function returns non-zero on success and 0 on failure, except hvType and hvCount,
 * which answer 0 for an empty value or an unknown handle. A handle that was never issued,
 * or whose value has been freed, makes every call fail; it never crashes. A failing getter
 * leaves the variable it was given untouched.
 *
 * Numeric conversions behave like a C cast, except that a float that does not fit the
 * integer type saturates to its nearest limit and NaN gives 0.
 *
 * C linkage, C calling convention, undecorated names; usable from C and C++. */
#ifndef ET32B_H
#define ET32B_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t HVALUE;

/* Type codes of a value: what hvType answers, hvDim takes and the scalar setters make.
 * An array's element type is its code less 128. */
#define HV_TYPE_EMPTY      0
#define HV_TYPE_U8         2
#define HV_TYPE_I16        3
#define HV_TYPE_I32        4
#define HV_TYPE_R32        7
#define HV_TYPE_ARRAY_U8   130
#define HV_TYPE_ARRAY_I16  131
#define HV_TYPE_ARRAY_R32  135

HVALUE   hvNew(void);                         /* new empty value holding one reference; 0 if none can be made */
int32_t  hvUse(HVALUE h);                     /* add a reference */
int32_t  hvRelease(HVALUE h);                 /* drop one; the value is freed when none is left */
int32_t  hvDim(HVALUE h, uint16_t type, uint16_t n);   /* becomes an array of n zeroed elements: 130 U8, 131 I16, 135 R32 */
int32_t  hvSetU8 (HVALUE h, uint8_t v);       /* becomes a scalar of that type: 2 U8, 3 I16, 4 I32, 7 R32 */
int32_t  hvSetI16(HVALUE h, int16_t v);
int32_t  hvSetI32(HVALUE h, int32_t v);
int32_t  hvSetR32(HVALUE h, float v);
int32_t  hvGetU8 (HVALUE h, uint8_t* v);      /* scalars only; converts from the held scalar type */
int32_t  hvGetI16(HVALUE h, int16_t* v);
int32_t  hvGetI32(HVALUE h, int32_t* v);
int32_t  hvGetR32(HVALUE h, float* v);
int32_t  hvSetAtU8 (HVALUE h, uint16_t i, uint8_t v);  /* arrays only, i < count; converts to the element type */
int32_t  hvSetAtI16(HVALUE h, uint16_t i, int16_t v);
int32_t  hvSetAtR32(HVALUE h, uint16_t i, float v);
int32_t  hvGetAtU8 (HVALUE h, uint16_t i, uint8_t* v); /* arrays only, i < count; converts from the element type */
int32_t  hvGetAtI16(HVALUE h, uint16_t i, int16_t* v);
int32_t  hvGetAtR32(HVALUE h, uint16_t i, float* v);
uint16_t hvType(HVALUE h);                    /* 0 empty or unknown handle, else the codes above */
uint16_t hvCount(HVALUE h);                   /* 0 empty or unknown, 1 scalar, n for an array */

#ifdef __cplusplus
}
#endif

#endif /* ET32B_H */
