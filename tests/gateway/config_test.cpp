// The configuration reader: what a good file yields, and every problem of a bad one with its
// place, since --check-config is how an operator finds them.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "config.h"

namespace vktgw {
namespace {

const char kGood[] = R"([line]
dir  = "line1"
port = "COM2=/dev/ttyUSB0"

[mqtt]
url       = "mqtt://10.0.0.5:1884"
client_id = "gw1"
prefix    = "vkt/line1"
qos       = 2

[demotion]
after_failures = 4
period_ms      = 500
max_period_ms  = 8000

[backlog]
dir    = "backlog"
max_mb = 5

[[poll]]
name        = "boiler"
station     = 7
kind        = "word"
address     = 100
count       = 10
interval_ms = 250
deadband    = 0.5
max_silence_s = 60

[[poll]]
name    = "flags"
station = 8
kind    = "bit"
address = 0
)";

TEST(GatewayConfig, GoodFileYieldsEveryKey) {
  GatewayConfig c;
  std::vector<ConfigProblem> problems;
  ASSERT_TRUE(ParseConfig(kGood, "/etc/vktgw", c, problems)) << problems.front().message;
  EXPECT_EQ(c.dir, "/etc/vktgw/line1");
  EXPECT_EQ(c.portNumber, 2);
  EXPECT_EQ(c.portDevice, "/dev/ttyUSB0");
  EXPECT_EQ(c.host, "10.0.0.5");
  EXPECT_EQ(c.port, 1884);
  EXPECT_EQ(c.clientId, "gw1");
  EXPECT_EQ(c.qos, 2);
  EXPECT_EQ(c.demotion.afterFailures, 4);
  EXPECT_EQ(c.demotion.periodMs, 500);
  EXPECT_EQ(c.demotion.maxPeriodMs, 8000);
  EXPECT_EQ(c.backlogDir, "/etc/vktgw/backlog");
  EXPECT_EQ(c.backlogMaxMb, 5);
  ASSERT_EQ(c.polls.size(), 2u);
  const PollGroup& p = c.polls[0];
  EXPECT_EQ(p.station, 7);
  EXPECT_EQ(p.kind, Kind::kWord);
  EXPECT_EQ(p.address, 100);
  EXPECT_EQ(p.count, 10);
  EXPECT_EQ(p.intervalMs, 250);
  EXPECT_EQ(p.deadband, 0.5);
  EXPECT_EQ(p.maxSilenceMs, 60000);
  // defaults
  EXPECT_EQ(c.polls[1].count, 1);
  EXPECT_EQ(c.polls[1].intervalMs, 1000);
  EXPECT_EQ(c.polls[1].deadband, 0);
  EXPECT_EQ(c.polls[1].maxSilenceMs, 0);
}

TEST(GatewayConfig, DefaultsWithoutOptionalTables) {
  GatewayConfig c;
  std::vector<ConfigProblem> problems;
  ASSERT_TRUE(ParseConfig("[line]\ndir = \"/d\"\n[mqtt]\nurl = \"mqtt://h\"\nprefix = \"a/b\"\n"
                          "[[poll]]\nname = \"x\"\nstation = 1\nkind = \"float\"\naddress = 3\n",
                          "/", c, problems));
  EXPECT_EQ(c.port, 1883);
  EXPECT_EQ(c.qos, 1);
  EXPECT_EQ(c.clientId, "vktgw-a-b");
  EXPECT_EQ(c.demotion.afterFailures, 3);
  EXPECT_EQ(c.demotion.periodMs, 10000);
  EXPECT_EQ(c.demotion.maxPeriodMs, 300000);
  EXPECT_EQ(c.backlogDir, "") << "no backlog unless asked for";
  EXPECT_EQ(c.backlogMaxMb, 64);
}

// Each problem is reported at the line and column of the offending key or value, all of
// them in one pass.
TEST(GatewayConfig, EveryProblemWithItsPlace) {
  const char text[] = R"([line]
dir = "/d"
prot = "COM1=/dev/x"
[mqtt]
url = "mqtts://h"
prefix = "a/#"
qos = 3
[demotion]
period_ms = 1000
max_period_ms = 10
[[poll]]
name = "a"
station = 256
kind = "dword"
address = 1
[[poll]]
name = "a"
station = 1
kind = "float"
address = 65500
count = 100
interval_ms = 0
deadband = -1
colour = "red"
)";
  GatewayConfig c;
  std::vector<ConfigProblem> problems;
  EXPECT_FALSE(ParseConfig(text, "/", c, problems));
  struct Expected {
    int line, column;
    const char* words;
  };
  const Expected expected[] = {
      {3, 1, "unknown key \"prot\""},
      {5, 7, "needs ca_file"},
      {6, 10, "prefix"},
      {7, 7, "qos = 3 is outside 0..2"},
      {10, 17, "max_period_ms"},
      {13, 11, "station = 256"},
      {14, 8, "kind"},
      {17, 8, "comes earlier"},
      {21, 9, "past address 65535"},
      {22, 15, "interval_ms = 0"},
      {23, 12, "deadband"},
      {24, 1, "unknown key \"colour\""},
  };
  ASSERT_EQ(problems.size(), std::size(expected));
  for (std::size_t i = 0; i < problems.size(); ++i) {
    SCOPED_TRACE(problems[i].message);
    EXPECT_EQ(problems[i].line, expected[i].line);
    EXPECT_EQ(problems[i].column, expected[i].column);
    EXPECT_NE(problems[i].message.find(expected[i].words), std::string::npos);
  }
}

