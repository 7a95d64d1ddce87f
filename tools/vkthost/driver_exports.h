// The functions a host reaches when it loads the libraries at run time: the driver's twelve
// exports and the value-library calls a host makes itself, as lists, so that every loader (this
// host on Linux, the Windows test host) declares and resolves the same set the same way.
#pragma once

#include <type_traits>

#include "vktjx.h"

#define VKTJX_DRIVER_EXPORTS(X)                                                        \
  X(drvStartComm) X(drvStopComm) X(drvGetCaps) X(drvGetDriverName) X(drvSetSettingsHandle) \
  X(drvDriverDialog) X(drvReadValue) X(drvReadBlock) X(drvReadBlockElement) X(drvWriteValue) \
  X(drvWriteBlock) X(drvWriteBlockElement)

#define VKTJX_HOST_VALUE_FUNCTIONS(X)                                                       \
  X(hvNew) X(hvRelease) X(hvDim) X(hvSetU8) X(hvSetI16) X(hvSetR32) X(hvGetU8) X(hvGetI16)   \
  X(hvGetI32) X(hvGetR32) X(hvSetAtU8) X(hvSetAtI16) X(hvSetAtR32) X(hvGetAtU8) X(hvGetAtI16) \
  X(hvGetAtR32) X(hvType) X(hvCount)

namespace vkthost {

// The functions, as the headers declare them, through pointers resolved at run time.
struct DriverApi {
#define VKTJX_POINTER(name) decltype(&::name) name = nullptr;
  VKTJX_DRIVER_EXPORTS(VKTJX_POINTER)
  VKTJX_HOST_VALUE_FUNCTIONS(VKTJX_POINTER)
#undef VKTJX_POINTER
};

// Resolves the driver's exports through `inDriver(name)` and the value library's functions
// through `inValues(name)` (each an address, or null when the library has no such function),
// and calls `missing(name)` for each that is not there.
template <typename DriverLookup, typename ValueLookup, typename Missing>
void ResolveDriverApi(DriverApi& api, DriverLookup&& inDriver, ValueLookup&& inValues,
                      Missing&& missing) {
  const auto resolve = [&missing](auto& fn, const char* name, auto& lookup) {
    fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(lookup(name));
    if (fn == nullptr) missing(name);
  };
#define VKTJX_FROM_DRIVER(name) resolve(api.name, #name, inDriver);
#define VKTJX_FROM_VALUES(name) resolve(api.name, #name, inValues);
  VKTJX_DRIVER_EXPORTS(VKTJX_FROM_DRIVER)
  VKTJX_HOST_VALUE_FUNCTIONS(VKTJX_FROM_VALUES)
#undef VKTJX_FROM_DRIVER
#undef VKTJX_FROM_VALUES
}

}  // namespace vkthost
