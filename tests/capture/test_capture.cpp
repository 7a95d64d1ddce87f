// Line captures: the file format read back, the size bound, the capturing seam on the fake line
// (what the file shows is what crossed the seam), and the capture options of the driver and the
// tools against the simulator.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "scenarios.h"
#include "serial/capture_pcapng.h"
#include "serial/capture_recorder.h"
#include "sim_launch.h"

namespace vkt {
namespace {

using serial::CaptureRecord;
using Bytes = std::vector<std::uint8_t>;

std::string TempDir() {
  static std::string dir;
  if (dir.empty()) {
    std::string t = testing::TempDir() + "vkt_capture_XXXXXX";
    if (mkdtemp(t.data()) != nullptr) dir = t;
  }
  return dir;
}

std::vector<CaptureRecord> Read(const std::string& path) {
  std::vector<CaptureRecord> records;
  std::string error;
  EXPECT_TRUE(serial::ReadCapture(path, records, error)) << error;
  return records;
}

// The bytes of all records of one event type, run together.
Bytes Stream(const std::vector<CaptureRecord>& records, std::uint8_t event) {
  Bytes out;
  for (const CaptureRecord& r : records)
    if (r.event == event) out.insert(out.end(), r.data.begin(), r.data.end());
  return out;
}

std::vector<std::string> Comments(const std::vector<CaptureRecord>& records) {
  std::vector<std::string> out;
  for (const CaptureRecord& r : records)
    if (!r.comment.empty()) out.push_back(r.comment);
  return out;
}

bool Contains(const Bytes& haystack, const Bytes& needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
         haystack.end();
}

int Count(const Bytes& haystack, const Bytes& needle) {
  int n = 0;
  for (auto it = haystack.begin();
       (it = std::search(it, haystack.end(), needle.begin(), needle.end())) != haystack.end(); ++it)
    ++n;
  return n;
}

// ---- The file ----------------------------------------------------------------------------

TEST(CaptureFile, RecordsReadBackAsWritten) {
  const std::string path = TempDir() + "/roundtrip.pcapng";
  serial::PcapngWriter w;
  std::string error;
  ASSERT_TRUE(w.Open(path, "COM1", 0, error)) << error;
  const Bytes sent = {0x5A, 0x01, 0x03, 0x91, 0x10, 0x00, 0x02, 0x58, 0xFF};
  const std::string note = "read timed out: 0 of 1 bytes in 5 ms";  // length not a multiple of 4
  ASSERT_TRUE(w.Write(1767225600000001ull, serial::kEventSent, serial::kLineDtr, sent.data(),
                      sent.size(), nullptr, 0));
  ASSERT_TRUE(w.Write(4294967296000123ull, serial::kEventStatus, serial::kLineRts | serial::kLineCts,
                      nullptr, 0, note.data(), note.size()));
  ASSERT_TRUE(w.Write(4294967296000124ull, serial::kEventReceived, 0, sent.data(), 1, "x", 1));
  w.Close();

  const auto records = Read(path);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].timeUs, 1767225600000001ull);
  EXPECT_EQ(records[0].event, serial::kEventSent);
  EXPECT_EQ(records[0].lines, serial::kLineDtr);
  EXPECT_EQ(records[0].data, sent);
  EXPECT_EQ(records[0].comment, "");
  EXPECT_EQ(records[1].timeUs, 4294967296000123ull);  // past 32 bits of microseconds
  EXPECT_EQ(records[1].lines, serial::kLineRts | serial::kLineCts);
  EXPECT_TRUE(records[1].data.empty());
  EXPECT_EQ(records[1].comment, note);
  EXPECT_EQ(records[2].data, Bytes{0x5A});
  EXPECT_EQ(records[2].comment, "x");
}

TEST(CaptureFile, SizeBoundRollsOverKeepingOneOldFile) {
  const std::string path = TempDir() + "/bounded.pcapng";
  serial::PcapngWriter w;
  std::string error;
  constexpr std::uint64_t kMax = 1000;
  ASSERT_TRUE(w.Open(path, "COM1", kMax, error)) << error;
  Bytes data(40);
  for (int i = 0; i < 100; ++i) {
    data[0] = static_cast<std::uint8_t>(i);
    ASSERT_TRUE(w.Write(1000000ull * i, serial::kEventSent, 0, data.data(), data.size(), nullptr, 0));
  }
  w.Close();
  EXPECT_GT(w.Rollovers(), 2);
  EXPECT_LE(std::filesystem::file_size(path), kMax);
  EXPECT_LE(std::filesystem::file_size(path + ".1"), kMax);
  EXPECT_FALSE(std::filesystem::exists(path + ".2"));
  const auto current = Read(path);
  const auto old = Read(path + ".1");
  ASSERT_FALSE(current.empty());
  ASSERT_FALSE(old.empty());
  // The newest record is last in the current file, and the old file ends where it begins.
  EXPECT_EQ(current.back().data[0], 99);
  EXPECT_EQ(old.back().data[0] + 1, current.front().data[0]);
}

