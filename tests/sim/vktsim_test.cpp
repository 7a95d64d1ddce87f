// The station simulator driven from the outside as a client would: started on a
// pseudo-terminal, its slave side opened raw, frames written and the bytes that come back read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "protocol/frame.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

std::int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

Bytes Frame(int station, int command, const Bytes& data) {
  Bytes frame(vkt::kMaxFrameBytes + 8);
  std::int32_t length = static_cast<std::int32_t>(data.size());
  EXPECT_EQ(vkt::BuildFrame(station, command, frame.data(), length, data.data()), vkt::kOk);
  frame.resize(static_cast<std::size_t>(length));
  return frame;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "vktsim_" + std::to_string(getpid()) + "_" + name;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// One simulator process and the client end of its line.
class Sim {
 public:
  explicit Sim(std::vector<std::string> args) {
    int out[2];
    EXPECT_EQ(pipe(out), 0);
    errPath_ = TempPath("stderr_" + std::to_string(++instances_));
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      const int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(err, 2);
      close(out[0]);
      std::vector<char*> argv;
      static std::string program = VKTSIM_PATH;
      argv.push_back(program.data());
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    close(out[1]);
    out_ = out[0];
    firstLine_ = ReadLine(5000);
    const std::string prefix = "vktsim: listening on ";
    if (firstLine_.rfind(prefix, 0) == 0) path_ = firstLine_.substr(prefix.size());
  }

  ~Sim() {
    if (fd_ >= 0) close(fd_);
    if (pid_ > 0) Stop();
    close(out_);
    std::remove(errPath_.c_str());
  }

  const std::string& path() const { return path_; }
  const std::string& firstLine() const { return firstLine_; }

  bool Connect() {
    fd_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) return false;
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    return tcsetattr(fd_, TCSANOW, &t) == 0;
  }
  void Disconnect() {
    close(fd_);
    fd_ = -1;
  }

  void Send(const Bytes& bytes) {
    ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // Reads until `n` bytes came or `timeoutMs` passed.
  Bytes Read(std::size_t n, int timeoutMs) {
    Bytes got;
    const auto start = Clock::now();
    while (got.size() < n) {
      const int left = timeoutMs - static_cast<int>(MsSince(start));
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, left) <= 0) continue;
      std::uint8_t buffer[512];
      const ssize_t r = read(fd_, buffer, std::min(sizeof buffer, n - got.size()));
      if (r > 0) got.insert(got.end(), buffer, buffer + r);
    }
    return got;
  }
  // Everything that arrives within `ms`.
  Bytes ReadFor(int ms) { return Read(100000, ms); }

  Bytes Exchange(const Bytes& request, std::size_t expected, int timeoutMs = 2000) {
    Send(request);
    return Read(expected, timeoutMs);
  }

  void Signal(int signo) { kill(pid_, signo); }

  // SIGTERM (or `signo`) and the exit status (-1 when it did not exit normally).
  int Stop(int signo = SIGTERM) {
    kill(pid_, signo);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string Errors() const { return ReadFile(errPath_); }

  // What the process printed on stdout after its first line, up to its end.
  std::string RestOfOutput() {
    std::string text;
    char buffer[4096];
    for (;;) {
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, 5000) <= 0) break;
      const ssize_t r = read(out_, buffer, sizeof buffer);
      if (r <= 0) break;
      text.append(buffer, static_cast<std::size_t>(r));
    }
    return text;
  }

 private:
  std::string ReadLine(int timeoutMs) {
    std::string line;
    const auto start = Clock::now();
    char c = 0;
    while (MsSince(start) < timeoutMs) {
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      if (read(out_, &c, 1) != 1) break;
      if (c == '\n') break;
      line += c;
    }
    return line;
  }

  static inline int instances_ = 0;
  pid_t pid_ = -1;
  int out_ = -1;
  int fd_ = -1;
  std::string path_;
  std::string firstLine_;
  std::string errPath_;
};

// The result the driver's response rules give for a received response.
vkt::ResultCode ResponseResult(const Bytes& response) {
  if (response.size() < 6 || response[0] != vkt::kStartByte) return -1;
  if (response.size() != static_cast<std::size_t>(response[2]) + 6) return -2;
  return vkt::CheckResponse(response.data() + 1);
}

