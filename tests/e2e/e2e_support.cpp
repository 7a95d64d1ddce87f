#include "e2e_support.h"

#include "sim_launch.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace e2e {

using vkt::test::LaunchedSimulator;
using vkt::test::LaunchSimulator;

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

bool Simulator::Start(const std::string& dir, std::vector<std::string> args) {
  trace_ = dir + "/vktsim.trace";
  memory_ = dir + "/vktsim.memory";
  args.insert(args.begin(), {"--trace", "--memory-file", memory_});
  const LaunchedSimulator sim = LaunchSimulator(VKTSIM_PATH, args, trace_);
  if (sim.pid < 0) return false;
  pid_ = sim.pid;
  setenv("VKTJX_COM1", sim.device.c_str(), 1);
  return true;
}

void Simulator::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  unsetenv("VKTJX_COM1");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "vktsim ended badly";
}

std::string Simulator::Trace() {
  Stop();
  return Slurp(trace_);
}

std::string Simulator::Memory() {
  Stop();
  return Slurp(memory_);
}

WorkDir::WorkDir() {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/vkt_e2e_XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "no scratch directory";
    return;
  }
  path_ = pattern;
  previous_ = std::filesystem::current_path().string();
  std::filesystem::current_path(path_);
  // The log goes to VKTJX.log in the current directory unless a test says otherwise.
  unsetenv("VKTJX_LOG");
}

WorkDir::~WorkDir() {
  if (path_.empty()) return;
  std::filesystem::current_path(previous_);
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void WorkDir::Write(const std::string& name, const std::string& text) const {
  std::ofstream(File(name), std::ios::binary) << text;
}

void WorkDir::WriteSettings(const std::string& keys) const {
  Write("VktJX.Cfg",
        "[PC_PORT_SESSION]\npcpsPort=1\npcpsBaud=115200\npcpsVktRespTmo=250\n" + keys);
}

HostTag Tag(std::int16_t station, std::uint16_t kind, std::uint16_t address, std::uint16_t count,
            std::uint16_t offset, std::uint16_t writeCount) {
  HostTag t{};
  t.station = station;
  t.kind = kind;
  t.address = address;
  t.count = count;
  t.offset = offset;
  t.writeCount = writeCount;
  return t;
}

std::vector<std::int32_t> Registers() {
  std::vector<std::int32_t> codes;
  for (std::uint16_t i = 0; i < 4; ++i) {
    HostValue v;
    const HostTag t = Tag(0, 5, i);
    std::int32_t code = 0x7EADBEEF;
    EXPECT_EQ(drvReadValue(&t, v.h()), 1) << "register " << i;
    EXPECT_NE(hvGetI32(v.h(), &code), 0) << "register " << i;
    codes.push_back(code);
  }
  return codes;
}

void Line::SetUp() { dir.WriteSettings(); }

void Line::TearDown() { drvStopComm(0, 0, 0, 0); }

void Line::Begin(const std::vector<std::string>& args, std::uint16_t logCode) {
  ASSERT_TRUE(sim.Start(dir.path(), args));
  ASSERT_EQ(drvStartComm(0, 0, 0, logCode), 1);
}

}  // namespace e2e
