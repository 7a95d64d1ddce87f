// The exported functions of the value library: each turns one call into one operation of the
// value store and its outcome into 1 or 0. Nothing thrown crosses this file.

// Everything else in the library is hidden; the hv* functions are the library's interface.
#pragma GCC visibility push(default)
#include "et32b.h"
#pragma GCC visibility pop

#include "value_store.h"

using et32b::TheStore;

namespace {

int32_t Answer(bool ok) { return ok ? 1 : 0; }

}  // namespace

extern "C" {

HVALUE hvNew(void) { return TheStore().Create(); }

int32_t hvUse(HVALUE h) { return Answer(TheStore().AddReference(h)); }

int32_t hvRelease(HVALUE h) { return Answer(TheStore().DropReference(h)); }

int32_t hvDim(HVALUE h, uint16_t type, uint16_t n) { return Answer(TheStore().Dim(h, type, n)); }

int32_t hvSetU8(HVALUE h, uint8_t v) { return Answer(TheStore().SetScalar(h, et32b::kU8, v)); }
int32_t hvSetI16(HVALUE h, int16_t v) { return Answer(TheStore().SetScalar(h, et32b::kI16, v)); }
int32_t hvSetI32(HVALUE h, int32_t v) { return Answer(TheStore().SetScalar(h, et32b::kI32, v)); }
int32_t hvSetR32(HVALUE h, float v) { return Answer(TheStore().SetScalar(h, et32b::kR32, v)); }

int32_t hvGetU8(HVALUE h, uint8_t* v) { return Answer(TheStore().GetScalar(h, v)); }
int32_t hvGetI16(HVALUE h, int16_t* v) { return Answer(TheStore().GetScalar(h, v)); }
int32_t hvGetI32(HVALUE h, int32_t* v) { return Answer(TheStore().GetScalar(h, v)); }
int32_t hvGetR32(HVALUE h, float* v) { return Answer(TheStore().GetScalar(h, v)); }

int32_t hvSetAtU8(HVALUE h, uint16_t i, uint8_t v) { return Answer(TheStore().SetElement(h, i, v)); }
int32_t hvSetAtI16(HVALUE h, uint16_t i, int16_t v) { return Answer(TheStore().SetElement(h, i, v)); }
int32_t hvSetAtR32(HVALUE h, uint16_t i, float v) { return Answer(TheStore().SetElement(h, i, v)); }

int32_t hvGetAtU8(HVALUE h, uint16_t i, uint8_t* v) { return Answer(TheStore().GetElement(h, i, v)); }
int32_t hvGetAtI16(HVALUE h, uint16_t i, int16_t* v) { return Answer(TheStore().GetElement(h, i, v)); }
int32_t hvGetAtR32(HVALUE h, uint16_t i, float* v) { return Answer(TheStore().GetElement(h, i, v)); }

uint16_t hvType(HVALUE h) { return TheStore().Type(h); }

uint16_t hvCount(HVALUE h) { return TheStore().Count(h); }

}  // extern "C"
