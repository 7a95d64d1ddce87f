// vkt_inicheck: reads a table of settings files with the driver's own INI reader (TIniFile) and
// with Windows' private-profile functions, and reports every answer on which the two differ.
//
//   vkt_inicheck [-v]
//
// The driver reads its settings file by the rules of the platform's private-profile reading, so
// on Windows (or under Wine) that reading is the reference: for each file of the table, every key
// asked for must give the same text from both readers, a key that is absent must give the
// caller's default from both, and both must agree on whether a section holds any key. Integers
// are not compared: the driver reads their text and converts it itself.
//
// Each file is written under its own name in the temporary directory, because the system keeps
// the last profiles it read in a cache keyed by name. Exit status: 0 when every case agrees,
// 1 when any differs, 2 when a file cannot be written.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "settings/ini_file.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

// The driver reads text values into a buffer of this size, so this is what the platform is
// asked with too: at most 2047 characters and the NUL.
constexpr DWORD kValueBuffer = vkt::TIniFile::kMaxValueLength + 1;
constexpr const char* kDefault = "<default>";

struct Query {
  const char* section;
  const char* key;
};

struct Case {
  const char* name;
  std::string text;           // the file's bytes
  std::vector<Query> keys;    // keys whose text both readers must agree on
  std::vector<const char*> sections;  // sections whose "holds a key" answer must agree
};

std::string Repeat(char c, std::size_t n) { return std::string(n, c); }