TEST(CaptureFile, AppendingAddsASectionAndKeepsWhatWasThere) {
  const std::string path = TempDir() + "/appended.pcapng";
  std::string error;
  for (int start = 0; start < 2; ++start) {
    serial::PcapngWriter w;
    ASSERT_TRUE(w.Open(path, "COM1", 0, error, start > 0)) << error;
    const std::uint8_t byte = static_cast<std::uint8_t>(start);
    ASSERT_TRUE(w.Write(1000 + start, serial::kEventSent, 0, &byte, 1, nullptr, 0));
  }
  const auto records = Read(path);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].data, Bytes{0});
  EXPECT_EQ(records[1].data, Bytes{1});
  // A fresh open truncates.
  serial::PcapngWriter w;
  ASSERT_TRUE(w.Open(path, "COM1", 0, error)) << error;
  w.Close();
  EXPECT_TRUE(Read(path).empty());
}

// The writer thread held up (its file is a pipe nobody reads yet): the line side goes on, the
// records that do not fit the ring are dropped, and the file says how many.
TEST(CaptureRecorder, AFullRingDropsAndCountsWithoutBlocking) {
  const std::string fifo = TempDir() + "/stalled.pcapng";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  serial::CaptureRecorder recorder;
  std::string error;
  ASSERT_TRUE(recorder.Start(fifo, "COM1", 0, error)) << error;
  constexpr int kRecords = 3 * serial::CaptureRecorder::kSlots;
  std::vector<std::uint8_t> data(400, 0x5A);
  for (int i = 0; i < kRecords; ++i) recorder.Data(serial::kEventSent, 0, data.data(), data.size());
  const std::uint64_t dropped = recorder.Dropped();
  EXPECT_GT(dropped, 0u);

  // Now drain the pipe into a file while the recorder writes out what it kept.
  fcntl(reader, F_SETFL, 0);
  const std::string copy = TempDir() + "/stalled_copy.pcapng";
  std::thread drain([&] {
    std::ofstream out(copy, std::ios::binary);
    char buffer[65536];
    ssize_t n = 0;
    while ((n = read(reader, buffer, sizeof buffer)) > 0) out.write(buffer, n);
  });
  recorder.Stop();
  drain.join();
  close(reader);
  // The note stands where the writer noticed the loss; the drops add up whatever the timing.
  std::size_t kept = 0;
  std::uint64_t noted = 0;
  for (const CaptureRecord& r : Read(copy)) {
    if (r.event == serial::kEventSent) {
      ++kept;
      continue;
    }
    ASSERT_EQ(r.event, serial::kEventDataLost);
    const std::string tail = " records lost: the capture could not keep up with the line";
    ASSERT_EQ(r.comment.substr(r.comment.find(' ')), tail) << r.comment;
    noted += std::stoull(r.comment);
  }
  EXPECT_EQ(kept, kRecords - dropped);
  EXPECT_EQ(noted, dropped);
}

TEST(CaptureFile, WhatIsNoCaptureIsRefused) {
  const std::string text = TempDir() + "/text.pcapng";
  std::ofstream(text) << "not a capture at all, just text\n";
  std::vector<CaptureRecord> records;
  std::string error;
  EXPECT_FALSE(serial::ReadCapture(text, records, error));
  EXPECT_NE(error.find("not a pcapng file"), std::string::npos) << error;
  EXPECT_FALSE(serial::ReadCapture(TempDir() + "/missing.pcapng", records, error));

  serial::CaptureRecorder recorder;
  EXPECT_FALSE(recorder.Start(TempDir() + "/no/such/dir/x.pcapng", "COM1", 0, error));
  EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
  recorder.Data(serial::kEventSent, 0, "Z", 1);  // not started: ignored, no crash
  EXPECT_FALSE(recorder.Running());
}

// ---- The seam on the fake line ------------------------------------------------------------

class Scenario : public testing::Test {
 protected:
  std::vector<CaptureRecord> Make(const std::string& name) {
    const std::string path = TempDir() + "/" + name + ".pcapng";
    std::string error;
    EXPECT_TRUE(test::MakeScenarioCapture(name, path, error)) << error;
    return Read(path);
  }
};

