// vktgw as an operator runs it: a separate process on a line served by vktsim over a
// pseudo-terminal, publishing to a real mosquitto broker started by the test, judged by what
// an MQTT client sees.
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include <httplib.h>

#include "backlog_journal.h"
#include "mqtt_fixture.h"
#include "sim_launch.h"

namespace vktgw::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

std::string MakeTempDir(const char* tag) {
  std::string t = ::testing::TempDir() + "vktgw_" + tag + "_XXXXXX";
  if (mkdtemp(t.data()) == nullptr) return {};
  char real[PATH_MAX];
  return realpath(t.c_str(), real) ? real : t;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A child process run with its standard error in a file, ended by the test.
struct Child {
  pid_t pid = -1;
  std::string errPath;

  void Start(const std::vector<std::string>& args, const std::string& err) {
    errPath = err;
    pid = fork();
    if (pid == 0) {
      const FILE* f = std::freopen(err.c_str(), "w", stderr);
      (void)f;
      std::vector<std::string> copy = args;
      std::vector<char*> argv;
      for (std::string& a : copy) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
  }
  // Sends `sig` and returns the exit status (-1 for a signal death or a hang).
  int Stop(int sig) {
    if (pid <= 0) return -1;
    kill(pid, sig);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        pid = -1;
        return -1;
      }
      std::this_thread::sleep_for(10ms);
    }
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  ~Child() {
    if (pid > 0) Stop(SIGKILL);
  }
};

json Json(const Received& r) { return json::parse(r.payload, nullptr, false); }

// Matches a message on `topic` whose JSON has every field of `fields`.
std::function<bool(const Received&)> On(const std::string& topic, const json& fields = json::object()) {
  return [topic, fields](const Received& r) {
    if (r.topic != topic) return false;
    const json j = json::parse(r.payload, nullptr, false);
    if (j.is_discarded()) return false;
    for (auto it = fields.begin(); it != fields.end(); ++it)
      if (!j.contains(it.key()) || j[it.key()] != it.value()) return false;
    return true;
  };
}

class GatewayE2E : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    suiteDir_ = new std::string(MakeTempDir("broker"));
    broker_ = new Broker(*suiteDir_);
    if (!broker_->Start()) GTEST_SKIP() << broker_->failure();
  }
  static void TearDownTestSuite() {
    delete broker_;
    std::error_code ignored;
    std::filesystem::remove_all(*suiteDir_, ignored);
    delete suiteDir_;
  }

  void SetUp() override {
    dir_ = MakeTempDir("case");
    prefix_ = std::string("vkt/") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::ofstream(dir_ + "/VktJX.Cfg") << "[PC_PORT_SESSION]\npcpsPort=1\npcpsBaud=19200\n"
                                          "pcpsVktRespTmo=100\npcpsVktComRetry=1\n"
                                          "pcpsFailFramesToReset=5\n";
  }
  void TearDown() override {
    gateway_.Stop(SIGKILL);
    sim_.Stop(SIGTERM);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // vktsim serving `stations` with preset memory, reached through a symlink that survives a
  // restart of the simulator.
  void StartSimulator(const std::string& stations = "1", std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--stations", stations, "--pattern", "--link", dir_ + "/line"};
    args.insert(args.end(), extra.begin(), extra.end());
    const LaunchedSimulator_ s = vkt::test::LaunchSimulator(VKTSIM_PATH, args, dir_ + "/vktsim.err");
    ASSERT_GT(s.pid, 0) << s.failure;
    sim_.pid = s.pid;
  }

  // Writes the gateway's configuration with `polls` ([[poll]] tables) and starts it.
  void StartGateway(const std::string& polls, int brokerPort = 0) {
    const std::string config = dir_ + "/gw.toml";
    std::ofstream(config) << "[line]\ndir = \".\"\nport = \"COM1=" << dir_ << "/line\"\n"
                          << "[mqtt]\nurl = \"mqtt://127.0.0.1:"
                          << (brokerPort ? brokerPort : broker_->port()) << "\"\nprefix = \""
                          << prefix_ << "\"\n"
                          << "[demotion]\nafter_failures = 2\nperiod_ms = 300\nmax_period_ms = 1200\n"
                          << polls;
    gateway_.Start({VKTGW_PATH, config}, dir_ + "/vktgw.err");
  }

  std::string Log() { return "vktgw stderr:\n" + ReadFile(dir_ + "/vktgw.err"); }
  std::string T(const std::string& rest) { return prefix_ + "/" + rest; }

  using LaunchedSimulator_ = vkt::test::LaunchedSimulator;
  static std::string* suiteDir_;
  static Broker* broker_;
  std::string dir_, prefix_;
  Child sim_, gateway_;
};

std::string* GatewayE2E::suiteDir_ = nullptr;
Broker* GatewayE2E::broker_ = nullptr;

const char kWords[] =
    "[[poll]]\nname = \"words\"\nstation = 1\nkind = \"word\"\naddress = 100\ncount = 3\n"
    "interval_ms = 100\n";

