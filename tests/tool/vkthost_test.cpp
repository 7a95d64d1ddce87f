// vkthost as a user runs it: a separate process, against the station simulator on a
// pseudo-terminal, judged by its output and exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "sim_launch.h"
namespace {

std::string ReadFile(const std::string& path) { return vkt::test::FileText(path); }

// Directories made by the tests, removed when the test program ends.
std::vector<std::string>& TempDirs() {
  static std::vector<std::string> dirs;
  return dirs;
}

class RemoveTempDirs : public ::testing::Environment {
 public:
  void TearDown() override {
    std::error_code ignored;
    for (const std::string& d : TempDirs()) std::filesystem::remove_all(d, ignored);
  }
};
const auto* const kRemoveTempDirs = ::testing::AddGlobalTestEnvironment(new RemoveTempDirs);

std::string MakeTempDir(const char* tag) {
  std::string t = ::testing::TempDir() + "vkthost_" + tag + "_XXXXXX";
  if (mkdtemp(t.data()) == nullptr) return {};
  char real[PATH_MAX];
  const std::string dir = realpath(t.c_str(), real) ? real : t;
  TempDirs().push_back(dir);
  return dir;
}

using Outcome = vkt::test::Finished;

// Runs vkthost with `args` in `cwd`; stdout and stderr go to files, so nothing can block.
Outcome RunHost(const std::vector<std::string>& args, const std::string& cwd) {
  static int runs = 0;
  static const std::string scratch = MakeTempDir("output");
  std::vector<std::string> argv{VKTHOST_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  const Outcome r =
      vkt::test::RunToEnd(argv, cwd, scratch + "/run" + std::to_string(++runs), {"VKTJX_LOG"});
  if (r.timedOut) ADD_FAILURE() << "vkthost did not finish";
  return r;
}

std::string Describe(const Outcome& r) {
  return "exit " + std::to_string(r.status) + "\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
}

// One simulator for the suite: station 1 served with preset memory, station 9 silent.
class VkthostTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = MakeTempDir("suite");
    const vkt::test::LaunchedSimulator sim = vkt::test::LaunchSimulator(
        VKTSIM_PATH, {"--stations", "1", "--pattern"}, dir_ + "/vktsim.err");
    ASSERT_GT(sim.pid, 0) << sim.failure;
    simPid_ = sim.pid;
    device_ = sim.device;
    std::ofstream(dir_ + "/VktJX.Cfg") << "[PC_PORT_SESSION]\npcpsPort=1\npcpsBaud=19200\n"
                                          "pcpsVktRespTmo=150\npcpsVktComRetry=2\n";
  }

  static void TearDownTestSuite() {
    if (simPid_ > 0) {
      kill(simPid_, SIGTERM);
      waitpid(simPid_, nullptr, 0);
      simPid_ = -1;
    }
  }

  // vkthost with COM1 mapped to the simulator, in the suite's settings directory.
  static Outcome Host(std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", "COM1=" + device_});
    return RunHost(args, dir_);
  }

  static std::string dir_, device_;
  static pid_t simPid_;
};

std::string VkthostTest::dir_;
std::string VkthostTest::device_;
pid_t VkthostTest::simPid_ = -1;

