#include "e2e_support.h"

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
  int out[2];
  if (pipe(out) != 0) return false;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], 1);
    if (const int err = open(trace_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644); err >= 0)
      dup2(err, 2);
    close(out[0]);
    args.insert(args.begin(), {"--trace", "--memory-file", memory_});
    std::vector<char*> argv{const_cast<char*>(VKTSIM_PATH)};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(VKTSIM_PATH, argv.data());
    _exit(127);
  }
  close(out[1]);
  std::string first;
  char c = 0;
  pollfd p{out[0], POLLIN, 0};
  while (poll(&p, 1, 5000) > 0 && read(out[0], &c, 1) == 1 && c != '\n') first += c;
  close(out[0]);
  const std::string prefix = "vktsim: listening on ";
  if (first.rfind(prefix, 0) != 0) return false;
  setenv("VKTJX_COM1", first.substr(prefix.size()).c_str(), 1);
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
        "[PC_PORT_SESSION]\npcpsPort=1\npcpsBaud=115200\npcpsVktRespTmo=100\n" + keys);
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
