// Start, stop and the queries, through the exports against a simulated line: what each state
// answers, what a failed start leaves, and that repeated starts hold nothing back.
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "e2e_support.h"

namespace e2e {
namespace {

using Export = int16_t (*)(const HostTag*, HVALUE);
const Export kTagExports[] = {drvReadValue, drvReadBlock, drvReadBlockElement,
                              drvWriteValue, drvWriteBlock, drvWriteBlockElement};

std::size_t OpenFileDescriptors() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    ++n;
  return n;
}

TEST_F(Line, QueriesAnswerTheSameInEveryState) {
  const char* name = drvGetDriverName();
  auto same = [&](const char* state) {
    EXPECT_EQ(drvGetCaps(), 63) << state;
    EXPECT_EQ(drvGetDriverName(), name) << state;
    EXPECT_STREQ(drvGetDriverName(), kDriverName) << state;
  };
  drvStopComm(0, 0, 0, 0);
  same("stopped");
  Begin({});
  same("started");
  drvStopComm(0, 0, 0, 0);
  same("after a stop");
  std::filesystem::remove(dir.File("VktJX.Cfg"));
  EXPECT_EQ(drvStartComm(0, 0, 0, 0), -1);
  same("after a failed start");
}

TEST_F(Line, AStartWithoutSettingsFails) {
  ASSERT_TRUE(sim.Start(dir.path(), {}));
  std::filesystem::remove(dir.File("VktJX.Cfg"));
  EXPECT_EQ(drvStartComm(0, 0, 0, 0), -1);
  EXPECT_EQ(Registers(), (std::vector<std::int32_t>{kNoSettingsFile, kNoSettingsFile, 0, 0}));
  // The object stays and refuses requests until the stop.
  HostValue v;
  const HostTag t = Tag(1, 1, 0);
  EXPECT_EQ(drvReadValue(&t, v.h()), -1);
  EXPECT_EQ(Registers(), (std::vector<std::int32_t>{kLinkNotReady, kNoSettingsFile, kLinkNotReady, 0}));
  EXPECT_EQ(drvStopComm(0, 0, 0, 0), 1);
  EXPECT_EQ(sim.Trace().find("station 1 0x"), std::string::npos);  // nothing reached the line
}

TEST_F(Line, AStartWithBadSettingsKeepsTheirCode) {
  ASSERT_TRUE(sim.Start(dir.path(), {}));
  dir.WriteSettings("pcpsParity=7\n");
  EXPECT_EQ(drvStartComm(0, 0, 0, 0), -1);
  EXPECT_EQ(Registers(), (std::vector<std::int32_t>{16003, 16003, 0, 0}));
}

TEST_F(Line, WithoutADriverObjectTagsAreRefusedAndRegistersStillRead) {
  Begin({"--stations", "1"});
  HostValue v;
  const HostTag silent = Tag(9, 1, 0);
  EXPECT_EQ(drvReadValue(&silent, v.h()), -1);
  EXPECT_EQ(drvStopComm(1, 2, 3, 4), 1);
  EXPECT_EQ(drvStopComm(0, 0, 0, 0), 1);  // a second stop has nothing to close
  EXPECT_EQ(Registers(), (std::vector<std::int32_t>{kNoAnswer, 0, kNoAnswer, 0}));

  hvSetI16(v.h(), 3);
  for (Export call : kTagExports) {
    const bool write = call == drvWriteValue || call == drvWriteBlock || call == drvWriteBlockElement;
    const HostTag t = Tag(1, 1, 0, 1, 0, 1);
    EXPECT_EQ(call(&t, v.h()), -1);
    const std::vector<std::int32_t> regs = Registers();
    EXPECT_EQ(regs[write ? 3 : 2], kLinkNotReady);
    EXPECT_EQ(regs[0], kLinkNotReady);
  }
  std::int16_t kept = 0;
  EXPECT_TRUE(hvGetI16(v.h(), &kept) && kept == 3);
  EXPECT_EQ(sim.Trace().find("station 1 0x"), std::string::npos);  // nothing reached the line
}

TEST_F(Line, AStartClearsEveryRegister) {
  Begin({"--stations", "1"});
  HostValue v;
  const HostTag silent = Tag(9, 1, 0);
  const HostTag kind5 = Tag(1, 5, 0);
  EXPECT_EQ(drvReadValue(&silent, v.h()), -1);
  EXPECT_EQ(drvWriteValue(&kind5, v.h()), -1);
  EXPECT_EQ(Registers(), (std::vector<std::int32_t>{kBadDataKind, 0, kNoAnswer, kBadDataKind}));
  drvStopComm(0, 0, 0, 0);
  ASSERT_EQ(drvStartComm(0, 0, 0, 0), 1);
  EXPECT_EQ(Registers(), (std::vector<std::int32_t>{0, 0, 0, 0}));
}

// The port is held exclusively: a second start can open it only if the first object let go.
TEST_F(Line, ASecondStartReleasesTheFirstObjectsPort) {
  Begin({"--pattern"});
  ASSERT_EQ(drvStartComm(0, 0, 0, 0), 1);
  EXPECT_EQ(Registers(), (std::vector<std::int32_t>{0, 0, 0, 0}));
  HostValue v;
  const HostTag t = Tag(1, 1, 33);
  ASSERT_EQ(drvReadValue(&t, v.h()), 1);
  std::int16_t w = 0;
  EXPECT_TRUE(hvGetI16(v.h(), &w) && w == 33);
}

TEST_F(Line, NullTagsAnswerFailureAndTouchNothing) {
  Begin({"--stations", "1"}, VKTJX_LOG_NEW_FILE);
  HostValue v;
  const HostTag silent = Tag(9, 1, 0);
  EXPECT_EQ(drvReadValue(&silent, v.h()), -1);
  const std::string log = Slurp(dir.File("VKTJX.log"));
  for (Export call : kTagExports) EXPECT_EQ(call(nullptr, v.h()), -1);
  EXPECT_EQ(Slurp(dir.File("VKTJX.log")), log);
  EXPECT_EQ(Registers(), (std::vector<std::int32_t>{kNoAnswer, 0, kNoAnswer, 0}));
}

TEST_F(Line, ExportsLeaveTheHostsReferencesAsTheyFoundThem) {
  Begin({});
  const HostTag read = Tag(1, 1, 0, 2, 0, 2);
  for (Export call : kTagExports) {
    const HVALUE h = hvNew();
    hvDim(h, 131, 2);
    EXPECT_EQ(call(&read, h), 1);
    EXPECT_EQ(hvRelease(h), 1);
    EXPECT_EQ(hvType(h), 0) << "the value outlived its only reference";
    EXPECT_EQ(hvRelease(h), 0);
  }
  const HVALUE settings = hvNew();
  EXPECT_EQ(drvSetSettingsHandle(settings), settings);
  EXPECT_EQ(drvSetSettingsHandle(12345), 12345u);
  EXPECT_EQ(hvRelease(settings), 1);
  EXPECT_EQ(hvType(settings), 0) << "the settings handle was given a reference";
}

// A handle the value library never issued gives nothing and takes nothing: reads still reach
// the station, writes send 0.
TEST_F(Line, UnknownValueHandlesAreHarmless) {
  Begin({"--pattern"});
  for (HVALUE h : {0u, 0xDEADBEEFu}) {
    const HostTag t = Tag(1, 1, 5, 3, 1, 3);
    for (Export call : kTagExports) EXPECT_EQ(call(&t, h), 1);
  }
  const std::string memory = sim.Memory();
  for (const char* line : {"1 word 5 0\n", "1 word 6 0\n", "1 word 7 0\n"})
    EXPECT_NE(memory.find(line), std::string::npos) << line << memory;
}

TEST(Dialog, WritesOneLineToStandardErrorAndAnswersOne) {
  std::fflush(stderr);
  const std::string path = std::filesystem::temp_directory_path().string() + "/vkt_e2e_dialog_" +
                           std::to_string(getpid());
  const int saved = dup(2);
  std::FILE* capture = std::fopen(path.c_str(), "w");
  ASSERT_NE(capture, nullptr);
  dup2(fileno(capture), 2);
  const int16_t answer = drvDriverDialog(-5);
  dup2(saved, 2);
  close(saved);
  std::fclose(capture);
  EXPECT_EQ(answer, 1);
  EXPECT_EQ(Slurp(path), std::string(kDriverName) + ": Option not implemented on this driver!\n");
  std::remove(path.c_str());
}

// Each cycle opens the port, the log file and the settings file and builds a driver object; a
// cycle that kept any of them would show after 200.
TEST_F(Line, TwoHundredCyclesLeaveNoDescriptorOrMemoryBehind) {
  ASSERT_TRUE(sim.Start(dir.path(), {"--stations", "1"}));
  HostValue v;
  const HostTag t = Tag(1, 1, 0);
  auto cycle = [&](std::uint16_t p4) {
    ASSERT_EQ(drvStartComm(0, 0, 0, p4), 1);
    ASSERT_EQ(drvReadValue(&t, v.h()), 1);
    ASSERT_EQ(drvStopComm(0, 0, 0, 0), 1);
  };
  cycle(VKTJX_LOG_APPEND);  // first use: stdio buffers, locale, the value's storage
  cycle(0);
  const std::size_t fds = OpenFileDescriptors();
  const std::size_t heap = mallinfo2().uordblks;
  for (int i = 0; i < 200; ++i) {
    cycle(i % 2 ? VKTJX_LOG_APPEND : 0);
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(OpenFileDescriptors(), fds);
  EXPECT_LE(mallinfo2().uordblks, heap + 1024);
  EXPECT_EQ(Lines(Slurp(dir.File("VKTJX.log"))).size(), 101u * 7);
}

}  // namespace
}  // namespace e2e