std::vector<Case> Cases() {
  const char* P = "PC_PORT_SESSION";
  const char* S = "PC_SERVER_SESSION";
  std::vector<Case> cases = {
      {"plain keys, CRLF",
       "[PC_PORT_SESSION]\r\npcpsPort=2\r\npcpsBaud=19200\r\n[PC_SERVER_SESSION]\r\n"
       "M_SERVER_PORT=502\r\n",
       {{P, "pcpsPort"}, {P, "pcpsBaud"}, {S, "M_SERVER_PORT"}, {P, "M_SERVER_PORT"}},
       {P, S}},
      {"names in any letter case",
       "[pc_port_session]\npcpsbaud=19200\nPCPSPARITY=2\n[Pc_Server_Session]\nm_server_tmo=7\n",
       {{P, "pcpsBaud"}, {"PC_Port_Session", "PcPsBaUd"}, {P, "pcpsParity"},
        {S, "M_SERVER_TMO"}, {"pc_server_session", "m_server_tmo"}},
       {P, S, "pc_port_session"}},
      {"absent against present but empty",
       "[PC_PORT_SESSION]\npcpsModemCheckString=\npcpsBaud=   \npcpsPhone\n",
       {{P, "pcpsModemCheckString"}, {P, "pcpsBaud"}, {P, "pcpsPhone"}, {P, "pcpsParity"}},
       {P}},
      {"blanks around names and values",
       "[PC_PORT_SESSION]\n   pcpsPort   =   3   \n\tpcpsBaud\t=\t4800\t\n"
       "pcpsPhone = 0 12 34 \n  [PC_SERVER_SESSION]  \nM_SERVER_HOST_NAME= host name \n",
       {{P, "pcpsPort"}, {P, "pcpsBaud"}, {P, "pcpsPhone"}, {S, "M_SERVER_HOST_NAME"}},
       {P, S}},
      {"blanks inside the section head",
       "[ PC_PORT_SESSION ]\npcpsPort=4\n[PC_SERVER_SESSION ]\nM_SERVER_PORT=1\n",
       {{P, "pcpsPort"}, {S, "M_SERVER_PORT"}},
       {P, S}},
      {"enclosing quotes",
       "[PC_PORT_SESSION]\n"
       "q1=\"ATZ\"\nq2='ATZ'\nq3=\"ATZ'\nq4=\"\nq5=\"\"\nq6=  \" padded \"  \n"
       "q7=\"a\"b\"\nq8=say \"hi\"\nq9='\nq10=''\n",
       {{P, "q1"}, {P, "q2"}, {P, "q3"}, {P, "q4"}, {P, "q5"}, {P, "q6"}, {P, "q7"},
        {P, "q8"}, {P, "q9"}, {P, "q10"}},
       {P}},
      {"equals signs and semicolons in values",
       "[PC_PORT_SESSION]\npcpsModemInitString=AT&C1=2\npcpsPhone=123 ; office\n"
       "pcpsBaud=9600;fast\n",
       {{P, "pcpsModemInitString"}, {P, "pcpsPhone"}, {P, "pcpsBaud"}},
       {P}},
      {"comment lines",
       "; settings of line 1\n[PC_PORT_SESSION]\n;pcpsPort=5\n  ; pcpsBaud=300\npcpsParity=1\n",
       // (The platform still finds a key literally named ";pcpsPort" there; the driver's key names
       // never begin with ";", so that is not asked.)
       {{P, "pcpsPort"}, {P, "pcpsBaud"}, {P, "pcpsParity"}},
       {P}},
      {"section holding only comments",
       "[PC_PORT_SESSION]\n; nothing here yet\n[PC_SERVER_SESSION]\nM_SERVER_PORT=1\n",
       {{P, "pcpsPort"}, {S, "M_SERVER_PORT"}},
       {P, S}},
      {"section holding only a line without equals sign",
       "[PC_PORT_SESSION]\npcpsPort\n[PC_SERVER_SESSION]\nM_SERVER_PORT=1\n",
       {{P, "pcpsPort"}},
       {P, S}},
      {"section given twice",
       "[PC_PORT_SESSION]\npcpsPort=2\n[PC_SERVER_SESSION]\nM_SERVER_PORT=1\n"
       "[PC_PORT_SESSION]\npcpsBaud=19200\npcpsPort=3\n",
       {{P, "pcpsPort"}, {P, "pcpsBaud"}},
       {P, S}},
      {"end-of-file character",
       "[PC_PORT_SESSION]\npcpsPort=2\x1a\n\x1apcpsBaud=4800\n",
       {{P, "pcpsPort"}, {P, "pcpsBaud"}},
       {P}},
      {"section heads with text after them or without the closing bracket",
       "[PC_SERVER_SESSION]\nM_SERVER_PORT=1\n[PC_PORT_SESSION] ; line 1\npcpsPort=2\n"
       "[PC_SERVER_SESSION\nM_SERVER_TMO=9\n",
       {{P, "pcpsPort"}, {S, "M_SERVER_PORT"}, {S, "M_SERVER_TMO"}, {P, "M_SERVER_TMO"}},
       {P, S}},
      {"missing section",
       "[PC_SERVER_SESSION]\nM_USE_VKT_SERVER=0\n",
       {{P, "pcpsPort"}, {P, "pcpsBaud"}, {S, "M_USE_VKT_SERVER"}},
       {P, S}},
      {"empty section head only",
       "[PC_PORT_SESSION]\n[PC_SERVER_SESSION]\n",
       {{P, "pcpsPort"}},
       {P, S}},
      {"keys before any section",
       "pcpsPort=6\n[PC_PORT_SESSION]\npcpsBaud=1200\n",
       {{P, "pcpsPort"}, {P, "pcpsBaud"}},
       {P}},
      {"duplicate keys: the first counts",
       "[PC_PORT_SESSION]\npcpsPort=1\npcpsPort=2\nPCPSPORT=3\n",
       {{P, "pcpsPort"}},
       {P}},
      {"no final line end, CR-only and LF-only lines",
       "[PC_PORT_SESSION]\rpcpsPort=7\rpcpsBaud=2400\npcpsParity=4",
       {{P, "pcpsPort"}, {P, "pcpsBaud"}, {P, "pcpsParity"}},
       {P}},
      {"UTF-8 byte-order mark",
       "\xEF\xBB\xBF[PC_PORT_SESSION]\r\npcpsPort=8\r\n",
       {{P, "pcpsPort"}},
       {P}},
      {"long values",
       "[PC_PORT_SESSION]\n"
       "v30=" + Repeat('1', 30) + "\nv31=" + Repeat('2', 31) + "\nv250=" + Repeat('3', 250) +
           "\nv2047=" + Repeat('4', 2047) + "\nv2048=" + Repeat('5', 2048) +
           "\nv3000=" + Repeat('6', 3000) + "\nq2046=\"" + Repeat('7', 2046) + "\"\n"
           "after=ok\n",
       {{P, "v30"}, {P, "v31"}, {P, "v250"}, {P, "v2047"}, {P, "v2048"}, {P, "v3000"},
        {P, "q2046"}, {P, "after"}},
       {P}},
      {"names with inner blanks and punctuation",
       "[PC_PORT_SESSION]\nmodem port=2\nM_SERVER.IP-ADD=10\n",
       {{P, "modem port"}, {P, "M_SERVER.IP-ADD"}, {P, "modemport"}},
       {P}},
  };
  return cases;
}