TEST_F(Scenario, WorkedFramesAreOnTheLineAsSentAndReceived) {
  const auto records = Make("worked");
  const Bytes sent = Stream(records, serial::kEventSent);
  const Bytes received = Stream(records, serial::kEventReceived);
  EXPECT_TRUE(Contains(sent, {0x5A, 0x01, 0x03, 0x91, 0x10, 0x00, 0x02, 0x58, 0xFF}));
  EXPECT_TRUE(Contains(sent, {0x5A, 0x05, 0x05, 0x95, 0x10, 0x00, 0x01, 0x34, 0x12, 0x09, 0xFF}));
  EXPECT_TRUE(Contains(received, {0x5A, 0x01, 0x04, 0x00, 0x34, 0x12, 0xCD, 0xAB, 0x3C, 0xFE}));
  EXPECT_TRUE(Contains(received, {0x5A, 0x05, 0x00, 0x00, 0xFA, 0xFF}));
  // Each write is one record.
  int frames = 0;
  for (const CaptureRecord& r : records)
    if (r.event == serial::kEventSent) {
      EXPECT_EQ(r.data[0], 0x5A);
      ++frames;
    }
  EXPECT_EQ(frames, 4);

  const auto notes = Comments(records);
  ASSERT_GE(notes.size(), 3u);
  EXPECT_EQ(notes.front(), "open COM1");
  EXPECT_NE(std::find_if(notes.begin(), notes.end(),
                         [](const std::string& n) { return n.rfind("line 19200 8N1,", 0) == 0; }),
            notes.end());
  EXPECT_EQ(notes.back(), "close");
  for (std::size_t i = 1; i < records.size(); ++i)
    EXPECT_LE(records[i - 1].timeUs, records[i].timeUs) << "record " << i;
}

TEST_F(Scenario, SilenceShowsAsATimedOutRead) {
  const auto records = Make("silent");
  const Bytes request = {0x5A, 0x09, 0x03, 0x91, 0x00, 0x00, 0x01};
  EXPECT_EQ(Count(Stream(records, serial::kEventSent), request), 1);
  EXPECT_TRUE(Stream(records, serial::kEventReceived).empty());
  int responseTimeouts = 0;
  for (const std::string& n : Comments(records))
    if (n.rfind("read timed out: 0 of 1 bytes in", 0) == 0 && n != "read timed out: 0 of 1 bytes in 5 ms")
      ++responseTimeouts;
  EXPECT_EQ(responseTimeouts, 1);
}

TEST_F(Scenario, ModemDialogueAndControlLinesAreRecorded) {
  const auto records = Make("modem");
  const Bytes sent = Stream(records, serial::kEventSent);
  const std::string text(sent.begin(), sent.end());
  EXPECT_NE(text.find("ATD 5551234\r"), std::string::npos);
  EXPECT_NE(text.find("ATH0\r"), std::string::npos);
  bool dtrSeen = false;
  for (const CaptureRecord& r : records) dtrSeen = dtrSeen || (r.lines & serial::kLineDtr);
  EXPECT_TRUE(dtrSeen);
}

// ---- The driver and the tools against the simulator ---------------------------------------

#if defined(VKTHOST_PATH) && defined(VKTSIM_PATH)

using Outcome = test::Finished;

std::string Slurp(const std::string& path) { return test::FileText(path); }

Outcome RunHost(const std::vector<std::string>& args, const std::string& cwd) {
  static int runs = 0;
  std::vector<std::string> argv{VKTHOST_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  const Outcome r = test::RunToEnd(argv, cwd, TempDir() + "/host" + std::to_string(++runs),
                                   {"VKTJX_LOG", "VKTJX_CAPTURE"});
  if (r.timedOut) ADD_FAILURE() << "vkthost did not finish";
  return r;
}

class SimulatorCapture : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = TempDir() + "/sim" + std::to_string(++runs_);
    std::filesystem::create_directories(dir_);
    std::ofstream(dir_ + "/VktJX.Cfg")
        << "[PC_PORT_SESSION]\npcpsPort=1\npcpsBaud=19200\npcpsVktRespTmo=150\npcpsVktComRetry=2\n";
    Launch({"--pattern", "--stations", "1", "--capture", dir_ + "/sim.pcapng"});
  }
  void Launch(const std::vector<std::string>& args) {
    StopSimulator();
    sim_ = test::LaunchSimulator(VKTSIM_PATH, args, dir_ + "/sim" + std::to_string(++launches_) + ".err");
    ASSERT_GT(sim_.pid, 0) << sim_.failure;
  }
  std::string SimulatorErr() const { return Slurp(dir_ + "/sim" + std::to_string(launches_) + ".err"); }
  void TearDown() override { StopSimulator(); }
  void StopSimulator() {
    if (sim_.pid <= 0) return;
    kill(sim_.pid, SIGTERM);
    int status = 0;
    waitpid(sim_.pid, &status, 0);
    sim_.pid = -1;
  }
  static inline int runs_ = 0;
  int launches_ = 0;
  std::string dir_;
  test::LaunchedSimulator sim_;
};