// A subscriber that comes late still finds every element, retained, with quality and time
// stamp, and the gateway and station online.
TEST_F(GatewayE2E, LateSubscriberFindsRetainedValuesAndStatus) {
  StartSimulator();
  StartGateway(std::string(kWords) +
               "[[poll]]\nname = \"f\"\nstation = 1\nkind = \"float\"\naddress = 7\n"
               "[[poll]]\nname = \"b\"\nstation = 1\nkind = \"bit\"\naddress = 3\n");
  {
    TestClient early(broker_->port(), "early");
    early.Subscribe(prefix_ + "/#");
    ASSERT_GE(early.WaitFor(On(T("1/bit/3"))), 0) << Log();
    ASSERT_GE(early.WaitFor(On(T("1/word/102"))), 0) << Log();
  }
  TestClient late(broker_->port(), "late");
  late.Subscribe(prefix_ + "/#");
  const std::regex iso(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
  struct Expect {
    const char* topic;
    json value;
  };
  const Expect expected[] = {{"1/word/100", 100}, {"1/word/101", 101}, {"1/word/102", 102},
                             {"1/float/7", 7.5},  {"1/bit/3", 1}};
  for (const Expect& e : expected) {
    SCOPED_TRACE(e.topic);
    const int i = late.WaitFor(On(T(e.topic)));
    ASSERT_GE(i, 0) << Log();
    const Received r = late.Snapshot()[i];
    EXPECT_TRUE(r.retained);
    const json j = Json(r);
    EXPECT_EQ(j["value"], e.value);
    EXPECT_EQ(j["quality"], "good");
    EXPECT_EQ(j["code"], 0);
    EXPECT_TRUE(std::regex_match(j["ts"].get<std::string>(), iso)) << j;
  }
  EXPECT_GE(late.WaitFor(On(T("status"), {{"online", true}})), 0);
  EXPECT_GE(late.WaitFor(On(T("1/status"), {{"state", "online"}, {"code", 0}})), 0);
}

// Writes in each accepted form land on the line and come back through the polled values;
// the result goes to /set/result, or to the MQTT 5 response topic with the correlation data.
// A malformed payload is answered and the value stays as it was.
TEST_F(GatewayE2E, WritesAndTheirResults) {
  StartSimulator();
  StartGateway(kWords);
  TestClient c(broker_->port(), "writer");
  c.Subscribe(prefix_ + "/#");
  c.Subscribe("answers/#");
  ASSERT_GE(c.WaitFor(On(T("1/word/100"), {{"value", 100}})), 0) << Log();

  c.Publish(T("1/word/100/set"), "42");
  EXPECT_GE(c.WaitFor(On(T("1/word/100/set/result"), {{"ok", true}})), 0) << Log();
  EXPECT_GE(c.WaitFor(On(T("1/word/100"), {{"value", 42}})), 0);

  c.Publish(T("1/word/101/set"), "[-5, 7]");
  EXPECT_GE(c.WaitFor(On(T("1/word/101/set/result"), {{"ok", true}})), 0);
  EXPECT_GE(c.WaitFor(On(T("1/word/101"), {{"value", -5}})), 0);
  EXPECT_GE(c.WaitFor(On(T("1/word/102"), {{"value", 7}})), 0);

  const int before = c.Count();
  c.Publish(T("1/word/100/set"), R"({"value": 43})", "answers/a", std::string("\x01\x00id", 4));
  const int answer = c.WaitFor(On("answers/a", {{"ok", true}}), before);
  ASSERT_GE(answer, 0) << Log();
  EXPECT_EQ(c.Snapshot()[answer].correlation, std::string("\x01\x00id", 4));
  EXPECT_GE(c.WaitFor(On(T("1/word/100"), {{"value", 43}})), 0);

  struct Bad {
    const char* topic;
    const char* payload;
    int code;
  };
  const Bad bad[] = {{"1/word/100/set", "\"forty\"", 17001},
                     {"1/word/100/set", "{\"value\": 1.5}", 17001},
                     {"1/dword/100/set", "1", 16012}};
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.payload);
    const int from = c.Count();
    c.Publish(T(b.topic), b.payload);
    const int i = c.WaitFor(On(T(std::string(b.topic) + "/result"), {{"ok", false}, {"code", b.code}}), from);
    ASSERT_GE(i, 0) << Log();
    EXPECT_FALSE(Json(c.Snapshot()[i])["message"].get<std::string>().empty());
  }
  // the word still holds 43: read again after a write to its neighbour has come back
  const int from = c.Count();
  c.Publish(T("1/word/102/set"), "8");
  ASSERT_GE(c.WaitFor(On(T("1/word/102"), {{"value", 8}}), from), 0);
  for (const Received& r : c.Snapshot()) {
    if (r.topic == T("1/word/100")) {
      EXPECT_NE(Json(r)["value"], 1) << r.payload;
    }
  }
  EXPECT_EQ(gateway_.Stop(SIGTERM), 0) << Log();
}

