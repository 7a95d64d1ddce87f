// Loading, validating and applying the settings file: each case a file and the code it gives.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <string>
#include <unistd.h>

#include "fake_platform.h"
#include "modem/asc_modem_drv.h"
#include "settings/driver_settings.h"

namespace vkt {
namespace {

namespace fs = std::filesystem;

// A scratch directory of its own for each test, removed afterwards.
class SettingsFiles : public testing::Test {
 protected:
  void SetUp() override {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "-" + info->name();
    for (char& c : name)
      if (c == '/') c = '_';
    Dir_ = fs::temp_directory_path() / ("vkt-settings-" + std::to_string(::getpid()) + "-" + name);
    fs::create_directories(Dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(Dir_, ec);
  }
  std::string Write(const std::string& content, const char* name = "VktJX.Cfg") {
    const fs::path p = Dir_ / name;
    std::ofstream(p, std::ios::binary) << content;
    return p.string();
  }
  ResultCode Load(const std::string& content, TDriverSettings& record) {
    return LoadSettings(Write(content).c_str(), record);
  }

  fs::path Dir_;
};

const std::string kPort = "[PC_PORT_SESSION]\n";
const std::string kServer = "[PC_SERVER_SESSION]\n";
// A modem line that passes every rule: only the key under test is changed.
const std::string kModemOn = kPort + "pcpsModemSuport=1\npcpsModemPort=2\n";

struct LoadCase {
  const char* name;
  std::string file;
  ResultCode expected;
  std::function<void(const TDriverSettings&)> check = nullptr;
};

// ctest lists each case by its name and the code it expects.
void PrintTo(const LoadCase& c, std::ostream* os) { *os << c.name << " -> " << c.expected; }

class LoadCases : public SettingsFiles, public testing::WithParamInterface<LoadCase> {};

TEST_P(LoadCases, GivesCodeAndFields) {
  TDriverSettings record;
  EXPECT_EQ(Load(GetParam().file, record), GetParam().expected);
  if (GetParam().check) GetParam().check(record);
}

std::string Repeat(char c, int n) { return std::string(static_cast<std::size_t>(n), c); }

INSTANTIATE_TEST_SUITE_P(
    File, LoadCases,
    testing::Values(
        LoadCase{"OnlyPortKeyGivesDefaults", kPort + "pcpsPort=2\n", kOk,
                 [](const TDriverSettings& s) {
                   TDriverSettings expected = DefaultSettings();
                   expected.pcpsPort = 2;
                   EXPECT_EQ(s, expected);
                   EXPECT_EQ(s.pcpsBaud, 9600);
                   EXPECT_EQ(s.pcpsVktComRetry, 3);
                   EXPECT_EQ(s.pcpsVktRespTmo, 500);
                   EXPECT_FALSE(s.pcpsModemSuport || s.pcpsRS485Suport || s.pcpsDataRadioSuport);
                 }},
        LoadCase{"OnlyServerSection", kServer + "M_SERVER_PORT=5\n", kNoPortSection},
        LoadCase{"PortSectionWithoutKeys", kPort + "; nothing\n" + kServer + "M_SERVER_PORT=5\n",
                 kNoPortSection},
        LoadCase{"EmptyFile", "", kNoPortSection},
        LoadCase{"MissingSectionBeatsTooLong",
                 kServer + "M_VKT_SERVER_CLASS=" + Repeat('c', 21) + "\n", kNoPortSection},
        LoadCase{"LowerCaseNames", "[pc_port_session]\npcpsbaud=19200\n", kOk,
                 [](const TDriverSettings& s) { EXPECT_EQ(s.pcpsBaud, 19200); }},
        LoadCase{"HexBaud", kPort + "pcpsBaud=0x2580\n", kOk,
                 [](const TDriverSettings& s) { EXPECT_EQ(s.pcpsBaud, 9600); }},
        LoadCase{"EmptyBaudIsDefault", kPort + "pcpsBaud=\n", kOk,
                 [](const TDriverSettings& s) { EXPECT_EQ(s.pcpsBaud, 9600); }},
        LoadCase{"PortKeepsLow8Bits", kPort + "pcpsPort=257\n", kOk,
                 [](const TDriverSettings& s) { EXPECT_EQ(s.pcpsPort, 1); }},
        LoadCase{"PortLow8BitsNegative", kPort + "pcpsPort=255\n", kBadPort,
                 [](const TDriverSettings& s) { EXPECT_EQ(s.pcpsPort, -1); }},
        LoadCase{"WordTrueIsFalse", kPort + "pcpsModemSuport=true\n", kOk,
                 [](const TDriverSettings& s) { EXPECT_FALSE(s.pcpsModemSuport); }},
        LoadCase{"OneIsTrue", kModemOn, kOk,
                 [](const TDriverSettings& s) { EXPECT_TRUE(s.pcpsModemSuport); }},
        LoadCase{"FiveIsTrue", kPort + "pcpsModemSuport=5\npcpsModemPort=1\n", kOk,
                 [](const TDriverSettings& s) { EXPECT_TRUE(s.pcpsModemSuport); }},
        LoadCase{"QuotedText", kPort + "pcpsModemDialString=\" ATDT \"\n", kOk,
                 [](const TDriverSettings& s) { EXPECT_STREQ(s.pcpsModemDialString, " ATDT "); }},
        LoadCase{"InitString31FailsButReadingGoesOn",
                 kPort + "pcpsModemInitString=" + Repeat('i', 31) +
                     "\npcpsModemDialString=ATDP\n",
                 kTextTooLong,
                 [](const TDriverSettings& s) {
                   EXPECT_STREQ(s.pcpsModemInitString, "");
                   EXPECT_STREQ(s.pcpsModemDialString, "ATDP");
                 }},
        LoadCase{"InitString30Fits", kPort + "pcpsModemInitString=" + Repeat('i', 30) + "\n", kOk,
                 [](const TDriverSettings& s) { EXPECT_EQ(std::strlen(s.pcpsModemInitString), 30u); }},
        LoadCase{"ModemString11", kPort + "pcpsModemExitString=" + Repeat('+', 11) + "\n",
                 kTextTooLong},
        LoadCase{"Phone31", kPort + "pcpsPhone=" + Repeat('5', 31) + "\n", kTextTooLong,
                 [](const TDriverSettings& s) { EXPECT_STREQ(s.pcpsPhone, ""); }},
        LoadCase{"Phone30", kPort + "pcpsPhone=" + Repeat('5', 30) + "\n", kOk,
                 [](const TDriverSettings& s) { EXPECT_EQ(std::strlen(s.pcpsPhone), 30u); }},
        LoadCase{"TooLongDoesNotValidate",
                 kPort + "pcpsBaud=600\n" + kServer + "M_SERVER_IPADD=" +
                     Repeat('1', 31) + "\n",
                 kTextTooLong},
        LoadCase{"ServerFile61Fails", kPort + "pcpsPort=1\n" + kServer + "M_VKT_SERVER_FILE=" +
                     Repeat('f', 61) + "\n",
                 kTextTooLong},
        LoadCase{"ServerFile250Fails", kPort + "pcpsPort=1\n" + kServer + "M_VKT_SERVER_FILE=" +
                     Repeat('f', 250) + "\n",
                 kTextTooLong},
        LoadCase{"ServerFile251Skipped",
                 kPort + "pcpsPort=1\n" + kServer + "M_VKT_SERVER_FILE=" + Repeat('f', 251) + "\n",
                 kOk, [](const TDriverSettings& s) { EXPECT_STREQ(s.M_VKT_SERVER_FILE, ""); }},
        LoadCase{"ServerHostName80Fits",
                 kPort + "pcpsPort=1\n" + kServer + "M_SERVER_HOST_NAME=" + Repeat('h', 80) + "\n",
                 kOk},
        LoadCase{"EmptyCheckStringIsNotDefault", kModemOn + "pcpsModemCheckString=\n",
                 kEmptyModemCommand,
                 [](const TDriverSettings& s) { EXPECT_STREQ(s.pcpsModemCheckString, ""); }},
        LoadCase{"PortKeyInServerSectionIgnored",
                 kPort + "pcpsPort=1\n" + kServer + "pcpsBaud=600\n", kOk}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SettingsFiles, MissingFileLeavesRecordUntouched) {
  TDriverSettings record = DefaultSettings();
  record.pcpsBaud = 4800;
  const TDriverSettings before = record;
  EXPECT_EQ(LoadSettings((Dir_ / "absent.cfg").string().c_str(), record), kNoSettingsFile);
  EXPECT_EQ(LoadSettings(Dir_.string().c_str(), record), kNoSettingsFile);  // a directory
  EXPECT_EQ(LoadSettings("", record), kNoSettingsFile);
  EXPECT_EQ(LoadSettings(nullptr, record), kNoSettingsFile);
  EXPECT_EQ(record, before);
}

TEST_F(SettingsFiles, BareNameIsFoundInCurrentDirectory) {
  Write(kPort + "pcpsBaud=38400\n", kSettingsFileName);
  const fs::path previous = fs::current_path();
  fs::current_path(Dir_);
  TDriverSettings record;
  const ResultCode rc = LoadSettings(kSettingsFileName, record);
  fs::current_path(previous);
  EXPECT_EQ(rc, kOk);
  EXPECT_EQ(record.pcpsBaud, 38400);
}

TEST_F(SettingsFiles, JunkFilesLoadWithoutCrash) {
  std::string junk;
  for (int i = 0; i < 100000; ++i) junk += static_cast<char>((i * 131 + 7) & 0xFF);
  TDriverSettings record;
  EXPECT_EQ(Load(junk, record), kNoPortSection);
  EXPECT_EQ(Load("[PC_PORT_SESSION] pcpsPort=2 " + Repeat('z', 100000), record), kNoPortSection);

  std::string many = kPort;
  for (int i = 0; i < 100000; ++i) many += "k" + std::to_string(i) + "=" + std::to_string(i) + "\n";
  many += "pcpsBaud=57600\n";
  EXPECT_EQ(Load(many, record), kOk);
  EXPECT_EQ(record.pcpsBaud, 57600);
}

TEST_F(SettingsFiles, ExampleFileHoldsEveryDefault) {
  const fs::path example = fs::path(__FILE__).parent_path() / "../../examples/VktJX.Cfg";
  ASSERT_TRUE(fs::exists(example)) << example;
  TDriverSettings record;
  EXPECT_EQ(LoadSettings(example.string().c_str(), record), kOk);
  EXPECT_EQ(record, DefaultSettings());

  // Every one of the 41 keys is written out, so none is left to its default by omission.
  std::ifstream in(example);
  int keys = 0;
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] != ';' && line.find('=') != std::string::npos) ++keys;
  EXPECT_EQ(keys, 41);
}

// ---- Validation: one rule broken per case, on the defaults --------------------------------

struct RuleCase {
  const char* name;
  std::function<void(TDriverSettings&)> change;
  ResultCode expected;
};

void PrintTo(const RuleCase& c, std::ostream* os) { *os << c.name << " -> " << c.expected; }

class Rules : public testing::TestWithParam<RuleCase> {};

TEST_P(Rules, FirstFailingRuleDecides) {
  TDriverSettings s = DefaultSettings();
  GetParam().change(s);
  const TDriverSettings before = s;
  EXPECT_EQ(ValidateSettings(s), GetParam().expected);
  EXPECT_EQ(s, before);
}

void ModemOn(TDriverSettings& s) {
  s.pcpsModemSuport = true;
  s.pcpsModemPort = 3;
}

INSTANTIATE_TEST_SUITE_P(
    Validation, Rules,
    testing::Values(
        RuleCase{"Defaults", [](TDriverSettings&) {}, kOk},
        RuleCase{"Port0", [](TDriverSettings& s) { s.pcpsPort = 0; }, kBadPort},
        RuleCase{"Port9", [](TDriverSettings& s) { s.pcpsPort = 9; }, kBadPort},
        RuleCase{"Port8", [](TDriverSettings& s) { s.pcpsPort = 8; }, kOk},
        RuleCase{"Port0AndBaud600FirstRule",
                 [](TDriverSettings& s) { s.pcpsPort = 0; s.pcpsBaud = 600; }, kBadPort},
        RuleCase{"Baud600", [](TDriverSettings& s) { s.pcpsBaud = 600; }, kBadBaud},
        RuleCase{"Baud115200", [](TDriverSettings& s) { s.pcpsBaud = 115200; }, kOk},
        RuleCase{"Baud300", [](TDriverSettings& s) { s.pcpsBaud = 300; }, kOk},
        RuleCase{"Baud0", [](TDriverSettings& s) { s.pcpsBaud = 0; }, kBadBaud},
        RuleCase{"ParityMinus1", [](TDriverSettings& s) { s.pcpsParity = -1; }, kBadParity},
        RuleCase{"Parity5", [](TDriverSettings& s) { s.pcpsParity = 5; }, kBadParity},
        RuleCase{"Parity4", [](TDriverSettings& s) { s.pcpsParity = 4; }, kOk},
        RuleCase{"StopBits0", [](TDriverSettings& s) { s.pcpsStopBits = 0; }, kBadStopBits},
        RuleCase{"StopBits2", [](TDriverSettings& s) { s.pcpsStopBits = 2; }, kOk},
        RuleCase{"DataBits4", [](TDriverSettings& s) { s.pcpsDataBits = 4; }, kBadDataBits},
        RuleCase{"DataBits9", [](TDriverSettings& s) { s.pcpsDataBits = 9; }, kBadDataBits},
        RuleCase{"DataBits5", [](TDriverSettings& s) { s.pcpsDataBits = 5; }, kOk},
        RuleCase{"ModemPortIgnoredWhenModemOff", [](TDriverSettings& s) { s.pcpsModemPort = 0; },
                 kOk},
        RuleCase{"ModemPort0", [](TDriverSettings& s) { ModemOn(s); s.pcpsModemPort = 0; },
                 kBadModemPort},
        RuleCase{"ModemPort9", [](TDriverSettings& s) { ModemOn(s); s.pcpsModemPort = 9; },
                 kBadModemPort},
        RuleCase{"ModemNoPhoneNoAutoConnect", [](TDriverSettings& s) { ModemOn(s); }, kOk},
        RuleCase{"ModemNoPhoneAutoConnect",
                 [](TDriverSettings& s) { ModemOn(s); s.pcpsAutoConnect = true; }, kNoPhoneNumber},
        RuleCase{"ModemPhoneAutoConnect",
                 [](TDriverSettings& s) {
                   ModemOn(s);
                   s.pcpsAutoConnect = true;
                   std::strcpy(s.pcpsPhone, "5551234");
                 },
                 kOk},
        RuleCase{"AutoConnectWithoutModem", [](TDriverSettings& s) { s.pcpsAutoConnect = true; },
                 kOk},
        RuleCase{"Rs485ExtraBytes11EvenWhenOff",
                 [](TDriverSettings& s) { s.pcpsRS485ExtraBytes = 11; }, kBadExtraBytes},
        RuleCase{"RadioExtraBytesMinus1", [](TDriverSettings& s) { s.pcpsRadioExtraBytes = -1; },
                 kBadExtraBytes},
        RuleCase{"ExtraBytes10", [](TDriverSettings& s) { s.pcpsRadioExtraBytes = 10; }, kOk},
        RuleCase{"RadioRtsExt201", [](TDriverSettings& s) { s.pcpsRadioRTSExtTime = 201; },
                 kBadRtsExtTime},
        RuleCase{"Rs485RtsExtMinus1", [](TDriverSettings& s) { s.pcpsRS485RTSExtTime = -1; },
                 kBadRtsExtTime},
        RuleCase{"RtsExt200", [](TDriverSettings& s) { s.pcpsRS485RTSExtTime = 200; }, kOk},
        RuleCase{"RadioCarrierOff201",
                 [](TDriverSettings& s) { s.pcpsRadioRemCarrierOffTime = 201; }, kBadRemOffTime},
        RuleCase{"Rs485RtsOffMinus1", [](TDriverSettings& s) { s.pcpsRS485RemRtsOffTime = -1; },
                 kBadRemOffTime},
        RuleCase{"FailFrames4", [](TDriverSettings& s) { s.pcpsFailFramesToReset = 4; },
                 kBadFailFramesToReset},
        RuleCase{"FailFrames5", [](TDriverSettings& s) { s.pcpsFailFramesToReset = 5; }, kOk},
        RuleCase{"ServerWithoutPort", [](TDriverSettings& s) { s.M_USE_VKT_SERVER = true; },
                 kNoServerPort},
        RuleCase{"ServerPortWithoutFile",
                 [](TDriverSettings& s) { s.M_USE_VKT_SERVER = true; s.M_SERVER_PORT = 7000; }, kOk},
        RuleCase{"ServerFileWithoutClass",
                 [](TDriverSettings& s) {
                   s.M_USE_VKT_SERVER = true;
                   s.M_SERVER_PORT = 7000;
                   std::strcpy(s.M_VKT_SERVER_FILE, "srv.exe");
                 },
                 kNoServerClass},
        RuleCase{"ServerFileWithoutName",
                 [](TDriverSettings& s) {
                   s.M_USE_VKT_SERVER = true;
                   s.M_SERVER_PORT = 7000;
                   std::strcpy(s.M_VKT_SERVER_FILE, "srv.exe");
                   std::strcpy(s.M_VKT_SERVER_CLASS, "cls");
                 },
                 kNoServerName},
        RuleCase{"ServerChecksOff", [](TDriverSettings& s) { std::strcpy(s.M_VKT_SERVER_FILE, "f"); },
                 kOk},
        RuleCase{"ModemEmptyAnswerString",
                 [](TDriverSettings& s) { ModemOn(s); s.pcpsModemAnswerString[0] = '\0'; },
                 kEmptyModemCommand},
        RuleCase{"ModemEmptyInitString",
                 [](TDriverSettings& s) { ModemOn(s); s.pcpsModemInitString[0] = '\0'; },
                 kEmptyModemCommand},
        RuleCase{"ModemOffAllStringsEmpty",
                 [](TDriverSettings& s) {
                   for (char* t : {s.pcpsModemCheckString, s.pcpsModemResetString,
                                   s.pcpsModemInitString, s.pcpsModemDialString,
                                   s.pcpsModemExitString, s.pcpsModemHangupString,
                                   s.pcpsModemAnswerString})
                     t[0] = '\0';
                 },
                 kOk},
        RuleCase{"PortRuleHoldsInModemMode",
                 [](TDriverSettings& s) { ModemOn(s); s.pcpsPort = 0; }, kBadPort}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Application -----------------------------------------------------------------------------

TEST(ApplySettings, PushesSerialValuesAndOpensTheModemPortInModemMode) {
  test::FakePlatform fake;
  TAscModemDrv drv(nullptr, &fake);
  TDriverSettings s = DefaultSettings();
  s.pcpsPort = 1;
  s.pcpsBaud = 19200;
  s.pcpsParity = 2;
  s.pcpsStopBits = 2;
  s.pcpsDataBits = 7;
  s.pcpsRS485Suport = true;
  s.pcpsDataRadioSuport = true;
  ModemOn(s);  // modem on COM3
  drv.ApplySettings(s);
  EXPECT_EQ(drv.Settings, s);
  EXPECT_EQ(drv.PortNumber(), 3);
  EXPECT_EQ(drv.BaudRate(), 19200);
  EXPECT_EQ(drv.Parity(), 2);
  EXPECT_EQ(drv.StopBits(), 2);
  EXPECT_EQ(drv.DataBits(), 7);
  EXPECT_TRUE(drv.Rs485Mode());
  EXPECT_TRUE(drv.ModemMode());
  EXPECT_TRUE(drv.RadioMode());

  drv.SetActive(true);
  EXPECT_TRUE(drv.Active());
  EXPECT_TRUE(fake.IsOpen(3));
  EXPECT_FALSE(fake.IsOpen(1));
  EXPECT_EQ(drv.ModemState(), msIdle);  // no auto connect: nothing dialled
  EXPECT_TRUE(fake.Writes().empty());
}

TEST(ApplySettings, WhileActiveMovesTheOpenPort) {
  test::FakePlatform fake;
  TAscModemDrv drv(nullptr, &fake);
  TDriverSettings s = DefaultSettings();
  drv.ApplySettings(s);
  drv.SetActive(true);
  ASSERT_TRUE(fake.IsOpen(1));
  s.pcpsPort = 4;
  drv.ApplySettings(s);
  EXPECT_TRUE(drv.Active());
  EXPECT_TRUE(fake.IsOpen(4));
  EXPECT_FALSE(fake.IsOpen(1));
}

}  // namespace
}  // namespace vkt