TEST_F(SimulatorCapture, HostCaptureAndSimulatorCaptureSeeTheSameFrames) {
  const Outcome r = RunHost({"--capture", "drv.pcapng", "--port", "COM1=" + sim_.device, "read",
                             "1", "word", "16", "2", "then", "read", "2", "word", "0"},
                            dir_);
  EXPECT_EQ(r.status, 1) << r.err;  // station 2 is not served
  StopSimulator();
  const Bytes request = {0x5A, 0x01, 0x03, 0x91, 0x10, 0x00, 0x02};
  const Bytes response = {0x5A, 0x01, 0x04, 0x00, 0x10, 0x00, 0x11, 0x00};
  const auto driver = Read(dir_ + "/drv.pcapng");
  EXPECT_TRUE(Contains(Stream(driver, serial::kEventSent), request));
  EXPECT_TRUE(Contains(Stream(driver, serial::kEventReceived), response));
  EXPECT_EQ(Comments(driver).front(), "open COM1");
  // The simulator's side: what the driver sent arrives, what it answered leaves.
  const auto sim = Read(dir_ + "/sim.pcapng");
  EXPECT_TRUE(Contains(Stream(sim, serial::kEventReceived), request));
  EXPECT_TRUE(Contains(Stream(sim, serial::kEventSent), response));
  EXPECT_EQ(Count(Stream(sim, serial::kEventReceived), {0x5A, 0x02, 0x03, 0x91}), 1);
}

TEST_F(SimulatorCapture, ACaptureThatCannotBeOpenedIsLoggedAndTheStartGoesOn) {
  const Outcome r = RunHost({"--log", "new", "--capture", dir_ + "/no/such/dir/c.pcapng", "--port",
                             "COM1=" + sim_.device, "read", "1", "word", "16"},
                            dir_);
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string log = Slurp(dir_ + "/VKTJX.log");
  EXPECT_NE(log.find("line capture off: cannot write " + dir_ + "/no/such/dir/c.pcapng"),
            std::string::npos)
      << log;
}

TEST_F(SimulatorCapture, AReplayedFaultySessionGivesTheDriverTheSameResults) {
  // A noisy line: silence, bad checksums, stray bytes and cut frames, with retries. Requests are
  // repeated so that the same request bytes meet different faults.
  Launch({"--pattern", "--stations", "1", "--fault", "checksum:0.25", "--fault", "silence:0.2",
          "--fault", "stray:0.2", "--fault", "truncate:0.15", "--seed", "5"});
  std::vector<std::string> commands;
  for (const char* c : {"read 1 word 0 4", "read 1 word 10 2", "read 1 float 0 2", "read 1 bit 3 5",
                        "read 1 word 0 4", "read 1 word 100", "read 1 word 0 4", "write 1 word 7 5 6",
                        "read 1 word 10 2", "read 1 word 0 4", "read 0 reg 0 4"}) {
    if (!commands.empty()) commands.push_back("then");
    std::istringstream words(c);
    for (std::string w; words >> w;) commands.push_back(w);
  }
  auto run = [&](const std::vector<std::string>& options) {
    std::vector<std::string> args = options;
    args.push_back("--port");
    args.push_back("COM1=" + sim_.device);
    args.insert(args.end(), commands.begin(), commands.end());
    return RunHost(args, dir_);
  };
  const Outcome recorded = run({"--capture", "faulty.pcapng"});
  // The seed must give a session with failures, or the replay proves little.
  ASSERT_EQ(recorded.status, 1) << recorded.out << recorded.err;
  ASSERT_NE(recorded.err.find("failed: 161"), std::string::npos) << recorded.err;

  Launch({"--replay", dir_ + "/faulty.pcapng"});
  const Outcome replayed = run({});
  EXPECT_EQ(replayed.status, recorded.status);
  EXPECT_EQ(replayed.out, recorded.out);
  EXPECT_EQ(replayed.err, recorded.err);

  // A request the capture does not hold: silence, and the simulator says so.
  const Outcome unknown = run({});  // the capture's answers are used up now
  EXPECT_NE(unknown.err.find("16105"), std::string::npos) << unknown.err;
  const Outcome other = RunHost({"--port", "COM1=" + sim_.device, "read", "2", "word", "0"}, dir_);
  EXPECT_NE(other.err.find("16105"), std::string::npos) << other.err;
  StopSimulator();
  EXPECT_NE(SimulatorErr().find("replay: request 5a 02 03 91 00 00 01 68 ff is not in the capture: no answer"),
            std::string::npos)
      << SimulatorErr();
  EXPECT_NE(SimulatorErr().find("is not in the capture that many times"), std::string::npos);
}

#endif

}  // namespace
}  // namespace vkt