Bytes Address(int address, int count) {
  return {static_cast<std::uint8_t>(address & 0xFF), static_cast<std::uint8_t>(address >> 8),
          static_cast<std::uint8_t>(count)};
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(VktSim, AnswersTheWorkedFramesByteForByte) {
  Sim sim({"--stations", "1,5"});
  ASSERT_TRUE(sim.Connect()) << sim.firstLine();
  EXPECT_EQ(sim.Exchange(Frame(1, 0x95, {0x10, 0x00, 0x02, 0x34, 0x12, 0xCD, 0xAB}), 6),
            (Bytes{0x5A, 0x01, 0x00, 0x00, 0xFE, 0xFF}));
  EXPECT_EQ(sim.Exchange({0x5A, 0x01, 0x03, 0x91, 0x10, 0x00, 0x02, 0x58, 0xFF}, 10),
            (Bytes{0x5A, 0x01, 0x04, 0x00, 0x34, 0x12, 0xCD, 0xAB, 0x3C, 0xFE}));
  EXPECT_EQ(sim.Exchange({0x5A, 0x05, 0x05, 0x95, 0x10, 0x00, 0x01, 0x34, 0x12, 0x09, 0xFF}, 6),
            (Bytes{0x5A, 0x05, 0x00, 0x00, 0xFA, 0xFF}));
  EXPECT_EQ(sim.Stop(), 0);
  const std::string counts = sim.Errors();
  EXPECT_NE(counts.find("0x95 write words  2"), std::string::npos) << counts;
  EXPECT_NE(counts.find("station   5       1"), std::string::npos) << counts;
}

TEST(VktSim, AnswersRequestsWithStatusAndData) {
  Sim sim({"--stations", "1"});
  ASSERT_TRUE(sim.Connect());
  struct Case {
    const char* name;
    Bytes request;
    vkt::ResultCode result;
    Bytes data;  // expected response data (checked when the result is 0)
  };
  const Case cases[] = {
      {"words across the end of the address space",
       Frame(1, 0x95, Cat(Address(0xFFFF, 2), {0x11, 0x11, 0x22, 0x22})), 0, {}},
      {"the second word landed at address 0", Frame(1, 0x91, Address(0x0000, 1)), 0, {0x22, 0x22}},
      {"read back across the wrap", Frame(1, 0x91, Address(0xFFFF, 2)), 0,
       {0x11, 0x11, 0x22, 0x22}},
      {"bits are stored as sent", Frame(1, 0x94, Cat(Address(7, 3), {0xFF, 0x00, 0xFF})), 0, {}},
      {"bits read back", Frame(1, 0x90, Address(6, 5)), 0, {0, 0xFF, 0, 0xFF, 0}},
      {"floats", Frame(1, 0x96, Cat(Address(40000, 1), {0x00, 0x00, 0xC0, 0x3F})), 0, {}},
      {"floats read back", Frame(1, 0x92, Address(40000, 1)), 0, {0x00, 0x00, 0xC0, 0x3F}},
      {"words and floats do not share memory", Frame(1, 0x91, Address(40000, 1)), 0, {0, 0}},
      {"a read of count 0", Frame(1, 0x91, Address(5, 0)), 0, {}},
      {"the largest word read", Frame(1, 0x91, Address(1000, 126)), 0, Bytes(252, 0)},
      {"a word read too large for a response", Frame(1, 0x91, Address(0, 127)),
       vkt::kControllerError, {}},
      {"unknown command", Frame(1, 0x93, Address(0, 1)), vkt::kControllerError, {}},
      {"read with extra data", Frame(1, 0x90, Cat(Address(0, 1), {0})), vkt::kControllerError, {}},
      {"write whose values do not match the count",
       Frame(1, 0x95, Cat(Address(0, 2), {1, 2, 3})), vkt::kControllerError, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim.Send(c.request);
    Bytes response = sim.Read(6, 2000);
    if (response.size() == 6) {
      const Bytes rest = sim.Read(response[2], 2000);
      response.insert(response.end(), rest.begin(), rest.end());
    }
    ASSERT_EQ(ResponseResult(response), c.result);
    if (c.result == 0) {
      EXPECT_EQ(Bytes(response.begin() + 4, response.end() - 2), c.data);
    }
  }
}

TEST(VktSim, SkipsNoiseAndStaysSilentWhereNoStationWouldAnswer) {
  Sim sim({"--stations", "1", "--gap", "50"});
  ASSERT_TRUE(sim.Connect());
  const Bytes read = Frame(1, 0x91, Address(0x10, 1));
  const Bytes answer = {0x5A, 0x01, 0x02, 0x00, 0x00, 0x00, 0xFC, 0xFF};

  Bytes wrongSum = read;
  wrongSum.back() ^= 0x01;
  struct Case {
    const char* name;
    Bytes request;
  } silent[] = {
      {"a station that is not served", Frame(2, 0x91, Address(0x10, 1))},
      {"a request with a bad checksum", wrongSum},
      {"a frame announcing more than 252 data bytes", {0x5A, 0x01, 0xFD, 0x91}},
  };
  for (const auto& c : silent) {
    SCOPED_TRACE(c.name);
    sim.Send(c.request);
    EXPECT_TRUE(sim.ReadFor(250).empty());
  }

  // Noise before the start byte, a false start byte among it, and fill bytes after the frame.
  EXPECT_EQ(sim.Exchange(Cat(Cat({0xFF, 0x00, 0x5A, 0x13}, read), {0xFF}), answer.size()), answer);
  // A frame that stops short is dropped after the gap; the next one is answered alone.
  sim.Send(Bytes(read.begin(), read.begin() + 5));
  EXPECT_TRUE(sim.ReadFor(200).empty());
  EXPECT_EQ(sim.Exchange(read, 100, 300), answer);
}

TEST(VktSim, PresetsThePatternAndTheInitFile) {
  const std::string init = TempPath("init.txt");
  {
    std::ofstream f(init);
    f << "# preset values\n3 word 100 7 -2 0x8000\n\n3 float 5 0x3fc00000 -0.25  # two floats\n"
         "3 bit 65535 1 1\n";
  }
  Sim sim({"--stations", "3", "--pattern", "--init-file", init});
  ASSERT_TRUE(sim.Connect()) << sim.firstLine();
  auto data = [&](int command, int address, int count, int size) {
    const Bytes r = sim.Exchange(Frame(3, command, Address(address, count)),
                                 static_cast<std::size_t>(count * size + 6));
    return r.size() > 6 ? Bytes(r.begin() + 4, r.end() - 2) : Bytes{};
  };
  EXPECT_EQ(data(0x91, 0x10, 2, 2), (Bytes{0x10, 0x00, 0x11, 0x00}));
  EXPECT_EQ(data(0x91, 0xABCD, 1, 2), (Bytes{0xCD, 0xAB}));
  EXPECT_EQ(data(0x90, 4, 3, 1), (Bytes{0, 1, 0}));
  EXPECT_EQ(data(0x92, 7, 1, 4), (Bytes{0x00, 0x00, 0xF0, 0x40}));  // 7.5
  EXPECT_EQ(data(0x91, 100, 4, 2), (Bytes{7, 0, 0xFE, 0xFF, 0x00, 0x80, 103, 0}));
  EXPECT_EQ(data(0x92, 5, 2, 4), (Bytes{0x00, 0x00, 0xC0, 0x3F, 0x00, 0x00, 0x80, 0xBE}));
  EXPECT_EQ(data(0x90, 65535, 2, 1), (Bytes{1, 1}));  // the second value wrapped to address 0
  std::remove(init.c_str());
}

// A counter word goes up after each read that covers it, a read beside it leaves it alone.
TEST(VktSim, CounterWordGoesUpAtEveryRead) {
  Sim sim({"--stations", "3", "--pattern", "--counter", "3:0xFFFF"});
  ASSERT_TRUE(sim.Connect()) << sim.firstLine();
  auto read = [&](int address, int count) {
    const Bytes r = sim.Exchange(Frame(3, 0x91, Address(address, count)),
                                 static_cast<std::size_t>(count * 2 + 6));
    return r.size() > 6 ? Bytes(r.begin() + 4, r.end() - 2) : Bytes{};
  };
  EXPECT_EQ(read(0xFFFE, 2), (Bytes{0xFE, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(read(0xFFFF, 2), (Bytes{0x00, 0x00, 0x00, 0x00}));  // wrapped, 16 bits
  EXPECT_EQ(read(0, 1), (Bytes{0x00, 0x00}));
  EXPECT_EQ(read(0xFFFF, 1), (Bytes{0x01, 0x00}));
}

TEST(VktSim, RefusesBadInitFilesAndOptions) {
  const std::string init = TempPath("badinit.txt");
  struct Case {
    const char* name;
    std::vector<std::string> args;
    const char* initText;
  } cases[] = {
      {"unknown fault", {"--fault", "bogus:0.1"}, nullptr},
      {"probability above 1", {"--fault", "silence:2"}, nullptr},
      {"status without value", {"--fault", "status:0.5"}, nullptr},
      {"station 0", {"--stations", "0"}, nullptr},
      {"reversed range", {"--stations", "9-7"}, nullptr},
      {"parity", {"--parity", "often"}, nullptr},
      {"counter without address", {"--counter", "3"}, nullptr},
      {"missing value", {"--baud"}, nullptr},
      {"init file for an unserved station", {"--stations", "1"}, "2 word 0 1\n"},
      {"init value out of range", {"--stations", "1"}, "1 word 0 70000\n"},
      {"init kind", {"--stations", "1"}, "1 dword 0 1\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = c.args;
    if (c.initText != nullptr) {
      std::ofstream(init) << c.initText;
      args.push_back("--init-file");
      args.push_back(init);
    }
    Sim sim(args);
    EXPECT_TRUE(sim.path().empty());
    EXPECT_EQ(sim.Stop(), 2) << sim.Errors();
  }
  std::remove(init.c_str());
}

TEST(VktSim, HelpNamesEveryOption) {
  Sim sim({"--help"});
  const std::string help = sim.firstLine() + "\n" + sim.RestOfOutput();
  EXPECT_EQ(help.rfind("usage: vktsim", 0), 0u);
  for (const char* option :
       {"--link", "--device", "--baud", "--parity", "--data-bits", "--stop-bits", "--pace",
        "--gap", "--reply-delay", "--stations", "--pattern", "--counter", "--init-file", "--memory-file",
        "--fault", "--seed", "--modem", "--modem-words", "--modem-busy",
        "--modem-connect-delay", "--trace", "--help"})
    EXPECT_NE(help.find(std::string("  ") + option + " "), std::string::npos) << option;
  EXPECT_EQ(sim.Stop(), 0);
}

TEST(VktSim, InjectsTheRequestedFault) {
  const Bytes read = Frame(1, 0x91, Address(0x10, 2));  // 10 bytes answer without fault
  struct Case {
    const char* name;
    const char* fault;
    vkt::ResultCode result;   // what the response rules make of it (-1: nothing usable)
    std::size_t length;       // bytes on the line; 0 for silence
  } cases[] = {
      {"silence", "silence:1", -1, 0},
      {"checksum", "checksum:1", vkt::kChecksumMismatch, 10},
      {"controller error status", "status=0x85:1", vkt::kControllerError, 6},
      {"own status value", "status=5:1", 5, 6},
      {"short data", "short:1", 0, 9},
      {"long data", "long:1", 0, 11},
      {"stray bytes", "stray=2:1", 0, 12},
      {"never with probability 0", "silence:0", 0, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sim sim({"--stations", "1", "--fault", c.fault});
    ASSERT_TRUE(sim.Connect());
    const Bytes got = sim.Exchange(read, 100, 400);
    ASSERT_EQ(got.size(), c.length);
    if (c.length == 0) continue;
    const std::size_t start = c.length == 12 ? 2 : 0;
    if (start > 0) {
      EXPECT_NE(got[0], vkt::kStartByte);
      EXPECT_NE(got[1], vkt::kStartByte);
    }
    const Bytes frame(got.begin() + static_cast<long>(start), got.end());
    EXPECT_EQ(vkt::CheckResponse(frame.data() + 1), c.result);
    EXPECT_EQ(frame[2] + 6u, frame.size());
  }
}

TEST(VktSim, TruncatesAndDelaysResponses) {
  const Bytes read = Frame(1, 0x91, Address(0x10, 2));
  {
    Sim sim({"--stations", "1", "--fault", "truncate:1"});
    ASSERT_TRUE(sim.Connect());
    const Bytes got = sim.Exchange(read, 100, 300);
    ASSERT_GE(got.size(), 1u);
    EXPECT_LT(got.size(), 10u);
    EXPECT_EQ(got[0], vkt::kStartByte);
  }
  {
    Sim sim({"--stations", "1", "--fault", "delay=400:1"});
    ASSERT_TRUE(sim.Connect());
    const auto start = Clock::now();
    sim.Send(read);
    EXPECT_TRUE(sim.ReadFor(150).empty());
    EXPECT_EQ(sim.Read(10, 5000).size(), 10u);
    EXPECT_GE(MsSince(start), 350);
  }
}

TEST(VktSim, TheSameSeedGivesTheSameFaults) {
  auto run = [](const char* seed) {
    Sim sim({"--stations", "1", "--seed", seed, "--fault", "checksum:0.5"});
    EXPECT_TRUE(sim.Connect());
    std::string outcomes;
    for (int i = 0; i < 24; ++i) {
      const Bytes got = sim.Exchange(Frame(1, 0x91, Address(i, 1)), 8);
      outcomes += got.size() == 8 && vkt::CheckResponse(got.data() + 1) == 0 ? 'o' : 'x';
    }
    return outcomes;
  };
  const std::string first = run("42");
  EXPECT_EQ(run("42"), first);
  EXPECT_NE(first.find('o'), std::string::npos) << first;
  EXPECT_NE(first.find('x'), std::string::npos) << first;
}

TEST(VktSim, PacesResponsesAtTheLineSpeed) {
  // 46 bytes at 1200 baud, 10 bits each: about 383 ms on the wire.
  Sim sim({"--stations", "1", "--pace", "--baud", "1200"});
  ASSERT_TRUE(sim.Connect());
  const auto start = Clock::now();
  const Bytes got = sim.Exchange(Frame(1, 0x91, Address(0, 20)), 46, 5000);
  EXPECT_EQ(got.size(), 46u);
  EXPECT_GE(MsSince(start), 300);
}

TEST(VktSim, ConductsTheModemDialogue) {
  Sim sim({"--modem", "--modem-connect-delay", "50", "--stations", "1"});
  ASSERT_TRUE(sim.Connect());
  const Bytes read = Frame(1, 0x91, Address(0x10, 1));
  const Bytes answer = {0x5A, 0x01, 0x02, 0x00, 0x00, 0x00, 0xFC, 0xFF};
  auto exchange = [&](const std::string& command, std::size_t n, int ms = 1000) {
    sim.Send(Text(command));
    const Bytes b = sim.Read(n, ms);
    return std::string(b.begin(), b.end());
  };

  EXPECT_EQ(exchange("ATZ\r", 6), "ATZ\r0\r");  // echo, then the numeric reply
  // The driver's default init string, with its trailing R setting, is accepted.
  EXPECT_EQ(exchange("ATV0 E0 F1 H0r\r", 17), "ATV0 E0 F1 H0r\r0\r");
  EXPECT_EQ(exchange("ATZ\r", 2), "0\r");  // echo was off for this one; ATZ turns it on
  EXPECT_EQ(exchange("ATE0 V0 S12=10 &C1 X4\r", 24), "ATE0 V0 S12=10 &C1 X4\r0\r");
  EXPECT_EQ(exchange("ATK\r", 2), "4\r");  // unknown command: ERROR
  sim.Send(read);                          // command mode: frames are not passed on
  EXPECT_TRUE(sim.ReadFor(200).empty());
  EXPECT_EQ(exchange("ATD 555-1234\r", 2, 2000), "1\r");
  EXPECT_EQ(sim.Exchange(read, answer.size()), answer);

  // "+++" with 200 ms of guard time on either side returns to command mode.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(exchange("+++", 2, 2000), "0\r");
  sim.Send(read);
  EXPECT_TRUE(sim.ReadFor(200).empty());
  EXPECT_EQ(exchange("ATO\r", 2), "1\r");
  EXPECT_EQ(sim.Exchange(read, answer.size()), answer);
  // A "+++" too close to other bytes is data.
  sim.Send(Text("x+++"));
  EXPECT_TRUE(sim.ReadFor(400).empty());
  // The escape followed by the CR of a command line still counts.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(exchange("+++\r", 2, 2000), "0\r");
  EXPECT_EQ(exchange("ATH0\r", 2), "0\r");
  EXPECT_EQ(exchange("ATO\r", 2), "3\r");  // no call any more: NO CARRIER

  // Closing the line drops a call, as DTR would.
  EXPECT_EQ(exchange("ATD5551234\r", 2, 2000), "1\r");
  sim.Disconnect();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(sim.Connect());
  sim.Send(read);
  EXPECT_TRUE(sim.ReadFor(200).empty());
  EXPECT_EQ(exchange("ATO\r", 2), "3\r");
  EXPECT_EQ(sim.Stop(), 0);
}

TEST(VktSim, ModemWordRepliesAndBusyLine) {
  Sim sim({"--modem-words", "--modem-busy", "--modem-connect-delay", "20"});
  ASSERT_TRUE(sim.Connect());
  auto exchange = [&](const std::string& command, std::size_t n) {
    sim.Send(Text(command));
    const Bytes b = sim.Read(n, 2000);
    return std::string(b.begin(), b.end());
  };
  EXPECT_EQ(exchange("AT\r", 9), "AT\r\r\nOK\r\n");
  EXPECT_EQ(exchange("ATD123\r", 15), "ATD123\r\r\nBUSY\r\n");
  EXPECT_EQ(exchange("ATV0\r", 7), "ATV0\r0\r");
  EXPECT_EQ(exchange("ATD\r", 6), "ATD\r4\r");  // no number: ERROR
  // A byte while dialling aborts the dial (and is not echoed).
  EXPECT_EQ(exchange("AT S7=1 D1\rx", 13), "AT S7=1 D1\r3\r");
}

TEST(VktSim, WritesTheMemoryFileAndCleansUpOnStop) {
  const std::string memory = TempPath("memory.txt");
  const std::string link = TempPath("link");
  const std::string init = TempPath("init2.txt");
  std::ofstream(init) << "2 word 100 7\n";
  Sim sim({"--stations", "2,4", "--memory-file", memory, "--link", link, "--init-file", init});
  ASSERT_FALSE(sim.path().empty()) << sim.firstLine();
  char target[256] = {};
  ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(sim.path(), target);
  ASSERT_TRUE(sim.Connect());

  EXPECT_EQ(sim.Exchange(Frame(2, 0x95, Cat(Address(300, 1), {0x34, 0x12})), 6).size(), 6u);
  sim.Signal(SIGUSR1);
  std::string text;
  for (int i = 0; i < 50 && text.find("2 word 300 4660") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    text = ReadFile(memory);
  }
  EXPECT_NE(text.find("2 word 300 4660"), std::string::npos) << text;

  EXPECT_EQ(sim.Exchange(Frame(2, 0x94, Cat(Address(9, 1), {0xFF})), 6).size(), 6u);
  EXPECT_EQ(sim.Exchange(Frame(2, 0x96, Cat(Address(1, 1), {0x00, 0x00, 0x10, 0x40})), 6).size(),
            6u);
  EXPECT_EQ(sim.Exchange(Frame(2, 0x95, Cat(Address(301, 1), {0xFF, 0xFF})), 6).size(), 6u);
  EXPECT_EQ(sim.Stop(), 0);
  text = ReadFile(memory);
  for (const char* line : {"2 word 300 4660\n", "2 word 301 -1\n", "2 bit 9 255\n",
                           "2 float 1 2.25\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
  EXPECT_EQ(text.find("2 word 100"), std::string::npos) << "preset values are not writes";
  EXPECT_EQ(text.find("\n4 "), std::string::npos) << "station 4 was never written";
  struct stat st{};
  EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link is removed at exit";
  std::remove(memory.c_str());
  std::remove(init.c_str());
}

TEST(VktSim, StopsOnSigintWithTheCounts) {
  Sim sim({"--stations", "6"});
  ASSERT_TRUE(sim.Connect());
  EXPECT_EQ(sim.Exchange(Frame(6, 0x90, Address(0, 3)), 9).size(), 9u);
  sim.Send(Frame(8, 0x90, Address(0, 3)));  // not served
  sim.ReadFor(100);
  EXPECT_EQ(sim.Stop(SIGINT), 0);
  const std::string counts = sim.Errors();
  EXPECT_NE(counts.find("vktsim: requests 1, responses 1"), std::string::npos) << counts;
  EXPECT_NE(counts.find("0x90 read bits    1"), std::string::npos) << counts;
  EXPECT_NE(counts.find("station   6       1"), std::string::npos) << counts;
  EXPECT_NE(counts.find("unserved station 1"), std::string::npos) << counts;
}

}  // namespace
