// Helper processes of the tests, the soak and the benchmark (the station simulator, the paced
// relay, the Modbus peer server), each started with its standard output on a pipe so that the
// first line (the device it serves) can be read, and stopped with SIGTERM at the end; and
// programs run to their end with their output in files (the tools under test).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

namespace vkt::test {

class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { Stop(); }

  // Starts `argv[0]` with the given arguments; `stderrFd` >= 0 receives its standard error.
  bool Start(const std::vector<std::string>& args, int stderrFd = -1) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      dup2(out[1], 1);
      if (stderrFd >= 0) dup2(stderrFd, 2);
      std::vector<char*> argv;
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      std::fprintf(stderr, "cannot run %s: %s\n", args[0].c_str(), std::strerror(errno));
      _exit(127);
    }
    close(out[1]);
    out_ = out[0];
    return true;
  }

  // The first line the child writes, within `timeoutMs`; empty if none came.
  std::string FirstLine(int timeoutMs = 5000) {
    std::string line;
    char c;
    while (line.size() < 512) {
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, timeoutMs) <= 0) return {};
      if (read(out_, &c, 1) != 1) return {};
      if (c == '\n') return line;
      line += c;
    }
    return {};
  }

  bool Running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // Hands the child over to the caller, who then stops it: closes the pipe, returns the pid.
  pid_t Release() {
    const pid_t pid = pid_;
    pid_ = -1;
    if (out_ >= 0) close(out_);
    out_ = -1;
    return pid;
  }

  // SIGTERM, then the exit status (-1 if it had to be killed or was not running).
  int Stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 300; ++i) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        if (out_ >= 0) close(out_);
        out_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      timespec ts{0, 10000000};
      nanosleep(&ts, nullptr);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    if (out_ >= 0) close(out_);
    out_ = -1;
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

inline double NowSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// A program run to its end.
struct Finished {
  int status = -1;  // its exit status; -1 when it did not exit by itself
  bool timedOut = false;
  std::string out, err;
};

inline std::string FileText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs `args` (args[0] the program) in `cwd` to its end, with its standard output and error in
// `base`.out and `base`.err, so that nothing can block, and without the environment variables
// in `unset`; killed after `timeoutS`.
inline Finished RunToEnd(const std::vector<std::string>& args, const std::string& cwd,
                         const std::string& base, std::initializer_list<const char*> unset = {},
                         int timeoutS = 60) {
  const std::string outPath = base + ".out", errPath = base + ".err";
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(126);
    const int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(o, 1);
    dup2(e, 2);
    for (const char* name : unset) unsetenv(name);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  Finished r;
  int status = 0;
  const double deadline = NowSeconds() + timeoutS;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (NowSeconds() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      r.timedOut = true;
      break;
    }
    timespec ts{0, 10000000};
    nanosleep(&ts, nullptr);
  }
  r.status = !r.timedOut && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = FileText(outPath);
  r.err = FileText(errPath);
  return r;
}

// The text after `key` up to the next blank, from a line such as "relay: A=/dev/pts/3 B=...".
inline std::string Field(const std::string& line, const std::string& key) {
  const std::size_t at = line.find(key);
  if (at == std::string::npos) return {};
  const std::size_t start = at + key.size();
  const std::size_t end = line.find(' ', start);
  return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

}  // namespace vkt::test
