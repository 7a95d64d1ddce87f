// Starting the station simulator for a test: vktsim runs as a child process on a
// pseudo-terminal it creates, and its first line on standard output names the device.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace vkt::test {

struct LaunchedSimulator {
  pid_t pid = -1;       // the child, or -1 when it did not start
  std::string device;   // the pty the driver is to open
  std::string failure;  // why it did not start, for the test's message
};

// Runs `program` with `args`, standard error to `stderrPath` ("/dev/null" to drop it), and
// waits up to 5 s for its "vktsim: listening on DEVICE" line.
LaunchedSimulator LaunchSimulator(const std::string& program, const std::vector<std::string>& args,
                                  const std::string& stderrPath);

}  // namespace vkt::test
