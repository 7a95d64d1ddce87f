#include "demo.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "host.h"
#include "common/result_codes.h"

extern char** environ;

namespace vkthost {

namespace {

constexpr int kStation = 7;
constexpr int kSilentStation = 9;

bool IsExecutable(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

std::string FindSimulator(const Options& options, const std::string& exeDir) {
  if (!options.sim.empty()) return options.sim;
  for (const std::string& p : {exeDir + "/vktsim", exeDir + "/../vktsim/vktsim"}) {
    char real[PATH_MAX];
    if (IsExecutable(p)) return realpath(p.c_str(), real) != nullptr ? real : p;
  }
  return {};
}

// The simulator as a child process: its first output line names the pseudo-terminal.
class Simulator {
 public:
  ~Simulator() { Stop(); }

  bool Start(const std::string& path, const std::string& tracePath, std::string& device,
             std::string& error) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
      error = std::string("pipe: ") + std::strerror(errno);
      return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, tracePath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const std::string station = std::to_string(kStation);
    const char* argv[] = {path.c_str(), "--stations", station.c_str(), "--pattern", "--trace",
                          nullptr};
    const int rc = posix_spawn(&pid_, path.c_str(), &actions, nullptr,
                               const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
      close(out[0]);
      pid_ = -1;
      error = "cannot start " + path + ": " + std::strerror(rc);
      return false;
    }
    // "vktsim: listening on /dev/pts/N"
    std::string line;
    char c = 0;
    pollfd pfd{out[0], POLLIN, 0};
    while (line.size() < 256) {
      if (poll(&pfd, 1, 5000) <= 0 || read(out[0], &c, 1) != 1) break;
      if (c == '\n') break;
      line += c;
    }
    close(out[0]);
    const std::string prefix = "vktsim: listening on ";
    if (line.rfind(prefix, 0) != 0) {
      error = "the simulator did not report its line (see " + tracePath + ")";
      return false;
    }
    device = line.substr(prefix.size());
    return true;
  }

  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

std::string ReadFile(const std::string& path, std::size_t from = 0) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  in.seekg(static_cast<std::streamoff>(from));
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::size_t FileSize(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0;
}

std::string Join(Kind kind, const std::vector<double>& values) {
  std::string s;
  for (double v : values) s += (s.empty() ? "" : " ") + FormatValue(kind, v);
  return s;
}

class Story {
 public:
  Story(Host& host, std::string tracePath) : host_(host), tracePath_(std::move(tracePath)) {}

  int failures() const { return failures_; }

  void Step(const char* title) { std::printf("\n%d. %s\n", ++step_, title); }

  void Check(bool ok, const std::string& what) {
    std::printf("   %s: %s\n", what.c_str(), ok ? "ok" : "NOT AS EXPECTED");
    if (!ok) ++failures_;
  }

  // Writes a block, reads it back as a block and its second element alone.
  void WriteReadBack(Kind kind, std::uint16_t address, const std::vector<double>& values) {
    Command w;
    w.verb = Verb::kWrite;
    w.station = kStation;
    w.kind = kind;
    w.address = address;
    w.count = static_cast<std::uint16_t>(values.size());
    for (double v : values) {
      if (kind == kFloat) w.floats.push_back(static_cast<float>(v));
      else w.ints.push_back(static_cast<std::int32_t>(v));
    }
    const std::int32_t code = host_.Write(w);
    std::printf("   drvWriteBlock  %s = %s: %s\n", TagText(w).c_str(), Join(kind, values).c_str(),
                code == 0 ? "1" : ("-1, " + std::to_string(code)).c_str());
    if (code != 0) {
      Check(false, "write");
      return;
    }
    Command r = w;
    r.verb = Verb::kRead;
    r.hasCount = true;
    const ReadResult block = host_.Read(r);
    std::printf("   drvReadBlock   %s, %u values: %s\n", TagText(r).c_str(), r.count,
                block.ok ? Join(kind, block.values).c_str() : DescribeCode(block).c_str());
    r.hasCount = false;
    r.address = static_cast<std::uint16_t>(address + 1);
    const ReadResult one = host_.Read(r);
    std::printf("   drvReadValue   %s = %s\n", TagText(r).c_str(),
                one.ok ? FormatValue(kind, one.values[0]).c_str() : DescribeCode(one).c_str());
    Check(block.ok && block.values == values && one.ok && one.values[0] == values[1],
          "read back what was written");
  }

  void BlockRead() {
    Command r;
    r.verb = Verb::kRead;
    r.station = kStation;
    r.kind = kWord;
    r.address = 1000;
    r.count = 300;
    r.hasCount = true;
    const std::size_t before = FileSize(tracePath_);
    const ReadResult block = host_.Read(r);
    std::printf("   drvReadBlock   %s, 300 values: %s\n", TagText(r).c_str(),
                block.ok ? "1" : DescribeCode(block).c_str());
    // The simulator's trace shows each request frame it received for this read.
    std::istringstream trace(ReadFile(tracePath_, before));
    std::string line;
    int frames = 0;
    while (std::getline(trace, line)) {
      if (line.find("<- station 7 0x91") == std::string::npos) continue;
      ++frames;
      const std::size_t bar = line.find(" | ");
      std::printf("     simulator %s\n", line.substr(0, bar).c_str());
    }
    bool pattern = block.ok && block.values.size() == 300;
    for (std::size_t i = 0; pattern && i < block.values.size(); ++i)
      pattern = block.values[i] == 1000.0 + static_cast<double>(i);
    if (block.ok) {
      std::printf("   values:\n");
      PrintValues(stdout, kWord, 1000, std::vector<double>(block.values.begin(),
                                                           block.values.begin() + 20), "     ");
      std::printf("     ... (280 more)\n");
    }
    Check(pattern, "300 words, each equal to its address (the simulator's preset memory)");
    Check(frames == 3, std::to_string(frames) + " request frames (124 + 124 + 52 words)");
  }

  void SilentStation() {
    Command r;
    r.verb = Verb::kRead;
    r.station = kSilentStation;
    r.kind = kWord;
    r.address = 0;
    const ReadResult one = host_.Read(r);
    std::printf("   drvReadValue   %s: %s\n", TagText(r).c_str(),
                one.ok ? "1 (an answer from nowhere)" : ("-1, " + DescribeCode(one)).c_str());
    Check(!one.ok && one.code == vkt::kNoAnswer, "no answer, reported as 16105");
  }

  void Registers() {
    std::int32_t regs[4];
    const char* names[4] = {"last", "start", "read", "write"};
    for (std::uint16_t i = 0; i < 4; ++i) {
      regs[i] = host_.Register(i);
      std::printf("   drvReadValue   kind 5 address %u (%s) = %d%s%s\n", i, names[i], regs[i],
                  regs[i] != 0 ? ": " : "", regs[i] != 0 ? vkt::ResultMessage(regs[i]) : "");
    }
    Check(regs[0] == vkt::kNoAnswer && regs[1] == 0 && regs[2] == vkt::kNoAnswer && regs[3] == 0,
          "the failed read is in registers 0 and 2, the start and the writes are clean");
  }

 private:
  static std::string DescribeCode(const ReadResult& r) {
    if (!r.problem.empty()) return r.problem;
    return std::to_string(r.code) + ": " + vkt::ResultMessage(r.code);
  }

  Host& host_;
  std::string tracePath_;
  int step_ = 0;
  int failures_ = 0;
};

void RemoveDir(const std::string& dir) {
  for (const char* name : {"VktJX.Cfg", "VKTJX.log", "vktsim.trace"})
    unlink((dir + "/" + name).c_str());
  rmdir(dir.c_str());
}

}  // namespace

int RunDemo(const DriverApi& api, const Options& options, const std::string& exeDir) {
  const std::string sim = FindSimulator(options, exeDir);
  if (sim.empty() || !IsExecutable(sim)) {
    std::fprintf(stderr, "vkthost: demo: the station simulator vktsim was not found next to "
                         "vkthost\n  hint: build it (make build) or pass --sim PATH\n");
    return 1;
  }
  char dirTemplate[] = "/tmp/vkthost-demo.XXXXXX";
  if (mkdtemp(dirTemplate) == nullptr) {
    std::fprintf(stderr, "vkthost: demo: cannot make a temporary directory: %s\n",
                 std::strerror(errno));
    return 1;
  }
  const std::string dir = dirTemplate;
  const std::string tracePath = dir + "/vktsim.trace";
  const std::string logPath = dir + "/VKTJX.log";

  std::printf("vkthost demo: the driver on a simulated line, through its exported functions\n");
  std::printf("   driver: %s\n", api.drvGetDriverName());
  std::string device, error;
  int failures = 0;
  {
    Simulator simulator;
    if (!simulator.Start(sim, tracePath, device, error)) {
      std::fprintf(stderr, "vkthost: demo: %s\n", error.c_str());
      RemoveDir(dir);
      return 1;
    }
    std::printf("   simulator: %s --stations %d --pattern, serving station %d on %s\n",
                sim.c_str(), kStation, kStation, device.c_str());

    const std::string settings =
        "; written by vkthost demo\n"
        "[PC_PORT_SESSION]\n"
        "pcpsPort=1\n"
        "pcpsBaud=19200\n"
        "pcpsVktRespTmo=200\n"
        "pcpsVktComRetry=2\n";
    {
      std::ofstream cfg(dir + "/VktJX.Cfg");
      cfg << settings;
    }
    setenv("VKTJX_COM1", device.c_str(), 1);
    setenv("VKTJX_LOG", logPath.c_str(), 1);
    if (chdir(dir.c_str()) != 0) {
      std::fprintf(stderr, "vkthost: demo: cannot enter %s\n", dir.c_str());
      RemoveDir(dir);
      return 1;
    }
    std::printf("   settings: %s/VktJX.Cfg, COM1 = %s (VKTJX_COM1)\n", dir.c_str(), device.c_str());
    std::istringstream lines(settings);
    for (std::string line; std::getline(lines, line);) std::printf("     %s\n", line.c_str());

    Host host(api, dir);
    Story story(host, tracePath);

    story.Step("start, with the driver log on (a new file)");
    const std::int16_t started = api.drvStartComm(0, 0, 0, kLogNewFile);
    std::printf("   drvStartComm(0, 0, 0, %u) = %d\n", kLogNewFile, started);
    story.Check(started == 1, "started");
    if (started != 1) host.PrintFailure("start", host.Register(kRegStart), nullptr);

    if (started == 1) {
      story.Step("words: write three, read them back");
      story.WriteReadBack(kWord, 100, {1234, -5, 32767});
      story.Step("bits: write four, read them back");
      story.WriteReadBack(kBit, 10, {1, 0, 1, 1});
      story.Step("floats: write three, read them back");
      story.WriteReadBack(kFloat, 20, {3.25, -0.5, 1e6});
      story.Step("a block of 300 words: more than one frame holds");
      story.BlockRead();
      story.Step("a station that does not answer");
      story.SilentStation();
      story.Step("the error registers, read back as tags of kind 5");
      story.Registers();
    }
    story.Step("stop");
    std::printf("   drvStopComm(0, 0, 0, 0) = %d\n", api.drvStopComm(0, 0, 0, 0));
    simulator.Stop();

    story.Step(("the driver log, " + logPath).c_str());
    const std::string log = ReadFile(logPath);
    std::istringstream logLines(log);
    for (std::string line; std::getline(logLines, line);) std::printf("   | %s\n", line.c_str());
    if (log.find("drvReadBlock(7,1,1000,300") == std::string::npos) {
      std::printf("   the log lacks the block read: NOT AS EXPECTED\n");
      story.Check(false, "the log shows the block read");
    }
    failures = story.failures();
  }
  RemoveDir(dir);
  if (failures == 0) {
    std::printf("\ndemo: every step behaved as expected\n");
    return 0;
  }
  std::printf("\ndemo: %d step%s did not behave as expected\n", failures,
              failures == 1 ? "" : "s");
  return 1;
}

}  // namespace vkthost
