#include "driver.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstring>

#ifndef VKTHOST_DRIVER_NAME
#define VKTHOST_DRIVER_NAME "libvktjx.so"
#endif

namespace vkthost {

namespace {

template <typename F>
bool Resolve(void* lib, const char* name, F& fn, std::string& missing) {
  fn = reinterpret_cast<F>(dlsym(lib, name));
  if (fn == nullptr) {
    if (!missing.empty()) missing += ", ";
    missing += name;
    return false;
  }
  return true;
}

}  // namespace

bool LoadDriver(const std::string& path, DriverApi& api, std::string& error) {
  void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    const char* why = dlerror();
    error = "cannot load the driver library " + path + ": " + (why ? why : "unknown reason");
    return false;
  }
  std::string missing;
  // dlsym on the driver's handle also searches its dependencies, which is where the value
  // library is: the host and the driver then share one value store.
  Resolve(lib, "drvStartComm", api.drvStartComm, missing);
  Resolve(lib, "drvStopComm", api.drvStopComm, missing);
  Resolve(lib, "drvGetCaps", api.drvGetCaps, missing);
  Resolve(lib, "drvGetDriverName", api.drvGetDriverName, missing);
  Resolve(lib, "drvSetSettingsHandle", api.drvSetSettingsHandle, missing);
  Resolve(lib, "drvDriverDialog", api.drvDriverDialog, missing);
  Resolve(lib, "drvReadValue", api.drvReadValue, missing);
  Resolve(lib, "drvReadBlock", api.drvReadBlock, missing);
  Resolve(lib, "drvReadBlockElement", api.drvReadBlockElement, missing);
  Resolve(lib, "drvWriteValue", api.drvWriteValue, missing);
  Resolve(lib, "drvWriteBlock", api.drvWriteBlock, missing);
  Resolve(lib, "drvWriteBlockElement", api.drvWriteBlockElement, missing);
  Resolve(lib, "hvNew", api.hvNew, missing);
  Resolve(lib, "hvRelease", api.hvRelease, missing);
  Resolve(lib, "hvDim", api.hvDim, missing);
  Resolve(lib, "hvSetU8", api.hvSetU8, missing);
  Resolve(lib, "hvSetI16", api.hvSetI16, missing);
  Resolve(lib, "hvSetR32", api.hvSetR32, missing);
  Resolve(lib, "hvGetI32", api.hvGetI32, missing);
  Resolve(lib, "hvGetR32", api.hvGetR32, missing);
  Resolve(lib, "hvSetAtU8", api.hvSetAtU8, missing);
  Resolve(lib, "hvSetAtI16", api.hvSetAtI16, missing);
  Resolve(lib, "hvSetAtR32", api.hvSetAtR32, missing);
  Resolve(lib, "hvGetAtI16", api.hvGetAtI16, missing);
  Resolve(lib, "hvGetAtR32", api.hvGetAtR32, missing);
  Resolve(lib, "hvType", api.hvType, missing);
  Resolve(lib, "hvCount", api.hvCount, missing);
  if (!missing.empty()) {
    error = path + " is not the VKT driver library: it lacks " + missing;
    dlclose(lib);
    return false;
  }
  // The library stays loaded until the process ends.
  return true;
}

std::vector<std::string> DriverCandidates(const std::string& exeDir) {
  std::vector<std::string> out;
  out.push_back(exeDir + "/" VKTHOST_DRIVER_NAME);
#ifdef VKTHOST_REL_LIBDIR
  out.push_back(exeDir + "/" VKTHOST_REL_LIBDIR "/" VKTHOST_DRIVER_NAME);
#endif
#ifdef VKTHOST_BUILD_DRIVER
  out.push_back(VKTHOST_BUILD_DRIVER);
#endif
  return out;
}

std::string ExecutableDir() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return ".";
  buffer[n] = '\0';
  char* slash = std::strrchr(buffer, '/');
  if (slash == nullptr) return ".";
  if (slash == buffer) return "/";
  *slash = '\0';
  return buffer;
}

}  // namespace vkthost