// A value moves less than the deadband: not published; more: published. A second group on
// the neighbouring word, with no deadband, shows when the first has been read again.
TEST_F(GatewayE2E, DeadbandHoldsSmallChanges) {
  StartSimulator();
  StartGateway(
      "[[poll]]\nname = \"banded\"\nstation = 1\nkind = \"word\"\naddress = 200\n"
      "interval_ms = 50\ndeadband = 5\n"
      "[[poll]]\nname = \"marker\"\nstation = 1\nkind = \"word\"\naddress = 201\ninterval_ms = 50\n");
  TestClient c(broker_->port(), "deadband");
  c.Subscribe(prefix_ + "/#");
  ASSERT_GE(c.WaitFor(On(T("1/word/200"), {{"value", 200}})), 0) << Log();
  c.Publish(T("1/word/200/set"), "[204, 1]");
  ASSERT_GE(c.WaitFor(On(T("1/word/201"), {{"value", 1}})), 0);
  c.Publish(T("1/word/201/set"), "2");  // by its echo, word 200 has been read again too
  ASSERT_GE(c.WaitFor(On(T("1/word/201"), {{"value", 2}})), 0);
  EXPECT_EQ(c.WaitFor(On(T("1/word/200"), {{"value", 204}}), 0, 200ms), -1);
  c.Publish(T("1/word/200/set"), "206");
  EXPECT_GE(c.WaitFor(On(T("1/word/200"), {{"value", 206}})), 0);
}

// The simulator goes away: each element turns bad once with the code, keeping its value; the
// station is demoted and probed, a write to it is answered at once with its code, the
// other station's status is untouched; the simulator comes back and the probe restores it.
TEST_F(GatewayE2E, SilentStationIsDemotedAndBroughtBack) {
  StartSimulator();
  StartGateway(kWords);
  TestClient c(broker_->port(), "health");
  c.Subscribe(prefix_ + "/#");
  ASSERT_GE(c.WaitFor(On(T("1/word/100"), {{"value", 100}, {"quality", "good"}})), 0) << Log();
  ASSERT_GE(c.WaitFor(On(T("1/status"), {{"state", "online"}})), 0);

  const int cut = c.Count();
  sim_.Stop(SIGTERM);
  const int bad = c.WaitFor(On(T("1/word/100"), {{"quality", "bad"}, {"value", 100}}), cut);
  ASSERT_GE(bad, 0) << Log();
  EXPECT_NE(Json(c.Snapshot()[bad])["code"], 0);
  const int demoted = c.WaitFor(On(T("1/status"), {{"state", "demoted"}}), cut);
  ASSERT_GE(demoted, 0) << Log();
  const json status = Json(c.Snapshot()[demoted]);

  const int w = c.Count();
  c.Publish(T("1/word/100/set"), "5");
  const int result = c.WaitFor(On(T("1/word/100/set/result"), {{"ok", false}}), w);
  ASSERT_GE(result, 0);
  EXPECT_EQ(Json(c.Snapshot()[result])["code"], status["code"]);

  std::this_thread::sleep_for(1s);  // a few failed probes
  int bads = 0;
  for (const Received& r : c.Snapshot())
    if (r.topic == T("1/word/100") && Json(r)["quality"] == "bad") ++bads;
  EXPECT_EQ(bads, 1);

  const int back = c.Count();
  StartSimulator();
  EXPECT_GE(c.WaitFor(On(T("1/status"), {{"state", "online"}, {"code", 0}}), back, 20s), 0) << Log();
  // back with its old value: published good although unchanged
  EXPECT_GE(c.WaitFor(On(T("1/word/100"), {{"value", 100}, {"quality", "good"}}), back), 0);
}

// A station that never answers stays offline until demoted and is then only probed; the
// station that answers keeps being read and a write to the absent one gets its code at once.
TEST_F(GatewayE2E, AbsentStationGoesFromOfflineToDemoted) {
  StartSimulator("1");
  StartGateway(std::string(kWords) +
               "[[poll]]\nname = \"absent\"\nstation = 9\nkind = \"float\"\naddress = 0\n"
               "interval_ms = 100\n");
  TestClient c(broker_->port(), "absent");
  c.Subscribe(prefix_ + "/#");
  ASSERT_GE(c.WaitFor(On(T("9/status"), {{"state", "offline"}})), 0) << Log();
  const int d = c.WaitFor(On(T("9/status"), {{"state", "demoted"}, {"code", 16105}}));
  ASSERT_GE(d, 0) << Log();
  EXPECT_GE(c.WaitFor(On(T("9/float/0"), {{"quality", "bad"}, {"code", 16105}})), 0);
  EXPECT_TRUE(Json(c.Snapshot()[c.WaitFor(On(T("9/float/0")))])["value"].is_null());
  const int from = c.Count();
  c.Publish(T("1/word/100/set"), "77");
  EXPECT_GE(c.WaitFor(On(T("1/word/100"), {{"value", 77}}), from), 0);
  c.Publish(T("9/float/0/set"), "1.5");
  EXPECT_GE(c.WaitFor(On(T("9/float/0/set/result"), {{"ok", false}, {"code", 16105}}), from), 0);
}