TEST(GatewayConfig, StructuralProblems) {
  struct Case {
    const char* name;
    const char* text;
    int line;
    const char* words;
  };
  const Case cases[] = {
      {"toml syntax", "[line]\ndir = \"/d\n", 2, ""},
      {"missing tables", "", 0, "[line] is missing"},
      {"missing required key", "[line]\n[mqtt]\nurl=\"mqtt://h\"\nprefix=\"p\"\n[[poll]]\nname=\"a\"\nstation=1\nkind=\"bit\"\naddress=0\n", 1, "needs the key \"dir\""},
      {"unknown table", "[line]\ndir=\"/d\"\n[mqtt]\nurl=\"mqtt://h\"\nprefix=\"p\"\n[extra]\n[[poll]]\nname=\"a\"\nstation=1\nkind=\"bit\"\naddress=0\n", 6, "unknown table"},
      {"no poll", "[line]\ndir=\"/d\"\n[mqtt]\nurl=\"mqtt://h\"\nprefix=\"p\"\n", 0, "no [[poll]]"},
      {"empty poll array", "poll = []\n[line]\ndir=\"/d\"\n[mqtt]\nurl=\"mqtt://h\"\nprefix=\"p\"\n", 1, "array of tables"},
      {"word count past the block", "[line]\ndir=\"/d\"\n[mqtt]\nurl=\"mqtt://h\"\nprefix=\"p\"\n[[poll]]\nname=\"a\"\nstation=1\nkind=\"word\"\naddress=0\ncount=501\n", 11, "outside 1..500"},
      {"wrong type", "[line]\ndir=7\n[mqtt]\nurl=\"mqtt://h\"\nprefix=\"p\"\n[[poll]]\nname=\"a\"\nstation=1\nkind=\"bit\"\naddress=0\n", 2, "must be a string"},
      {"bad port override", "[line]\ndir=\"/d\"\nport=\"COM9=/dev/x\"\n[mqtt]\nurl=\"mqtt://h\"\nprefix=\"p\"\n[[poll]]\nname=\"a\"\nstation=1\nkind=\"bit\"\naddress=0\n", 3, "COMn=DEVICE"},
      {"backlog without a dir", "[line]\ndir=\"/d\"\n[mqtt]\nurl=\"mqtt://h\"\nprefix=\"p\"\n[backlog]\nmax_mb=0\n[[poll]]\nname=\"a\"\nstation=1\nkind=\"bit\"\naddress=0\n", 6, "needs the key \"dir\""},
      {"backlog of no size", "[line]\ndir=\"/d\"\n[mqtt]\nurl=\"mqtt://h\"\nprefix=\"p\"\n[backlog]\ndir=\"b\"\nmax_mb=0\n[[poll]]\nname=\"a\"\nstation=1\nkind=\"bit\"\naddress=0\n", 8, "max_mb = 0 is outside"},
      {"bad url port", "[line]\ndir=\"/d\"\n[mqtt]\nurl=\"mqtt://h:99999\"\nprefix=\"p\"\n[[poll]]\nname=\"a\"\nstation=1\nkind=\"bit\"\naddress=0\n", 4, "port"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    GatewayConfig c;
    std::vector<ConfigProblem> problems;
    EXPECT_FALSE(ParseConfig(k.text, "/", c, problems));
    ASSERT_FALSE(problems.empty());
    EXPECT_EQ(problems[0].line, k.line) << problems[0].message;
    EXPECT_NE(problems[0].message.find(k.words), std::string::npos) << problems[0].message;
  }
}

// mqtts:// with its files, taken from the TOML file's directory, and the password from the
// first line of its file; every misuse of the keys at its place.
TEST(GatewayConfig, TlsAndCredentials) {
  char tmpl[] = "/tmp/vktgw_cfg_XXXXXX";
  const std::string d = mkdtemp(tmpl);
  for (const char* f : {"ca.pem", "c.pem", "k.pem"}) std::ofstream(d + "/" + f) << "x\n";
  std::ofstream(d + "/pw") << "s3cret\r\nsecond line\n";
  const std::string head = "[line]\ndir=\"/d\"\n[[poll]]\nname=\"a\"\nstation=1\nkind=\"bit\"\naddress=0\n[mqtt]\nprefix=\"p\"\n";
  {
    GatewayConfig c;
    std::vector<ConfigProblem> problems;
    ASSERT_TRUE(ParseConfig(head + "url=\"mqtts://h\"\nca_file=\"ca.pem\"\ncert_file=\"" + d +
                                "/c.pem\"\nkey_file=\"k.pem\"\nusername=\"gw\"\npassword_file=\"pw\"\n",
                            d, c, problems))
        << problems.front().message;
    EXPECT_TRUE(c.tls);
    EXPECT_EQ(c.port, 8883);
    EXPECT_EQ(c.caFile, d + "/ca.pem");
    EXPECT_EQ(c.certFile, d + "/c.pem");
    EXPECT_EQ(c.keyFile, d + "/k.pem");
    EXPECT_EQ(c.username, "gw");
    EXPECT_EQ(c.password, "s3cret");
  }
  struct Case {
    const char* name;
    const char* keys;
    int line, column;
    const char* words;
  };
  const Case cases[] = {
      {"no ca_file", "url=\"mqtts://h:9\"\n", 10, 5, "needs ca_file"},
      {"missing ca file", "url=\"mqtts://h\"\nca_file=\"none.pem\"\n", 11, 9, "none.pem cannot be read"},
      {"cert without key", "url=\"mqtts://h\"\nca_file=\"ca.pem\"\ncert_file=\"c.pem\"\n", 12, 11, "give both or neither"},
      {"key without cert", "url=\"mqtts://h\"\nca_file=\"ca.pem\"\nkey_file=\"k.pem\"\n", 12, 10, "give both or neither"},
      {"tls file on plain url", "url=\"mqtt://h\"\nca_file=\"ca.pem\"\n", 11, 9, "needs an mqtts:// url"},
      {"password without user", "url=\"mqtt://h\"\npassword_file=\"pw\"\n", 11, 15, "needs username"},
      {"missing password file", "url=\"mqtt://h\"\nusername=\"u\"\npassword_file=\"nope\"\n", 12, 15, "cannot be read"},
      {"empty username", "url=\"mqtt://h\"\nusername=\"\"\n", 11, 10, "must not be empty"},
      {"other scheme", "url=\"ws://h\"\n", 10, 5, "mqtt:// or mqtts://"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    GatewayConfig c;
    std::vector<ConfigProblem> problems;
    EXPECT_FALSE(ParseConfig(head + k.keys, d, c, problems));
    ASSERT_EQ(problems.size(), 1u) << problems[0].message;
    EXPECT_EQ(problems[0].line, k.line) << problems[0].message;
    EXPECT_EQ(problems[0].column, k.column) << problems[0].message;
    EXPECT_NE(problems[0].message.find(k.words), std::string::npos) << problems[0].message;
    EXPECT_EQ(problems[0].message.find("s3cret"), std::string::npos);
  }
  std::filesystem::remove_all(d);
}

TEST(GatewayConfig, ProblemText) {
  EXPECT_EQ(FormatProblem("gw.toml", {3, 5, "bad"}), "gw.toml:3:5: bad");
  EXPECT_EQ(FormatProblem("gw.toml", {0, 0, "bad"}), "gw.toml: bad");
}

}  // namespace
}  // namespace vktgw