std::vector<std::string> Split(const std::string& s) {
  std::istringstream in(s);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

struct ReadBackCase {
  const char* name;
  const char* commands;
  std::vector<const char*> expected;  // lines of stdout, in this order
};

TEST_F(VkthostTest, WritesAndReadsBackEachKind) {
  const ReadBackCase cases[] = {
      {"words", "write 1 word 200 1234 -5 32767 then read 1 word 200 3 then read 1 word 201",
       {"station 1 word 200: wrote 3 values", "station 1 word 200, 3 values:",
        "    200: 1234 -5 32767", "station 1 word 201 = -5"}},
      {"one word, 65535 as -1", "write 1 word 210 65535 then read 1 word 210",
       {"station 1 word 210: wrote 1 value", "station 1 word 210 = -1"}},
      {"bits", "write 1 bit 300 1 0 1 1 then read 1 bit 300 4 then write 1 bit 301 1 "
               "then read 1 bit 301",
       {"station 1 bit 300, 4 values:", "    300: 1 0 1 1", "station 1 bit 301 = 1"}},
      {"floats", "write 1 float 400 3.25 -0.5 100000 then read 1 float 400 3 "
                 "then write 1 float 410 0.1 then read 1 float 410",
       {"station 1 float 400, 3 values:", "    400: 3.25 -0.5 100000",
        "station 1 float 410 = 0.1"}},
      {"a block over several frames", "read 1 word 7000 130",
       {"station 1 word 7000, 130 values:", "   7000: 7000 7001 7002", "   7120: 7120 7121"}},
  };
  for (const ReadBackCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome r = Host(Split(c.commands));
    ASSERT_EQ(r.status, 0) << Describe(r);
    std::size_t at = 0;
    for (const char* line : c.expected) {
      const std::size_t found = r.out.find(line, at);
      ASSERT_NE(found, std::string::npos) << "missing \"" << line << "\"\n" << Describe(r);
      at = found;
    }
  }
}

struct PollCase {
  const char* kind;
  const char* address;
  const char* count;
  const char* values;  // the simulator's preset memory there
};

TEST_F(VkthostTest, PollsEachKindWithPlainLinesWhenNotATerminal) {
  const PollCase cases[] = {
      {"word", "5000", "3", ": 5000 5001 5002\n"},
      {"bit", "5000", "3", ": 0 1 0\n"},
      {"float", "5000", "2", ": 5000.5 5001.5\n"},
      {"reg", "0", "4", ": 0 0 0 0\n"},
  };
  for (const PollCase& c : cases) {
    SCOPED_TRACE(c.kind);
    const Outcome r =
        Host({"poll", "1", c.kind, c.address, c.count, "--interval", "20", "--times", "3"});
    ASSERT_EQ(r.status, 0) << Describe(r);
    for (const char* n : {"read 1 ok ", "read 2 ok ", "read 3 ok "})
      EXPECT_NE(r.out.find(n), std::string::npos) << Describe(r);
    EXPECT_NE(r.out.find(c.values), std::string::npos) << Describe(r);
    EXPECT_EQ(r.out.find("read 4"), std::string::npos) << Describe(r);
    EXPECT_NE(r.out.find("poll: 3 reads: 3 done, 0 failed; response ms min"), std::string::npos)
        << Describe(r);
    EXPECT_EQ(r.out.find("\x1b["), std::string::npos) << "no terminal codes in a pipe";
  }
}

TEST_F(VkthostTest, StationThatDoesNotAnswer) {
  const Outcome read = Host({"read", "9", "word", "0"});
  EXPECT_EQ(read.status, 1) << Describe(read);
  EXPECT_NE(read.err.find("read station 9 word 0 failed: 16105: no answer"), std::string::npos)
      << Describe(read);
  EXPECT_NE(read.err.find("hint: "), std::string::npos) << Describe(read);
  EXPECT_EQ(read.out, "");

  const Outcome polled = Host({"poll", "9", "word", "0", "1", "--interval", "0", "--times", "2"});
  EXPECT_EQ(polled.status, 1) << Describe(polled);
  EXPECT_NE(polled.out.find("read 2 failed after"), std::string::npos) << Describe(polled);
  EXPECT_NE(polled.out.find("poll: 2 reads: 0 done, 2 failed\n"), std::string::npos)
      << Describe(polled);

  // In one start, the registers read back as tags show the failed read; later commands run.
  const Outcome regs = Host(Split("read 9 word 0 then read 0 reg 0 4 then read 1 word 6000"));
  EXPECT_EQ(regs.status, 1) << Describe(regs);
  for (const char* line : {"error register 0 (last) = 16105: no answer",
                           "error register 1 (start) = 0\n", "error register 2 (read) = 16105",
                           "error register 3 (write) = 0\n", "station 1 word 6000 = 6000\n"})
    EXPECT_NE(regs.out.find(line), std::string::npos) << line << "\n" << Describe(regs);
}

TEST_F(VkthostTest, OperationsTheDriverRefuse) {
  const Outcome reg = Host({"write", "1", "reg", "0", "5"});
  EXPECT_EQ(reg.status, 1) << Describe(reg);
  EXPECT_NE(reg.err.find("16012: "), std::string::npos) << Describe(reg);

  const Outcome big = Host({"read", "1", "word", "0", "501"});
  EXPECT_EQ(big.status, 1) << Describe(big);
  EXPECT_NE(big.err.find("16011: "), std::string::npos) << Describe(big);
  EXPECT_NE(big.err.find("500 words"), std::string::npos) << Describe(big);

  const Outcome station = Host({"read", "0", "word", "0"});
  EXPECT_EQ(station.status, 1) << Describe(station);
  EXPECT_NE(station.err.find("16043: "), std::string::npos) << Describe(station);
}

TEST_F(VkthostTest, LogOnWritesTheDriverLogInTheSettingsDirectory) {
  const std::string dir = MakeTempDir("log");
  std::ofstream(dir + "/VktJX.Cfg") << ReadFile(dir_ + "/VktJX.Cfg");
  const Outcome r = RunHost({"--port", "COM1=" + device_, "--log", "new", "read", "1", "word", "5"},
                            dir);
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_NE(r.err.find("driver log: " + dir + "/VKTJX.log"), std::string::npos) << Describe(r);
  const std::string log = ReadFile(dir + "/VKTJX.log");
  EXPECT_NE(log.find("drvStartComm(0,0,0,4721)"), std::string::npos) << log;
  EXPECT_NE(log.find("drvReadValue(1,1,5,1)"), std::string::npos) << log;
}

TEST(Vkthost, MissingSettingsFileGivesItsCodeAndHint) {
  const std::string dir = MakeTempDir("empty");
  const Outcome r = RunHost({"--dir", dir, "read", "1", "word", "0"}, "/");
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_NE(r.err.find("start failed: 16013: settings file not found: no VktJX.Cfg in " + dir +
                       "\n  hint: "),
            std::string::npos)
      << Describe(r);
}

TEST(Vkthost, PortThatCannotBeOpenedNamesTheDevice) {
  const std::string dir = MakeTempDir("noport");
  std::ofstream(dir + "/VktJX.Cfg") << "[PC_PORT_SESSION]\npcpsPort=3\n";
  const Outcome r =
      RunHost({"--port", "COM3=" + dir + "/no-such-tty", "read", "1", "word", "0"}, dir);
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_NE(r.err.find("16010: "), std::string::npos) << Describe(r);
  EXPECT_NE(r.err.find("COM3 = " + dir + "/no-such-tty (VKTJX_COM3)"), std::string::npos)
      << Describe(r);
  EXPECT_NE(r.err.find("No such file or directory"), std::string::npos) << Describe(r);
}

TEST(Vkthost, BadArgumentsPrintTheUsageAndExit2) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"read"},
      {"read", "1", "qword", "0"},
      {"read", "one", "word", "0"},
      {"read", "1", "word", "65536"},
      {"read", "1", "word", "0", "1", "2"},
      {"read", "1", "reg", "4"},
      {"read", "1", "reg", "2", "3"},
      {"write", "1", "word", "0"},
      {"write", "1", "bit", "0", "2"},
      {"write", "1", "word", "0", "70000"},
      {"write", "1", "float", "0", "1e39"},
      {"poll", "1", "word", "0"},
      {"poll", "1", "word", "0", "0"},
      {"poll", "1", "word", "0", "1", "--times", "0"},
      {"read", "1", "word", "0", "then"},
      {"--log", "sometimes", "codes"},
      {"--port", "COM9=/dev/ttyS0", "codes"},
      {"--dir"},
      {"--colour", "on", "codes"},
      {"frobnicate"},
      {"demo", "then", "codes"},
  };
  for (const auto& args : cases) {
    std::string line;
    for (const std::string& a : args) line += a + " ";
    SCOPED_TRACE(line);
    const Outcome r = RunHost(args, ::testing::TempDir());
    EXPECT_EQ(r.status, 2) << Describe(r);
    EXPECT_NE(r.err.find("\n\nusage: vkthost [OPTIONS] COMMAND"), std::string::npos)
        << Describe(r);
    EXPECT_EQ(r.out, "");
  }
}

TEST(Vkthost, DemoRunsTheWholeStory) {
  const Outcome r = RunHost({"demo"}, ::testing::TempDir());
  ASSERT_EQ(r.status, 0) << Describe(r);
  for (const char* line : {"3 request frames (124 + 124 + 52 words): ok",
                           "drvReadValue   station 9 word 0: -1, 16105: no answer",
                           "drvStopComm(0, 0, 0, 0) = 1", "drvReadBlock(7,1,1000,300",
                           "demo: every step behaved as expected"})
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << Describe(r);
  EXPECT_EQ(r.out.find("NOT AS EXPECTED"), std::string::npos) << Describe(r);
}

}  // namespace