// The broker restarts (and forgets every retained message): the gateway reconnects by itself
// and publishes its retained state again. Then the stop: SIGTERM publishes the offline status.
TEST_F(GatewayE2E, BrokerRestartRepublishesAndCleanStopSaysOffline) {
  Broker own(dir_);
  ASSERT_TRUE(own.Start()) << own.failure();
  StartSimulator();
  StartGateway(kWords, own.port());
  {
    TestClient c(own.port(), "before");
    c.Subscribe(prefix_ + "/#");
    ASSERT_GE(c.WaitFor(On(T("1/word/102"))), 0) << Log();
  }
  own.Stop();
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(own.Start()) << own.failure();
  {
    TestClient c(own.port(), "after");
    c.Subscribe(prefix_ + "/#");
    EXPECT_GE(c.WaitFor(On(T("status"), {{"online", true}}), 0, 40s), 0) << Log();
    EXPECT_GE(c.WaitFor(On(T("1/word/101"), {{"value", 101}})), 0);
    EXPECT_GE(c.WaitFor(On(T("1/status"), {{"state", "online"}})), 0);
  }
  EXPECT_EQ(gateway_.Stop(SIGTERM), 0) << Log();
  TestClient late(own.port(), "late");
  late.Subscribe(prefix_ + "/status");
  const int i = late.WaitFor(On(T("status"), {{"online", false}}));
  ASSERT_GE(i, 0);
  EXPECT_TRUE(late.Snapshot()[i].retained);
  EXPECT_TRUE(Json(late.Snapshot()[i]).contains("since"));
}

// The driver cannot start (no settings file): every station is offline with the start's
// code, writes get that code at once, and the start is retried until the line comes up.
TEST_F(GatewayE2E, LineDownIsOfflineUntilTheDriverStarts) {
  const std::string settings = ReadFile(dir_ + "/VktJX.Cfg");
  std::filesystem::remove(dir_ + "/VktJX.Cfg");
  StartSimulator();
  StartGateway(kWords);
  TestClient c(broker_->port(), "linedown");
  c.Subscribe(prefix_ + "/#");
  ASSERT_GE(c.WaitFor(On(T("1/status"), {{"state", "offline"}, {"code", 16013}})), 0) << Log();
  c.Publish(T("1/word/100/set"), "1");
  EXPECT_GE(c.WaitFor(On(T("1/word/100/set/result"), {{"ok", false}, {"code", 16013}})), 0);
  EXPECT_EQ(c.WaitFor(On(T("1/word/100")), 0, 300ms), -1) << "no value without a line";
  std::ofstream(dir_ + "/VktJX.Cfg") << settings;
  EXPECT_GE(c.WaitFor(On(T("1/status"), {{"state", "online"}}), 0, 20s), 0) << Log();
  EXPECT_GE(c.WaitFor(On(T("1/word/100"), {{"value", 100}})), 0);
}

// A gateway killed outright: the broker publishes its will.
TEST_F(GatewayE2E, KilledGatewayLeavesItsWill) {
  StartSimulator();
  StartGateway(kWords);
  TestClient c(broker_->port(), "will");
  c.Subscribe(prefix_ + "/status");
  ASSERT_GE(c.WaitFor(On(T("status"), {{"online", true}})), 0) << Log();
  const int from = c.Count();
  gateway_.Stop(SIGKILL);
  EXPECT_GE(c.WaitFor(On(T("status"), {{"online", false}}), from), 0);
}

// The value of one sample line `series` (name with labels, as rendered) in a scrape; -1 if
// absent.
double Sample(const std::string& text, const std::string& series) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, series.size() + 1, series + " ") == 0)
      return std::stod(line.substr(series.size() + 1));
  return -1;
}

