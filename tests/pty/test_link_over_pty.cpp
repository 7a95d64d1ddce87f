// The driver object over real pseudo-terminals against the station simulator: the real POSIX
// backend, real time-outs, the simulator's decoded trace as the witness of what went over the
// line. Timings are never asserted: the machine is shared.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim_launch.h"
#include "protocol/vkt_com_port.h"

#ifdef VKTSIM_PATH

namespace vkt {
namespace {

std::string TempPath(const std::string& name) {
  static int n = 0;
  return testing::TempDir() + "vkt_link_pty_" + std::to_string(getpid()) + "_" +
         std::to_string(++n) + "_" + name;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::size_t Occurrences(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++n;
  return n;
}

// One simulator with its trace on, COM1 mapped to its pseudo-terminal, and a driver object.
class SimLine : public testing::Test {
 protected:
  ~SimLine() override {
    port.CloseLink();
    Stop();
    unsetenv("VKTJX_COM1");
    for (const std::string& f : files_) std::remove(f.c_str());
  }

  // Starts the simulator with `args` (plus --trace) and maps COM1 to its line.
  void Start(std::vector<std::string> args) {
    errPath_ = TempPath("sim.err");
    files_.push_back(errPath_);
    args.insert(args.begin(), "--trace");
    const vkt::test::LaunchedSimulator sim = vkt::test::LaunchSimulator(VKTSIM_PATH, args, errPath_);
    ASSERT_GT(sim.pid, 0) << sim.failure;
    pid_ = sim.pid;
    setenv("VKTJX_COM1", sim.device.c_str(), 1);
  }

  // Stops the simulator; its trace and counts are then complete.
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  std::string Trace() {
    Stop();
    return Slurp(errPath_);
  }

  std::string File(const std::string& name, const std::string& text) {
    const std::string path = TempPath(name);
    files_.push_back(path);
    std::ofstream(path) << text;
    return path;
  }

  void OpenLink(const std::string& keys = "") {
    const std::string settings =
        File("VktJX.Cfg", "[PC_PORT_SESSION]\npcpsPort=1\npcpsBaud=115200\n" + keys);
    ASSERT_EQ(port.OpenLink(settings.c_str()), kOk);
    ASSERT_TRUE(port.Active());
  }

  TVktComPort port{nullptr};

 private:
  pid_t pid_ = -1;
  std::string errPath_;
  std::vector<std::string> files_;
};

TEST_F(SimLine, WorkedFramesGoOverTheLineByteForByte) {
  Start({"--stations", "1,5", "--init-file", File("init", "1 word 16 0x1234 0xABCD\n")});
  OpenLink();
  std::uint8_t words[4] = {};
  ASSERT_EQ(port.ReadWords(1, 0x10, 0, words, 2), kOk);
  EXPECT_EQ(std::vector<std::uint8_t>(words, words + 4),
            (std::vector<std::uint8_t>{0x34, 0x12, 0xCD, 0xAB}));
  const std::uint8_t one[2] = {0x34, 0x12};
  ASSERT_EQ(port.WriteWords(5, 0x10, 0, one, 1), kOk);
  std::uint8_t back[2] = {};
  ASSERT_EQ(port.ReadWords(5, 0x10, 0, back, 1), kOk);
  EXPECT_EQ(back[0], 0x34);
  EXPECT_EQ(back[1], 0x12);

  const std::string trace = Trace();
  EXPECT_NE(trace.find("| 5A 01 03 91 10 00 02 58 FF"), std::string::npos) << trace;
  EXPECT_NE(trace.find("| 5A 01 04 00 34 12 CD AB 3C FE"), std::string::npos) << trace;
  EXPECT_NE(trace.find("| 5A 05 05 95 10 00 01 34 12 09 FF"), std::string::npos) << trace;
  EXPECT_NE(trace.find("| 5A 05 00 00 FA FF"), std::string::npos) << trace;
}

TEST_F(SimLine, ReadsThreeHundredWordsInThreeFrames) {
  Start({"--pattern"});  // word a holds a
  OpenLink();
  std::uint8_t words[600] = {};
  ASSERT_EQ(port.ReadWords(7, 1000, 0, words, 300), kOk);
  for (int i = 0; i < 300; ++i)
    ASSERT_EQ(words[2 * i] | (words[2 * i + 1] << 8), 1000 + i) << "word " << i;
  const std::string trace = Trace();
  EXPECT_EQ(Occurrences(trace, "station 7 0x91 read words"), 3u) << trace;
  EXPECT_NE(trace.find("address 0x03E8 count 124"), std::string::npos);
  EXPECT_NE(trace.find("address 0x0464 count 124"), std::string::npos);
  EXPECT_NE(trace.find("address 0x04E0 count 52"), std::string::npos);
}

TEST_F(SimLine, BlockWritesReadBack) {
  Start({"--stations", "2"});
  OpenLink();
  std::uint8_t floats[100 * 4], bits[300], words[20 * 2];
  for (int i = 0; i < 400; ++i) floats[i] = static_cast<std::uint8_t>(i * 7 + 1);
  for (int i = 0; i < 300; ++i) bits[i] = (i % 5) ? 0x00 : 0xFF;
  for (int i = 0; i < 40; ++i) words[i] = static_cast<std::uint8_t>(200 - i);
  ASSERT_EQ(port.WriteFloats(2, 500, 0, floats, 100), kOk);
  ASSERT_EQ(port.WriteBits(2, 0, 0, bits, 300), kOk);
  ASSERT_EQ(port.WriteWords(2, 65530, 0, words, 20), kOk);  // wraps to address 0

  std::uint8_t f[400] = {}, b[300] = {}, w[40] = {};
  ASSERT_EQ(port.ReadFloats(2, 500, 0, f, 100), kOk);
  ASSERT_EQ(port.ReadBits(2, 0, 0, b, 300), kOk);
  ASSERT_EQ(port.ReadWords(2, 65530, 0, w, 20), kOk);
  EXPECT_EQ(0, std::memcmp(f, floats, sizeof f));
  EXPECT_EQ(0, std::memcmp(b, bits, sizeof b));
  EXPECT_EQ(0, std::memcmp(w, words, sizeof w));
  std::uint8_t low[28] = {};
  ASSERT_EQ(port.ReadWords(2, 0, 0, low, 14), kOk);
  EXPECT_EQ(0, std::memcmp(low, words + 12, sizeof low));
}

TEST_F(SimLine, ASilentStationIsAskedOnce) {
  Start({"--stations", "1"});
  OpenLink();
  std::uint8_t words[2] = {};
  EXPECT_EQ(port.ReadWords(9, 0, 0, words, 1), kNoAnswer);
  EXPECT_EQ(port.ReadWords(1, 0, 0, words, 1), kOk);  // the line is still good
  EXPECT_EQ(Occurrences(Trace(), "station 9 not served"), 1u);
}

// An adapter pulled out and plugged back in under the same name (a symlink here, as
// /dev/serial/by-id gives one): once the reset found no device, requests answer 16010 and try the
// reopen once a second, and the station is read again without a restart.
TEST_F(SimLine, APulledAdapterIsReadAgainOncePluggedBack) {
  const std::string byId = TempPath("by-id");
  const auto plugIn = [&] {
    Start({"--pattern"});
    ASSERT_EQ(symlink(std::getenv("VKTJX_COM1"), byId.c_str()), 0);
    setenv("VKTJX_COM1", byId.c_str(), 1);
  };
  plugIn();
  OpenLink("pcpsFailFramesToReset=5\n");
  std::uint8_t words[2] = {};
  ASSERT_EQ(port.ReadWords(1, 10, 0, words, 1), kOk);

  Stop();  // pulled out: the device hangs up and its name goes
  unlink(byId.c_str());
  ResultCode code = kOk;
  for (int i = 0; i < 10 && code != kPortNotOpen; ++i) {
    code = port.ReadWords(1, 10, 0, words, 1);
    EXPECT_NE(code, kOk);
  }
  EXPECT_EQ(code, kPortNotOpen) << "the reset found no device";

  plugIn();
  words[0] = words[1] = 0;
  for (int i = 0; i < 100 && code != kOk; ++i) {
    usleep(50000);
    code = port.ReadWords(1, 10, 0, words, 1);
  }
  unlink(byId.c_str());
  EXPECT_EQ(code, kOk);
  EXPECT_EQ(words[0] | (words[1] << 8), 10);
}

struct FaultCase {
  const char* name;
  const char* fault;
  ResultCode expected;
  std::size_t requests;  // frames the station saw
};

class Faults : public SimLine, public testing::WithParamInterface<FaultCase> {};

TEST_P(Faults, ReachTheCallerAsTheirCode) {
  const FaultCase& c = GetParam();
  Start({"--stations", "3", "--fault", c.fault});
  OpenLink();
  std::uint8_t words[8] = {};
  EXPECT_EQ(port.ReadWords(3, 0, 0, words, 2), c.expected);
  EXPECT_EQ(Occurrences(Trace(), "<- station 3 0x91"), c.requests);
}

INSTANTIATE_TEST_SUITE_P(
    LinkOverPty, Faults,
    testing::Values(FaultCase{"ControllerError", "status=0x85:1", kControllerError, 1},
                    FaultCase{"ControllerOwnStatus", "status=0x20:1", 32, 1},
                    FaultCase{"BadChecksumIsRetried", "checksum:1", kChecksumMismatch, 3},
                    FaultCase{"StrayBytesAreRetried", "stray=3:1", kNoStartByte, 3},
                    FaultCase{"ShortData", "short:1", kShortResponse, 1},
                    FaultCase{"LongData", "long:1", kFrameTooLong, 1},
                    FaultCase{"LateAnswer", "delay=800:1", kNoAnswer, 1}),
    [](const testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

TEST_F(SimLine, DialsThroughTheModemThenReads) {
  Start({"--modem", "--modem-connect-delay", "100", "--pattern"});
  OpenLink(
      "pcpsModemSuport=1\npcpsModemPort=1\npcpsAutoConnect=1\npcpsPhone=5551234\n"
      "pcpsShortModemTmo=200\n");
  EXPECT_EQ(port.ModemState(), msConnected);
  EXPECT_EQ(port.LinkState(), kLinkReady);
  std::uint8_t words[6] = {};
  ASSERT_EQ(port.ReadWords(1, 10, 0, words, 3), kOk);
  EXPECT_EQ(words[0] | (words[1] << 8), 10);
  EXPECT_EQ(words[4] | (words[5] << 8), 12);

  EXPECT_EQ(port.CloseLink(), kOk);
  EXPECT_EQ(port.ModemState(), msIdle);
  const std::string trace = Trace();
  EXPECT_NE(trace.find("dials 1, connects 1, escapes 1, hang-ups 1"), std::string::npos)
      << trace;
}

}  // namespace
}  // namespace vkt

#endif  // VKTSIM_PATH