// The temporary directory, with a trailing backslash.
std::string TempDirectory() {
  char dir[MAX_PATH + 1];
  const DWORD n = GetTempPathA(sizeof dir, dir);
  if (n == 0 || n > MAX_PATH) return ".\\";
  return std::string(dir, n);
}

bool WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

std::string PlatformString(const std::string& path, const char* section, const char* key) {
  std::vector<char> buffer(kValueBuffer, '\0');
  const DWORD n =
      GetPrivateProfileStringA(section, key, kDefault, buffer.data(), kValueBuffer, path.c_str());
  return std::string(buffer.data(), n);
}

// The platform's view of "section holds at least one key": the list of its key names.
bool PlatformSectionHasKeys(const std::string& path, const char* section) {
  std::vector<char> buffer(32768, '\0');
  const DWORD n = GetPrivateProfileStringA(section, nullptr, "", buffer.data(),
                                           static_cast<DWORD>(buffer.size()), path.c_str());
  return n > 0 && buffer[0] != '\0';
}

// The text in quotes, control characters as \xNN, long texts cut short with their length.
std::string Shown(const std::string& s) {
  std::string out(1, '"');
  const std::size_t shown = s.size() <= 40 ? s.size() : 12;
  for (std::size_t i = 0; i < shown; ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out.append(hex);
    } else {
      out.append(1, static_cast<char>(c));
    }
  }
  if (shown == s.size()) return out.append(1, '"');
  return out.append("...\" (").append(std::to_string(s.size())).append(" characters)");
}

}  // namespace

int main(int argc, char** argv) {
  const bool verbose = argc > 1 && std::strcmp(argv[1], "-v") == 0;
  const std::string dir = TempDirectory();
  int passed = 0, failed = 0;

  const std::vector<Case> cases = Cases();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const std::string path =
        dir + "vkt_inicheck_" + std::to_string(GetCurrentProcessId()) + "_" +
        std::to_string(i) + ".ini";
    if (!WriteFileBytes(path, c.text)) {
      std::printf("cannot write %s\n", path.c_str());
      return 2;
    }
    vkt::TIniFile ours(path);
    std::vector<std::string> differences;
    for (const Query& q : c.keys) {
      const std::string mine = ours.ReadString(q.section, q.key, kDefault);
      const std::string theirs = PlatformString(path, q.section, q.key);
      if (mine != theirs)
        differences.push_back(std::string("[") + q.section + "] " + q.key + ": ours " +
                              Shown(mine) + ", platform " + Shown(theirs));
      else if (verbose)
        std::printf("    [%s] %s = %s\n", q.section, q.key, Shown(mine).c_str());
    }
    for (const char* section : c.sections) {
      const bool mine = ours.SectionHasKeys(section);
      const bool theirs = PlatformSectionHasKeys(path, section);
      if (mine != theirs)
        differences.push_back(std::string("[") + section + "] holds keys: ours " +
                              (mine ? "yes" : "no") + ", platform " + (theirs ? "yes" : "no"));
    }
    DeleteFileA(path.c_str());

    if (differences.empty()) {
      ++passed;
      std::printf("ok   %s\n", c.name);
    } else {
      ++failed;
      std::printf("FAIL %s\n", c.name);
      for (const std::string& d : differences) std::printf("       %s\n", d.c_str());
    }
  }

  // A file that does not exist: every key gives the default, no section holds a key.
  {
    const std::string path = dir + "vkt_inicheck_absent_file.ini";
    DeleteFileA(path.c_str());
    vkt::TIniFile ours(path);
    const bool same = ours.ReadString("PC_PORT_SESSION", "pcpsPort", kDefault) ==
                          PlatformString(path, "PC_PORT_SESSION", "pcpsPort") &&
                      ours.SectionHasKeys("PC_PORT_SESSION") ==
                          PlatformSectionHasKeys(path, "PC_PORT_SESSION");
    ++(same ? passed : failed);
    std::printf("%s missing file\n", same ? "ok  " : "FAIL");
  }

  std::printf("inicheck: %d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