// A scrape after a known sequence: station 1 answers and takes one write, station 9 is
// absent and is demoted with its code. The text passes promtool, and the values tell it.
TEST_F(GatewayE2E, MetricsScrapePassesPromtoolAndCounts) {
  const int port = FreePort();
  ASSERT_GT(port, 0);
  StartSimulator("1");
  StartGateway(std::string(kWords) +
               "[[poll]]\nname = \"absent\"\nstation = 9\nkind = \"float\"\naddress = 0\n"
               "interval_ms = 100\n[metrics]\nlisten = \"127.0.0.1:" + std::to_string(port) + "\"\n");
  TestClient c(broker_->port(), "metrics");
  c.Subscribe(prefix_ + "/#");
  ASSERT_GE(c.WaitFor(On(T("9/status"), {{"state", "demoted"}})), 0) << Log();
  c.Publish(T("1/word/100/set"), "5");
  ASSERT_GE(c.WaitFor(On(T("1/word/100/set/result"), {{"ok", true}})), 0) << Log();

  httplib::Client http("127.0.0.1", port);
  std::string text;
  for (int i = 0; i < 100; ++i) {  // the write's count lands before its result goes out
    auto res = http.Get("/metrics");
    ASSERT_TRUE(res) << Log();
    EXPECT_EQ(res->status, 200);
    text = res->body;
    if (Sample(text, R"(vktgw_mqtt_connected)") == 1) break;
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(Sample(text, R"(vktgw_requests_total{station="1",op="write"})"), 1) << text;
  EXPECT_GT(Sample(text, R"(vktgw_requests_total{station="1",op="read"})"), 0) << text;
  EXPECT_EQ(Sample(text, R"(vktgw_station_state{station="1"})"), 0) << text;
  EXPECT_EQ(Sample(text, R"(vktgw_station_state{station="9"})"), 1) << text;
  EXPECT_EQ(Sample(text, R"(vktgw_demotions_total{station="9"})"), 1) << text;
  EXPECT_EQ(Sample(text, R"(vktgw_demotions_total{station="1"})"), 0) << text;
  EXPECT_GE(Sample(text, R"(vktgw_failures_total{station="9",code="16105"})"), 2) << text;
  EXPECT_EQ(Sample(text, R"(vktgw_failures_total{station="9",code="16105"})"),
            Sample(text, R"(vktgw_requests_total{station="9",op="read"})")) << text;
  EXPECT_EQ(Sample(text, R"(vktgw_response_seconds_count{station="1"})"),
            Sample(text, R"(vktgw_requests_total{station="1",op="read"})") + 1) << text;
  EXPECT_EQ(Sample(text, R"(vktgw_response_seconds_bucket{station="1",le="+Inf"})"),
            Sample(text, R"(vktgw_response_seconds_count{station="1"})")) << text;
  EXPECT_EQ(Sample(text, R"(vktgw_line_up)"), 1) << text;
  EXPECT_EQ(Sample(text, R"(vktgw_mqtt_connected)"), 1) << text;
  EXPECT_EQ(Sample(text, R"(vktgw_scan_overruns_total{poll="words"})"), 0) << text;

  const std::string file = dir_ + "/scrape.txt";
  std::ofstream(file) << text;
  const std::string cmd = "promtool check metrics < " + file + " > " + dir_ + "/promtool.out 2>&1";
  EXPECT_EQ(std::system(cmd.c_str()), 0) << ReadFile(dir_ + "/promtool.out") << text;
}

// The service manager's side of Type=notify: a datagram socket in NOTIFY_SOCKET, a watchdog
// in WATCHDOG_USEC. READY comes once with the stations online, the loop pings, the stop says so.
TEST_F(GatewayE2E, NotifiesReadyStatusWatchdogAndStopping) {
  const std::string path = dir_ + "/notify";
  const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  timeval tv{0, 200000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  StartSimulator("1");
  setenv("NOTIFY_SOCKET", path.c_str(), 1);
  setenv("WATCHDOG_USEC", "400000", 1);
  StartGateway(kWords);
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");

  std::string all;
  auto count = [&all](const std::string& what) {
    int n = 0;
    for (std::size_t at = all.find(what); at != std::string::npos; at = all.find(what, at + 1)) ++n;
    return n;
  };
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  while (count("WATCHDOG=1") < 3 && std::chrono::steady_clock::now() < deadline) {
    char b[512];
    const ssize_t n = recv(fd, b, sizeof b, 0);
    if (n > 0) all.append(b, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(count("READY=1"), 1) << all << Log();
  EXPECT_GE(count("WATCHDOG=1"), 3) << all;
  EXPECT_NE(all.find("STATUS=1 of 1 stations online"), std::string::npos) << all;
  EXPECT_LT(all.find("READY=1"), all.find("STATUS=1 of 1")) << all;
  EXPECT_EQ(gateway_.Stop(SIGTERM), 0);
  char b[512];
  std::string last;
  for (ssize_t n; (n = recv(fd, b, sizeof b, 0)) > 0;) last.append(b, static_cast<std::size_t>(n));
  EXPECT_NE(last.find("STOPPING=1"), std::string::npos) << last;
  close(fd);
}

// The adapter is pulled out (the pty closed, its link gone) and plugged back in under the same
// name: the station turns offline with the line's code, vktgw_line_up drops, and both come back
// without a restart of the gateway.
TEST_F(GatewayE2E, PulledAdapterIsOfflineUntilPluggedBack) {
  const int port = FreePort();
  ASSERT_GT(port, 0);
  StartSimulator();
  StartGateway(std::string(kWords) + "[metrics]\nlisten = \"127.0.0.1:" + std::to_string(port) + "\"\n");
  TestClient c(broker_->port(), "pulled");
  c.Subscribe(prefix_ + "/#");
  ASSERT_GE(c.WaitFor(On(T("1/status"), {{"state", "online"}})), 0) << Log();
  httplib::Client http("127.0.0.1", port);
  auto lineUp = [&http] {
    auto res = http.Get("/metrics");
    return res ? Sample(res->body, "vktgw_line_up") : -1;
  };
  EXPECT_EQ(lineUp(), 1);

  const int cut = c.Count();
  sim_.Stop(SIGTERM);
  std::filesystem::remove(dir_ + "/line");
  const int off = c.WaitFor(On(T("1/status"), {{"state", "offline"}, {"code", 16010}}), cut, 30s);
  ASSERT_GE(off, 0) << Log();
  EXPECT_EQ(lineUp(), 0);

  const int back = c.Count();
  StartSimulator();
  ASSERT_GE(c.WaitFor(On(T("1/status"), {{"state", "online"}, {"code", 0}}), back, 30s), 0) << Log();
  EXPECT_EQ(lineUp(), 1);
  EXPECT_GE(c.WaitFor(On(T("1/word/100"), {{"quality", "good"}}), back), 0);
}

TEST_F(GatewayE2E, CheckConfigReportsPlacesAndExitsTwo) {
  const std::string config = dir_ + "/bad.toml";
  std::ofstream(config) << "[line]\ndir = \".\"\nspeed = 9600\n[mqtt]\nurl = \"mqtt://h\"\n"
                           "prefix = \"p\"\n[[poll]]\nname = \"a\"\nstation = 0\nkind = \"bit\"\n"
                           "address = 0\n";
  gateway_.Start({VKTGW_PATH, "--check-config", config}, dir_ + "/vktgw.err");
  int status = 0;
  waitpid(gateway_.pid, &status, 0);
  gateway_.pid = -1;
  EXPECT_EQ(WEXITSTATUS(status), 2);
  const std::string err = ReadFile(dir_ + "/vktgw.err");
  EXPECT_NE(err.find(config + ":3:1: unknown key \"speed\""), std::string::npos) << err;
  EXPECT_NE(err.find(config + ":9:11: station = 0"), std::string::npos) << err;
}

// A broker that takes only TLS with a user name and password: a test CA and a server
// certificate for 127.0.0.1 made with openssl, a second CA that signed nothing of the broker's.
class GatewayTls : public GatewayE2E {
 protected:
  static void SetUpTestSuite() {
    GatewayE2E::SetUpTestSuite();
    tlsDir_ = new std::string(MakeTempDir("tls"));
    const std::string& d = *tlsDir_;
    std::ofstream(d + "/san.ext") << "subjectAltName=IP:127.0.0.1\n";
    std::ofstream(d + "/password") << "s3cret\n";
    std::ofstream(d + "/wrong-password") << "guess\n";
    // (chmod: a broker started as root reads its keys as its own unprivileged user)
    const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    const std::string make =
        "cd " + d + " && exec >openssl.log 2>&1 && openssl req -x509" + key +
        " -keyout ca.key -out ca.pem -days 2 -subj /CN=vktgw-test-ca && openssl req -x509" + key +
        " -keyout other.key -out other.pem -days 2 -subj /CN=other-ca && openssl req" + key +
        " -keyout server.key -out server.csr -subj /CN=127.0.0.1 && openssl x509 -req -in server.csr"
        " -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 -extfile san.ext &&"
        " mosquitto_passwd -b -c passwd gw s3cret && chmod 755 . && chmod 644 *";
    if (std::system(make.c_str()) != 0) GTEST_SKIP() << "cannot make the test certificates; see " << d;
    tls_ = new Broker(d);
    tls_->set_listener_settings("cafile " + d + "/ca.pem\ncertfile " + d + "/server.pem\nkeyfile " + d +
                                "/server.key\nallow_anonymous false\npassword_file " + d + "/passwd\n");
    if (!tls_->Start()) GTEST_SKIP() << tls_->failure();
  }
  static void TearDownTestSuite() {
    delete tls_;
    tls_ = nullptr;
    std::error_code ignored;
    if (tlsDir_ != nullptr) std::filesystem::remove_all(*tlsDir_, ignored);
    delete tlsDir_;
    tlsDir_ = nullptr;
    GatewayE2E::TearDownTestSuite();
  }

  void StartTlsGateway(const std::string& ca, const std::string& passwordFile) {
    const std::string config = dir_ + "/gw.toml";
    std::ofstream(config) << "[line]\ndir = \".\"\nport = \"COM1=" << dir_ << "/line\"\n"
                          << "[mqtt]\nurl = \"mqtts://127.0.0.1:" << tls_->port() << "\"\nprefix = \""
                          << prefix_ << "\"\nca_file = \"" << ca << "\"\nusername = \"gw\"\n"
                          << "password_file = \"" << passwordFile << "\"\n" << kWords;
    gateway_.Start({VKTGW_PATH, config}, dir_ + "/vktgw.err");
  }

  // Waits until vktgw's stderr holds `words` at least `times` times.
  bool LogShows(const std::string& words, int times) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
      const std::string log = ReadFile(dir_ + "/vktgw.err");
      int n = 0;
      for (std::size_t at = log.find(words); at != std::string::npos; at = log.find(words, at + 1)) ++n;
      if (n >= times) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }

  static std::string* tlsDir_;
  static Broker* tls_;
};

std::string* GatewayTls::tlsDir_ = nullptr;
Broker* GatewayTls::tls_ = nullptr;

TEST_F(GatewayTls, RightCaAndPasswordDeliverValues) {
  StartSimulator();
  StartTlsGateway(*tlsDir_ + "/ca.pem", *tlsDir_ + "/password");
  TestClient c(tls_->port(), "tls-reader", {*tlsDir_ + "/ca.pem", "gw", "s3cret"});
  c.Subscribe(prefix_ + "/#");
  EXPECT_GE(c.WaitFor(On(T("1/word/101"), {{"value", 101}, {"quality", "good"}})), 0) << Log();
  EXPECT_GE(c.WaitFor(On(T("status"), {{"online", true}})), 0) << Log();
  EXPECT_EQ(Log().find("s3cret"), std::string::npos) << Log();
}

// A broker that cannot be trusted, or that refuses the password, is said so in the log and
// tried again with the backoff; the gateway stays up.
TEST_F(GatewayTls, HandshakeOrPasswordFailureIsLoggedAndRetried) {
  struct Case {
    const char* name;
    const char* ca;
    const char* password;
    const char* words;
  };
  const Case cases[] = {{"wrong CA", "/other.pem", "/password", "mqtt: TLS handshake failed:"},
                        {"wrong password", "/ca.pem", "/wrong-password", "mqtt: connection refused:"}};
  StartSimulator();
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    StartTlsGateway(*tlsDir_ + k.ca, *tlsDir_ + k.password);
    EXPECT_TRUE(LogShows(k.words, 2)) << Log();
    int status = 0;
    EXPECT_EQ(waitpid(gateway_.pid, &status, WNOHANG), 0) << "vktgw ended; " << Log();
    EXPECT_EQ(gateway_.Stop(SIGTERM), 0) << Log();
  }
}

// The broker away while values change: a counter word under vktsim that goes up at every
// poll, so every change has its own value and a gap or a repeat shows at once. The subscriber
// keeps a persistent session on a broker that keeps it across its restart.
class GatewayBacklog : public GatewayE2E {
 protected:
  // One counter value as the subscriber got it.
  struct Seen {
    long value;
    bool late;
    std::string ts;
    std::string payload;
  };

  // A subscriber to one topic with a persistent session. It leaves cleanly before the broker
  // stops and comes back to its session after the restart: a QoS 1 message the broker had
  // sent it and not yet seen acknowledged when it stopped would come again (at least once),
  // which is the broker's doing, not the gateway's.
  class Subscriber {
   public:
    Subscriber(int port, std::string id, std::string topic)
        : port_(port), id_(std::move(id)), topic_(std::move(topic)) {
      Return();
      client_->Subscribe(topic_);
    }
    bool connected() const { return client_ != nullptr && client_->connected(); }
    void Leave() {
      earlier_ = All();
      client_.reset();
    }
    void Return() { client_ = std::make_unique<TestClient>(port_, id_, ClientAuth{}, true); }
    std::vector<Received> All() {
      std::vector<Received> out = earlier_;
      if (client_ != nullptr)
        for (Received& r : client_->Snapshot()) out.push_back(std::move(r));
      return out;
    }
    // Waits until a message on the topic arrives after the `n` already seen.
    bool WaitForMore(std::size_t n) {
      return client_->WaitFor(On(topic_), static_cast<int>(n - earlier_.size())) >= 0;
    }
    std::vector<Seen> Values() {
      std::vector<Seen> out;
      for (const Received& r : All()) {
        if (r.topic != topic_) continue;
        const json j = Json(r);
        out.push_back({j.value("value", -1L), j.value("late", false), j.value("ts", ""), r.payload});
      }
      return out;
    }

   private:
    int port_;
    std::string id_, topic_;
    std::vector<Received> earlier_;
    std::unique_ptr<TestClient> client_;
  };

  void StartCounting(Broker& broker, int metricsPort) {
    StartSimulator("1", {"--counter", "1:100"});
    StartBackloggingGateway(broker, metricsPort);
  }
  void StartBackloggingGateway(Broker& broker, int metricsPort) {
    StartGateway(std::string(kWords) + "[backlog]\ndir = \"backlog\"\nmax_mb = 4\n[metrics]\nlisten = \"127.0.0.1:" +
                     std::to_string(metricsPort) + "\"\n",
                 broker.port());
  }

  // What the subscriber and the broker saw, for a failure's message.
  std::string Story(Subscriber& c) {
    std::string out = Log() + "subscriber:\n";
    for (const Seen& s : c.Values()) out += s.payload + "\n";
    return out + "broker:\n" + ReadFile(dir_ + "/mosquitto.log");
  }

  // Waits until the gateway's backlog holds at least `n` messages; returns what it holds.
  static double WaitForBacklog(int port, double n) {
    httplib::Client http("127.0.0.1", port);
    double held = -1;
    const auto deadline = std::chrono::steady_clock::now() + 40s;
    while (std::chrono::steady_clock::now() < deadline) {
      if (auto res = http.Get("/metrics")) held = Sample(res->body, "vktgw_backlog_messages");
      if (held >= n) break;
      std::this_thread::sleep_for(50ms);
    }
    return held;
  }

  // Waits until `live` values without "late" have come after the last late one.
  static bool WaitForLive(Subscriber& c, int live) {
    const auto deadline = std::chrono::steady_clock::now() + 40s;
    while (std::chrono::steady_clock::now() < deadline) {
      int after = 0;
      bool lateSeen = false;
      for (const Seen& s : c.Values()) {
        if (s.late) {
          lateSeen = true;
          after = 0;
        } else if (lateSeen) {
          ++after;
        }
      }
      if (lateSeen && after >= live) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }

  // Every value once and in order, the late ones in one run before the live ones resume.
  static void ExpectOnceInOrder(const std::vector<Seen>& v, bool consecutive) {
    int lateRuns = 0;
    for (std::size_t i = 1; i < v.size(); ++i) {
      SCOPED_TRACE(v[i].payload);
      if (consecutive)
        EXPECT_EQ(v[i].value, v[i - 1].value + 1) << "lost or doubled after " << v[i - 1].payload;
      else
        EXPECT_GT(v[i].value, v[i - 1].value) << "doubled or out of order after " << v[i - 1].payload;
      EXPECT_GE(v[i].ts, v[i - 1].ts) << "time stamps out of order";
      if (v[i].late && !v[i - 1].late) ++lateRuns;
    }
    EXPECT_EQ(lateRuns, 1) << "late values must come as one run, then the live ones";
  }
};

TEST_F(GatewayBacklog, OutageDeliversEveryChangeInOrderThenLiveValues) {
  Broker own(dir_);
  own.set_persistent();
  ASSERT_TRUE(own.Start()) << own.failure();
  const int metricsPort = FreePort();
  StartCounting(own, metricsPort);
  Subscriber sub(own.port(), "outage-subscriber", T("1/word/100"));
  ASSERT_TRUE(sub.connected());
  ASSERT_TRUE(sub.WaitForMore(0)) << Log();
  ASSERT_TRUE(sub.WaitForMore(1)) << Log();

  sub.Leave();
  const std::size_t before = sub.Values().size();
  own.Stop();
  const double held = WaitForBacklog(metricsPort, 30);
  ASSERT_GE(held, 30) << Log();
  ASSERT_TRUE(own.Start()) << own.failure();
  sub.Return();
  ASSERT_TRUE(WaitForLive(sub, 10)) << Story(sub);

  const std::vector<Seen> v = sub.Values();
  ExpectOnceInOrder(v, true);
  std::size_t late = 0, firstLive = 0;
  for (std::size_t i = before; i < v.size(); ++i) {
    if (v[i].late) {
      ++late;
      EXPECT_LT(v[i].ts, v.back().ts) << "a late value keeps its own time stamp";
    } else if (late > 0 && firstLive == 0) {
      firstLive = i;
    }
  }
  ASSERT_GT(firstLive, before) << Story(sub);
  const long made = v[firstLive].value - v[before - 1].value - 1;
  const long delivered = static_cast<long>(firstLive - before);
  EXPECT_EQ(delivered, made);
  EXPECT_GE(late, 25u);
  std::printf("broker outage: %ld changes made while away, %ld delivered after it (%zu late), "
              "%zu live after them, order kept: %s; %.0f messages waited when the broker came back\n",
              made, delivered, late, v.size() - firstLive,
              ::testing::Test::HasFailure() ? "no" : "yes", held);
  EXPECT_EQ(gateway_.Stop(SIGTERM), 0) << Log();
}

// The gateway killed outright while its backlog holds messages and the broker is away, then
// started again: every record the journal held on disk at the kill reaches the subscriber
// once, in order, and nothing reaches it twice.
TEST_F(GatewayBacklog, KilledGatewayLosesAndDoublesNothingOfItsJournal) {
  Broker own(dir_);
  own.set_persistent();
  ASSERT_TRUE(own.Start()) << own.failure();
  StartCounting(own, FreePort());
  const std::string topic = T("1/word/100");
  Subscriber sub(own.port(), "killed-subscriber", topic);
  ASSERT_TRUE(sub.connected());
  ASSERT_TRUE(sub.WaitForMore(0)) << Log();

  sub.Leave();
  own.Stop();
  // (the metrics port of the first run is not reused: a killed listener may leave it taken)
  const int metricsPort = FreePort();
  std::this_thread::sleep_for(2s);  // a backlog builds up
  gateway_.Stop(SIGKILL);

  // What the journal holds on disk at the kill, read from a copy.
  const std::string copy = dir_ + "/journal-at-kill";
  std::filesystem::copy(dir_ + "/backlog", copy);
  std::vector<std::string> held;
  {
    BacklogJournal j;
    std::string error;
    std::vector<std::string> repairs;
    ASSERT_TRUE(j.Open(copy, 4 << 20, error, repairs)) << error;
    std::vector<JournalRecord> records;
    for (std::uint64_t after = j.delivered();; after = records.back().seq) {
      ASSERT_TRUE(j.ReadAfter(after, 100, records, error)) << error;
      if (records.empty()) break;
      for (const JournalRecord& r : records)
        if (r.topic == topic) held.push_back(r.payload);
    }
  }
  ASSERT_GE(held.size(), 10u) << Log();

  StartBackloggingGateway(own, metricsPort);
  ASSERT_GE(WaitForBacklog(metricsPort, static_cast<double>(held.size()) + 10), held.size() + 10.0) << Log();
  ASSERT_TRUE(own.Start()) << own.failure();
  sub.Return();
  ASSERT_TRUE(WaitForLive(sub, 5)) << Story(sub);

  const std::vector<Seen> v = sub.Values();
  ExpectOnceInOrder(v, false);  // the values read and not yet kept at the kill are a gap
  std::size_t at = 0;
  for (const std::string& payload : held) {
    int times = 0;
    for (const Seen& s : v) times += s.payload == payload ? 1 : 0;
    EXPECT_EQ(times, 1) << payload;
    while (at < v.size() && v[at].payload != payload) ++at;
    EXPECT_LT(at, v.size()) << "out of order: " << payload;
  }
  std::printf("killed gateway: %zu values in its journal at the kill, each delivered once and in order\n",
              held.size());
}

}  // namespace
}  // namespace vktgw::test
