#include "driver.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstring>

#ifndef VKTHOST_DRIVER_NAME
#define VKTHOST_DRIVER_NAME "libvktjx.so"
#endif

namespace vkthost {

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
  const auto lookup = [lib](const char* name) { return dlsym(lib, name); };
  const auto note = [&missing](const char* name) {
    if (!missing.empty()) missing += ", ";
    missing += name;
  };
  ResolveDriverApi(api, lookup, lookup, note);
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
