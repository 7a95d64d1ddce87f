#include "sim_launch.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "child_process.h"

namespace vkt::test {

LaunchedSimulator LaunchSimulator(const std::string& program, const std::vector<std::string>& args,
                                  const std::string& stderrPath) {
  LaunchedSimulator sim;
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  const int err = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  Child child;
  const bool started = child.Start(argv, err);
  if (err >= 0) close(err);
  if (!started) {
    sim.failure = "vktsim could not be started";
    return sim;
  }
  const std::string first = child.FirstLine(5000);
  const pid_t pid = child.Release();
  const std::string prefix = "vktsim: listening on ";
  if (first.rfind(prefix, 0) != 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    sim.failure = "vktsim did not start: \"" + first + "\"";
    return sim;
  }
  sim.pid = pid;
  sim.device = first.substr(prefix.size());
  return sim;
}

}  // namespace vkt::test
