// vkthost: a small host of the driver library for commissioning and tests. It loads the
// library at run time and calls only its exported functions, as a SCADA host does.
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "args.h"
#include "decode.h"
#include "demo.h"
#include "driver.h"
#include "host.h"

using namespace vkthost;

namespace {

std::string Absolute(const std::string& path) {
  char buffer[PATH_MAX];
  if (realpath(path.c_str(), buffer) != nullptr) return buffer;
  if (!path.empty() && path[0] == '/') return path;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return path;
  return std::string(cwd) + "/" + path;
}

bool FindDriver(const Options& options, const std::string& exeDir, DriverApi& api) {
  std::string error;
  if (!options.driver.empty()) {
    if (LoadDriver(Absolute(options.driver), api, error)) return true;
    std::fprintf(stderr, "vkthost: %s\n", error.c_str());
    return false;
  }
  std::string tried;
  for (const std::string& path : DriverCandidates(exeDir)) {
    if (access(path.c_str(), F_OK) != 0) {
      tried += "\n    " + path;
      continue;
    }
    if (LoadDriver(path, api, error)) return true;
    std::fprintf(stderr, "vkthost: %s\n", error.c_str());
    return false;
  }
  std::fprintf(stderr, "vkthost: no driver library found; looked for:%s\n"
                       "  hint: pass --driver PATH/libvktjx.so\n", tried.c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::vector<Command> commands;
  std::string error;
  if (!ParseArgs(argc, argv, options, commands, error)) {
    std::fprintf(stderr, "vkthost: %s\n\n%s", error.c_str(), Usage());
    return 2;
  }
  if (options.help) {
    std::fputs(Usage(), stdout);
    return 0;
  }
  if (commands.front().verb == Verb::kDecode)
    return RunDecode(commands.front().file, commands.front().json, stdout);
  if (!NeedsDriver(commands)) {
    for (const Command& c : commands) PrintCodes(stdout, c.markdown);
    return 0;
  }

  const std::string exeDir = ExecutableDir();
  DriverApi api{};
  if (!FindDriver(options, exeDir, api)) return 1;
  InstallInterruptHandler();

  // The capture path is made absolute first: --dir changes the directory the driver sees.
  if (!options.capture.empty()) setenv("VKTJX_CAPTURE", Absolute(options.capture).c_str(), 1);
  if (commands.front().verb == Verb::kDemo) return RunDemo(api, options, exeDir);

  for (const auto& [n, device] : options.ports)
    setenv(("VKTJX_COM" + std::to_string(n)).c_str(), device.c_str(), 1);
  if (!options.dir.empty() && chdir(options.dir.c_str()) != 0) {
    std::fprintf(stderr, "vkthost: settings directory %s: %s\n", options.dir.c_str(),
                 std::strerror(errno));
    return 1;
  }
  const std::string dir = Absolute(".");
  // The driver writes its log where VKTJX_LOG says, else VKTJX.log in the current directory.
  const char* logEnv = getenv("VKTJX_LOG");
  const std::string logPath =
      logEnv != nullptr && *logEnv != '\0' ? std::string(logEnv) : dir + "/VKTJX.log";

  Host host(api, dir);
  int status = 0;
  if (host.Start(options.logCode)) {
    for (const Command& c : commands) {
      if (Interrupted()) break;
      if (host.Run(c) != 0) status = 1;
    }
  } else {
    status = 1;
  }
  host.Stop();
  if (options.logCode != 0) std::fprintf(stderr, "vkthost: driver log: %s\n", logPath.c_str());
  return status;
}
