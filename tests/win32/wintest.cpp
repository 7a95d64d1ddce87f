// vkt_wintest: a Windows host for the end-to-end cases. Like the host runtime, it loads
// VktJX.dll (and the value library ET32B.dll) from its own directory with LoadLibrary, finds the
// twelve exports with GetProcAddress and drives the driver only through them, over a real COM
// port on which the station simulator answers.
//
//   vkt_wintest [--port N]        (COM1 by default)
//
// The simulator on the port must serve stations 1 to 9 with preset memory (vktsim --pattern
// --stations 1-9: bit[a] = a & 1, word[a] = a, float[a] = a + 0.5) and station 1's words 0x10
// and 0x11 preloaded with 0x1234 and 0xABCD, as scripts/wine-test.sh starts it. Station 42 is
// not served: it stays silent. The cases run in order in the current directory, where the host
// writes the settings file VktJX.Cfg; the driver log is c:/VKTJX.log.
//
// Prints one line per case and "wintest: N passed, N failed". Exit status: 0 when every case
// passed, 1 when any failed, 2 when the libraries cannot be loaded.
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "driver_exports.h"
#include "vktjx.h"

namespace {

// The driver's exports and the value library's functions, resolved from their two modules.
vkthost::DriverApi drv;
vkthost::DriverApi& hv = drv;
int comPort = 1;

constexpr const char* kDriverName = "Marvessa ver 2.0.0 (Apr  6 2005 09:13:43)";
constexpr const char* kLogPath = "c:/VKTJX.log";
constexpr std::uint16_t kLogNew = VKTJX_LOG_NEW_FILE, kLogAppend = VKTJX_LOG_APPEND;
constexpr std::uint16_t kBit = VKTJX_KIND_BIT, kWord = VKTJX_KIND_WORD,
                        kFloat = VKTJX_KIND_FLOAT, kRegister = VKTJX_KIND_ERROR_REGISTER;
constexpr std::uint16_t kBitArray = HV_TYPE_ARRAY_U8, kWordArray = HV_TYPE_ARRAY_I16,
                        kFloatArray = HV_TYPE_ARRAY_R32;
constexpr std::int16_t kSilentStation = 42;
constexpr std::int32_t kNoAnswer = 16105, kSettingsFileMissing = 16013, kTooMuchData = 16011,
                       kBadKind = 16012, kBadStation = 16043, kLinkNotReady = 16203;

// Directory of this program, with a trailing backslash: the libraries are installed beside it.
std::string ProgramDirectory() {
  char path[MAX_PATH + 1];
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string dir(path, n);
  const std::size_t slash = dir.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : dir.substr(0, slash + 1);
}

bool LoadLibraries() {
  const std::string dir = ProgramDirectory();
  // The value library comes with the host; the driver's own import of it resolves to the
  // module loaded here.
  const HMODULE values = LoadLibraryA((dir + "ET32B.dll").c_str());
  const HMODULE driver = LoadLibraryA((dir + "VktJX.dll").c_str());
  if (values == nullptr || driver == nullptr) {
    std::printf("cannot load %s from %s (error %lu)\n", values ? "VktJX.dll" : "ET32B.dll",
                dir.c_str(), static_cast<unsigned long>(GetLastError()));
    return false;
  }
  bool ok = true;
  const auto missing = [&ok](const char* name) {
    std::printf("missing export %s\n", name);
    ok = false;
  };
  const auto from = [](HMODULE module) {
    return [module](const char* name) {
      return reinterpret_cast<void*>(GetProcAddress(module, name));
    };
  };
  vkthost::ResolveDriverApi(drv, from(driver), from(values), missing);
  return ok;
}

// ---- checking ------------------------------------------------------------------------------

std::vector<std::string> failures;  // of the running case

void Fail(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  failures.emplace_back(text);
}

#define EXPECT_EQ_INT(actual, expected)                                                   \
  do {                                                                                     \
    const long long a_ = static_cast<long long>(actual);                                   \
    const long long e_ = static_cast<long long>(expected);                                 \
    if (a_ != e_) Fail("line %d: %s is %lld, expected %lld", __LINE__, #actual, a_, e_); \
  } while (0)

// A host value that lives for one case.
struct Value {
  HVALUE h = hv.hvNew();
  ~Value() { hv.hvRelease(h); }
  operator HVALUE() const { return h; }
};

HostTag Tag(std::int16_t station, std::uint16_t kind, std::uint16_t address,
            std::uint16_t count = 1, std::uint16_t offset = 0) {
  HostTag t{};
  t.station = station;
  t.kind = kind;
  t.address = address;
  t.count = count;
  t.writeCount = count;
  t.offset = offset;
  t.size = count;
  return t;
}

// Error register i, read back as the host reads it: a single read of kind 5.
std::int32_t Register(std::uint16_t index) {
  Value v;
  const HostTag t = Tag(1, kRegister, index);
  if (drv.drvReadValue(&t, v) != 1) {
    Fail("reading error register %u failed", index);
    return 0x7FFFFFFF;
  }
  std::int32_t code = 0x7FFFFFFF;
  if (!hv.hvGetI32(v, &code)) Fail("error register %u gave no integer", index);
  return code;
}

bool WriteSettings(const char* extraLines = "") {
  std::FILE* f = std::fopen("VktJX.Cfg", "wb");
  if (f == nullptr) return false;
  std::fprintf(f, "[PC_PORT_SESSION]\r\npcpsPort=%d\r\npcpsBaud=19200\r\n%s", comPort,
               extraLines);
  return std::fclose(f) == 0;
}

std::string ReadWholeFile(const char* path) {
  std::string text;
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return text;
  char chunk[4096];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
  std::fclose(f);
  return text;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    pos = end + 1;
  }
  return lines;
}

// "dd/mm/yyyy hh:mm:ss.mmm " at the start of a log line.
bool HasTimeStamp(const std::string& line) {
  static const char kShape[] = "00/00/0000 00:00:00.000 ";
  if (line.size() < sizeof kShape - 1) return false;
  for (std::size_t i = 0; i + 1 < sizeof kShape; ++i) {
    const bool digit = line[i] >= '0' && line[i] <= '9';
    if (kShape[i] == '0' ? !digit : line[i] != kShape[i]) return false;
  }
  return true;
}

// ---- the cases ------------------------------------------------------------------------------

void IdentityBeforeStart() {
  EXPECT_EQ_INT(drv.drvGetCaps(), 63);
  const char* name = drv.drvGetDriverName();
  if (name == nullptr || std::strcmp(name, kDriverName) != 0)
    Fail("driver name is \"%s\"", name ? name : "(null)");
  EXPECT_EQ_INT(drv.drvSetSettingsHandle(0x1234567), 0x1234567);
  // Not started: a read is refused, and nothing crashes.
  Value v;
  const HostTag t = Tag(1, kWord, 0x10);
  EXPECT_EQ_INT(drv.drvReadValue(&t, v), -1);
}

void StartWithoutSettingsFile() {
  DeleteFileA("VktJX.Cfg");
  EXPECT_EQ_INT(drv.drvStartComm(0, 0, 0, 0), -1);
  EXPECT_EQ_INT(Register(VKTJX_REGISTER_START), kSettingsFileMissing);
  EXPECT_EQ_INT(Register(VKTJX_REGISTER_ANY), kSettingsFileMissing);
  Value v;
  const HostTag t = Tag(1, kWord, 0x10);
  EXPECT_EQ_INT(drv.drvReadValue(&t, v), -1);
  EXPECT_EQ_INT(Register(VKTJX_REGISTER_READ), kLinkNotReady);
  EXPECT_EQ_INT(drv.drvStopComm(0, 0, 0, 0), 1);
}

void Start() {
  DeleteFileA(kLogPath);
  if (!WriteSettings()) Fail("cannot write VktJX.Cfg");
  EXPECT_EQ_INT(drv.drvStartComm(1, 2, 3, kLogNew), 1);
  for (std::uint16_t r = 0; r < VKTJX_REGISTER_COUNT; ++r) EXPECT_EQ_INT(Register(r), 0);
}

// Request 5A 01 03 91 10 00 02 58 FF and response 5A 01 04 00 34 12 CD AB 3C FE; then request
// 5A 05 05 95 10 00 01 34 12 09 FF and response 5A 05 00 00 FA FF (the script finds those bytes
// in the simulator's trace).
void WorkedFrames() {
  Value block;
  const HostTag read = Tag(1, kWord, 0x10, 2);
  EXPECT_EQ_INT(drv.drvReadBlock(&read, block), 1);
  EXPECT_EQ_INT(hv.hvType(block), kWordArray);
  EXPECT_EQ_INT(hv.hvCount(block), 2);
  std::int16_t w0 = 0, w1 = 0;
  hv.hvGetAtI16(block, 0, &w0);
  hv.hvGetAtI16(block, 1, &w1);
  EXPECT_EQ_INT(w0, 0x1234);
  EXPECT_EQ_INT(w1, static_cast<std::int16_t>(0xABCD));

  Value one;
  hv.hvSetI16(one, 0x1234);
  const HostTag write = Tag(5, kWord, 0x10);
  EXPECT_EQ_INT(drv.drvWriteValue(&write, one), 1);

  Value back;
  const HostTag readBack = Tag(5, kWord, 0x10);
  EXPECT_EQ_INT(drv.drvReadValue(&readBack, back), 1);
  std::int16_t w = 0;
  EXPECT_EQ_INT(hv.hvGetI16(back, &w), 1);
  EXPECT_EQ_INT(w, 0x1234);
}

// 300 words of station 7 from address 1000: three frames of 124, 124 and 52 words.
void BlockRead300Words() {
  Value v;
  const HostTag t = Tag(7, kWord, 1000, 300);
  EXPECT_EQ_INT(drv.drvReadBlock(&t, v), 1);
  EXPECT_EQ_INT(hv.hvType(v), kWordArray);
  EXPECT_EQ_INT(hv.hvCount(v), 300);
  int wrong = 0;
  for (std::uint16_t i = 0; i < 300; ++i) {
    std::int16_t w = -1;
    if (!hv.hvGetAtI16(v, i, &w) || w != 1000 + i) {
      if (wrong++ == 0) Fail("word %u is %d, expected %d", i, w, 1000 + i);
    }
  }
  EXPECT_EQ_INT(wrong, 0);
}

void BlockReadBitsAndFloats() {
  Value bits;
  const HostTag b = Tag(2, kBit, 301, 300);  // two frames: 249 and 51 bits
  EXPECT_EQ_INT(drv.drvReadBlock(&b, bits), 1);
  EXPECT_EQ_INT(hv.hvType(bits), kBitArray);
  EXPECT_EQ_INT(hv.hvCount(bits), 300);
  int wrongBits = 0;
  for (std::uint16_t i = 0; i < 300; ++i) {
    std::uint8_t bit = 9;
    hv.hvGetAtU8(bits, i, &bit);
    if (bit != ((301 + i) & 1)) ++wrongBits;
  }
  EXPECT_EQ_INT(wrongBits, 0);

  Value floats;
  const HostTag f = Tag(2, kFloat, 10, 63);  // two frames: 62 and 1 floats
  EXPECT_EQ_INT(drv.drvReadBlock(&f, floats), 1);
  EXPECT_EQ_INT(hv.hvType(floats), kFloatArray);
  EXPECT_EQ_INT(hv.hvCount(floats), 63);
  int wrongFloats = 0;
  for (std::uint16_t i = 0; i < 63; ++i) {
    float x = 0;
    hv.hvGetAtR32(floats, i, &x);
    if (x != static_cast<float>(10 + i) + 0.5f) ++wrongFloats;
  }
  EXPECT_EQ_INT(wrongFloats, 0);

  // One element of a block tag: address + offset.
  Value e;
  const HostTag el = Tag(3, kWord, 100, 1, 5);
  EXPECT_EQ_INT(drv.drvReadBlockElement(&el, e), 1);
  std::int16_t w = 0;
  hv.hvGetI16(e, &w);
  EXPECT_EQ_INT(w, 105);
}

// Block writes of each kind, read back through the driver.
void BlockWrite() {
  Value words;
  hv.hvDim(words, kWordArray, 300);
  for (std::uint16_t i = 0; i < 300; ++i)
    hv.hvSetAtI16(words, i, static_cast<std::int16_t>(i * 97 - 20000));
  const HostTag w = Tag(3, kWord, 2000, 300);
  EXPECT_EQ_INT(drv.drvWriteBlock(&w, words), 1);
  Value wordsBack;
  EXPECT_EQ_INT(drv.drvReadBlock(&w, wordsBack), 1);
  int wrong = 0;
  for (std::uint16_t i = 0; i < 300; ++i) {
    std::int16_t x = 0;
    hv.hvGetAtI16(wordsBack, i, &x);
    if (x != static_cast<std::int16_t>(i * 97 - 20000)) ++wrong;
  }
  EXPECT_EQ_INT(wrong, 0);

  Value floats;
  hv.hvDim(floats, kFloatArray, 70);
  for (std::uint16_t i = 0; i < 70; ++i) hv.hvSetAtR32(floats, i, -1.25f * i);
  const HostTag f = Tag(3, kFloat, 500, 70);
  EXPECT_EQ_INT(drv.drvWriteBlock(&f, floats), 1);
  Value floatsBack;
  EXPECT_EQ_INT(drv.drvReadBlock(&f, floatsBack), 1);
  int wrongFloats = 0;
  for (std::uint16_t i = 0; i < 70; ++i) {
    float x = 1;
    hv.hvGetAtR32(floatsBack, i, &x);
    if (x != -1.25f * i) ++wrongFloats;
  }
  EXPECT_EQ_INT(wrongFloats, 0);

  // Bits: any non-zero host value is a set bit.
  Value bits;
  hv.hvDim(bits, kBitArray, 100);
  for (std::uint16_t i = 0; i < 100; ++i) hv.hvSetAtU8(bits, i, (i % 3 == 0) ? 2 : 0);
  const HostTag b = Tag(3, kBit, 7000, 100);
  EXPECT_EQ_INT(drv.drvWriteBlock(&b, bits), 1);
  Value bitsBack;
  EXPECT_EQ_INT(drv.drvReadBlock(&b, bitsBack), 1);
  int wrongBits = 0;
  for (std::uint16_t i = 0; i < 100; ++i) {
    std::uint8_t x = 9;
    hv.hvGetAtU8(bitsBack, i, &x);
    if (x != ((i % 3 == 0) ? 1 : 0)) ++wrongBits;
  }
  EXPECT_EQ_INT(wrongBits, 0);

  // One element of a block tag, written at address + offset.
  Value one;
  hv.hvSetR32(one, 3.75f);
  const HostTag el = Tag(3, kFloat, 500, 1, 3);
  EXPECT_EQ_INT(drv.drvWriteBlockElement(&el, one), 1);
  Value back;
  const HostTag at = Tag(3, kFloat, 503);
  EXPECT_EQ_INT(drv.drvReadValue(&at, back), 1);
  float x = 0;
  hv.hvGetR32(back, &x);
  if (x != 3.75f) Fail("float 503 of station 3 is %g, expected 3.75", x);
}

void SilentStation() {
  Value v;
  hv.hvSetI16(v, 321);
  const HostTag t = Tag(kSilentStation, kWord, 0x10);
  const DWORD start = GetTickCount();
  EXPECT_EQ_INT(drv.drvReadValue(&t, v), -1);
  const DWORD took = GetTickCount() - start;
  EXPECT_EQ_INT(Register(VKTJX_REGISTER_READ), kNoAnswer);
  // The value is left as it was.
  std::int16_t w = 0;
  hv.hvGetI16(v, &w);
  EXPECT_EQ_INT(w, 321);
  // The read waited for the response time-out (500 ms) instead of failing at once; whether the
  // station was asked only once shows in the simulator's trace, not in a clock.
  if (took < 400) Fail("the silent read gave up after %lu ms", static_cast<unsigned long>(took));

  EXPECT_EQ_INT(drv.drvWriteValue(&t, v), -1);
  EXPECT_EQ_INT(Register(VKTJX_REGISTER_WRITE), kNoAnswer);

  // A station that answers is still reached afterwards.
  Value ok;
  const HostTag t1 = Tag(1, kWord, 0x11);
  EXPECT_EQ_INT(drv.drvReadValue(&t1, ok), 1);
}

void ErrorRegisters() {
  // A failed read, then a successful write.
  Value v;
  const HostTag silent = Tag(kSilentStation, kBit, 3);
  EXPECT_EQ_INT(drv.drvReadValue(&silent, v), -1);
  hv.hvSetU8(v, 1);
  const HostTag write = Tag(4, kBit, 3);
  EXPECT_EQ_INT(drv.drvWriteValue(&write, v), 1);
  EXPECT_EQ_INT(Register(VKTJX_REGISTER_READ), kNoAnswer);
  EXPECT_EQ_INT(Register(VKTJX_REGISTER_READ), kNoAnswer);  // reading it does not clear it
  EXPECT_EQ_INT(Register(VKTJX_REGISTER_WRITE), 0);
  EXPECT_EQ_INT(Register(VKTJX_REGISTER_ANY), 0);
  EXPECT_EQ_INT(Register(VKTJX_REGISTER_START), 0);

  // The element export reads a register at address + offset.
  Value r;
  const HostTag el = Tag(1, kRegister, 1, 1, 1);
  EXPECT_EQ_INT(drv.drvReadBlockElement(&el, r), 1);
  std::int32_t code = 0;
  hv.hvGetI32(r, &code);
  EXPECT_EQ_INT(code, kNoAnswer);

  // Refusals that never reach the line, each leaving its code.
  const struct {
    const char* what;
    bool write;
    bool block;
    HostTag tag;
    std::int32_t code;
  } refusals[] = {
      {"block read of 501 words", false, true, Tag(1, kWord, 0, 501), kTooMuchData},
      {"block read of 251 floats", false, true, Tag(1, kFloat, 0, 251), kTooMuchData},
      {"block read of 1001 bits", false, true, Tag(1, kBit, 0, 1001), kTooMuchData},
      {"block read of kind 5", false, true, Tag(1, kRegister, 0, 1), kBadKind},
      {"single read of kind 3", false, false, Tag(1, 3, 0), -1},
      {"read of station 0", false, false, Tag(0, kWord, 0), kBadStation},
      {"read of station 256", false, false, Tag(256, kWord, 0), kBadStation},
      {"write of kind 5", true, false, Tag(1, kRegister, 0), kBadKind},
  };
  for (const auto& c : refusals) {
    Value x;
    hv.hvSetI16(x, 1);
    const std::int16_t answer = c.write   ? drv.drvWriteValue(&c.tag, x)
                                : c.block ? drv.drvReadBlock(&c.tag, x)
                                          : drv.drvReadValue(&c.tag, x);
    const std::int32_t reg = Register(c.write ? VKTJX_REGISTER_WRITE : VKTJX_REGISTER_READ);
    const std::int32_t any = Register(VKTJX_REGISTER_ANY);
    if (answer != -1 || reg != c.code || any != c.code)
      Fail("%s: answer %d, register %d, register 0 %d; expected -1 and %d", c.what, answer,
           static_cast<int>(reg), static_cast<int>(any), static_cast<int>(c.code));
  }
}

void StopAndRestart() {
  EXPECT_EQ_INT(drv.drvStopComm(5, 6, 7, 8), 1);
  // Stopped: requests are refused, the identity still answers.
  Value v;
  const HostTag t = Tag(1, kWord, 0x10);
  EXPECT_EQ_INT(drv.drvReadValue(&t, v), -1);
  EXPECT_EQ_INT(drv.drvGetCaps(), 63);

  // The stop released the port: a new start opens it again, appending to the log.
  EXPECT_EQ_INT(drv.drvStartComm(9, 0, 0, kLogAppend), 1);
  EXPECT_EQ_INT(drv.drvReadValue(&t, v), 1);
  std::int16_t w = 0;
  hv.hvGetI16(v, &w);
  EXPECT_EQ_INT(w, 0x1234);
  Value block;
  hv.hvDim(block, kWordArray, 2);
  hv.hvSetAtI16(block, 0, -7);
  hv.hvSetAtI16(block, 1, 8);
  const HostTag wb = Tag(6, kWord, 40, 2);
  EXPECT_EQ_INT(drv.drvWriteBlock(&wb, block), 1);
  EXPECT_EQ_INT(drv.drvStopComm(0, 0, 0, 0), 1);
}

// The log of the two start-stop cycles above: the first start made a new file, the second
// appended to it.
void DriverLog() {
  const std::string text = ReadWholeFile(kLogPath);
  if (text.empty()) {
    Fail("%s is missing or empty", kLogPath);
    return;
  }
  const std::vector<std::string> lines = Lines(text);
  if (lines.size() < 5) {
    Fail("the log has %u lines", static_cast<unsigned>(lines.size()));
    return;
  }
  const std::string stamp = "00/00/0000 00:00:00.000 ";
  if (!HasTimeStamp(lines[0]) || lines[0].substr(stamp.size()) != kDriverName)
    Fail("first line: \"%s\"", lines[0].c_str());
  if (lines[1].size() != stamp.size() || !HasTimeStamp(lines[1]))
    Fail("second line: \"%s\"", lines[1].c_str());
  if (lines[2] != "drvStartComm(1,2,3,4721)") Fail("third line: \"%s\"", lines[2].c_str());
  if (!lines[3].empty()) Fail("fourth line: \"%s\"", lines[3].c_str());
  // The file ends with the last stop's line and the empty line after it.
  if (text.size() < 2 || text.back() != '\n' || lines.back() != "")
    Fail("the log does not end with an empty line");

  // Entries every cycle must have left, in this order.
  const char* expected[] = {
      "drvReadBlock(1,1,16,2, offset: 0, size: 2)",
      "drvWriteValue(5,1,16,1)",
      "drvReadBlock(7,1,1000,300, offset: 0, size: 300)",
      "drvWriteBlock(3,1,2000,300, offset: 0, size: 300)",
      "v[0] = -20000",
      "v[299] = 9003",
      "v[69] = -86.250000",
      "drvReadValue(42,1,16,1)",
      "PLC Error(type= 2, code= 16105)",
      "PLC Error(type= 3, code= 16105)",
      "PLC Error(type= 2, code= 16011)",
      "PLC Error(type= 3, code= 16012)",
      "drvStopComm(5,6,7,8)",
      "drvStartComm(9,0,0,6358)",
      "drvWriteBlock(6,1,40,2, offset: 0, size: 2)",
      "v[0] = -7",
      "drvStopComm(0,0,0,0)",
  };
  std::size_t from = 0;
  for (const char* entry : expected) {
    std::size_t i = from;
    while (i < lines.size() &&
           !(HasTimeStamp(lines[i]) && lines[i].substr(stamp.size()) == entry) &&
           lines[i] != entry)
      ++i;
    if (i == lines.size()) {
      Fail("log entry \"%s\" missing (or out of order)", entry);
      return;
    }
    from = i + 1;
  }
  // Every entry starts with a time stamp; only the text after an embedded line end does not.
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& l = lines[i];
    const bool loose = l.empty() || l.rfind("drvStartComm(", 0) == 0;
    if (!loose && !HasTimeStamp(l)) {
      Fail("log line %u has no time stamp: \"%s\"", static_cast<unsigned>(i + 1), l.c_str());
      break;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--port") == 0) comPort = std::atoi(argv[2]);
  if (comPort < 1 || comPort > 8) {
    std::fprintf(stderr, "usage: vkt_wintest [--port N]   (N = 1..8)\n");
    return 2;
  }
  if (!LoadLibraries()) return 2;

  const struct {
    const char* name;
    void (*run)();
  } cases[] = {
      {"identity before any start", IdentityBeforeStart},
      {"start without settings file", StartWithoutSettingsFile},
      {"start", Start},
      {"worked frames", WorkedFrames},
      {"300-word block read", BlockRead300Words},
      {"block reads of bits and floats", BlockReadBitsAndFloats},
      {"block write", BlockWrite},
      {"silent station", SilentStation},
      {"error registers", ErrorRegisters},
      {"stop and restart", StopAndRestart},
      {"driver log", DriverLog},
  };
  int passed = 0, failed = 0;
  for (const auto& c : cases) {
    failures.clear();
    c.run();
    if (failures.empty()) {
      ++passed;
      std::printf("ok   %s\n", c.name);
    } else {
      ++failed;
      std::printf("FAIL %s\n", c.name);
      for (const std::string& f : failures) std::printf("       %s\n", f.c_str());
    }
    std::fflush(stdout);
  }
  std::printf("wintest: %d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
