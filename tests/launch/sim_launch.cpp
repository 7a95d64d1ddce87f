#include "sim_launch.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vkt::test {

LaunchedSimulator LaunchSimulator(const std::string& program, const std::vector<std::string>& args,
                                  const std::string& stderrPath) {
  LaunchedSimulator sim;
  int out[2];
  if (pipe(out) != 0) {
    sim.failure = "pipe failed";
    return sim;
  }
  // Built before the fork: the child only calls async-signal-safe functions.
  std::vector<std::string> words = args;
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (std::string& a : words) argv.push_back(a.data());
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    if (const int err = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644); err >= 0)
      dup2(err, 2);
    close(out[0]);
    close(out[1]);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  if (pid < 0) {
    close(out[0]);
    sim.failure = "fork failed";
    return sim;
  }
  std::string first;
  char c = 0;
  pollfd p{out[0], POLLIN, 0};
  while (poll(&p, 1, 5000) > 0 && read(out[0], &c, 1) == 1 && c != '\n') first += c;
  close(out[0]);
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
