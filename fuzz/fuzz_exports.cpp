// The six tag exports fed arbitrary tag records and host values against a scripted line: a
// sequence of starts, stops, reads and writes through the drv* functions, with the driver
// object made by drvStartComm on the fake line (fuzz_system_platform.cpp) and its virtual
// clock, so that every time-out costs no real time.
//
// Input: config byte C, ops length L, L bytes of ops, then the line segments of fuzz_line.h
// (every frame the driver writes is answered by the next one).
//   C bits 0-1 line (direct, RS-485, radio, direct), bits 2-3 attempts - 1, bit 4 the 95/98
//   platform family, bit 5 COM1 absent (every request fails), bit 6 one segment already on the
//   line before the first call, bit 7 a settings file naming port 9 (every start fails).
//   The ops open with three host values, each: shape byte (bits 0-2 empty, U8, I16, I32, R32,
//   array of U8, of I16, of R32; bit 3 float elements as small fractions instead of raw bits),
//   element count word (arrays, modulo 1100), seed word of the element values.
//   Then calls, each: byte B, bits 0-2 the call (start, stop, drvReadValue, drvReadBlock,
//   drvReadBlockElement, drvWriteValue, drvWriteBlock, drvWriteBlockElement), bits 5-7 the
//   value handle (the three values, 0, a released handle); a start takes bits 3-4 for its log
//   code (off, new file, append, off); a tag call reads its record: kind byte (bits 0-2 pick
//   bits, words, floats, bits, words, floats, error register, or the raw byte), station byte
//   (0xFF: a raw word follows), address word, count word (bit 15 clear: modulo 1100), offset
//   byte (0xFF: a word follows), write-count byte (0: the count, 0xFF: a word follows, else
//   the byte less one).
//
// Checked besides memory and undefined behaviour, after every call: it answered 1 or -1; the
// host values it was not meant to change are unchanged, and a failed read leaves its own value
// untouched; a successful read hands back only data that a valid status-0 response on the line
// carried, chunk by chunk; every frame written is a well-formed request of the call's kind,
// station and addresses, and a write's frames carry the caller's values; a successful write
// sent every element; nothing is sent for a refused call or without an open port; the error
// registers hold 0 after a success and the failure code after a failure; a start succeeds
// exactly when its settings are good and then holds the one port when it is there; after a
// stop there is no driver object and no port held.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "et32b.h"
#include "fake_platform.h"
#include "fuzz_line.h"
#include "fuzz_system_platform.h"
#include "host/driver_instance.h"
#include "host/error_registers.h"
#include "protocol/frame.h"
#include "vktjx.h"

namespace {

using vkt::test::Bytes;
using vkt::fuzz::InputReader;

constexpr int kElementSize[3] = {1, 2, 4};
constexpr int kBlockLimit[3] = {1000, 500, 250};
constexpr std::uint8_t kReadCommand[3] = {vkt::kCmdReadBits, vkt::kCmdReadWords,
                                          vkt::kCmdReadFloats};
constexpr std::uint8_t kWriteCommand[3] = {vkt::kCmdWriteBits, vkt::kCmdWriteWords,
                                           vkt::kCmdWriteFloats};
constexpr std::uint16_t kArrayType[3] = {HV_TYPE_ARRAY_U8, HV_TYPE_ARRAY_I16, HV_TYPE_ARRAY_R32};
constexpr std::uint16_t kScalarType[3] = {HV_TYPE_U8, HV_TYPE_I16, HV_TYPE_R32};
constexpr int kPoolSize = 3;
constexpr int kMaxCalls = 24;

enum CallKind { kStart, kStop, kReadValue, kReadBlock, kReadElement, kWriteValue, kWriteBlock,
                kWriteElement };

// A directory of its own for one input's settings file and log, removed when the input is
// done. The driver reads VktJX.Cfg from the current directory, so a start runs inside it
// (Enter); the fuzzer's own relative paths (corpus, artifacts) keep meaning what they meant.
class WorkDir {
 public:
  explicit WorkDir(const std::string& settings) {
    char pattern[] = "/tmp/vkt-fuzz-exports-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) vkt::fuzz::Broken("cannot make the working directory");
    Path_ = pattern;
    ::setenv("VKTJX_LOG", (Path_ + "/VKTJX.log").c_str(), 1);
    std::FILE* f = std::fopen((Path_ + "/VktJX.Cfg").c_str(), "wb");
    if (f == nullptr) vkt::fuzz::Broken("cannot write the settings file");
    std::fputs(settings.c_str(), f);
    std::fclose(f);
  }
  ~WorkDir() {
    std::remove((Path_ + "/VktJX.Cfg").c_str());
    std::remove((Path_ + "/VKTJX.log").c_str());
    ::rmdir(Path_.c_str());
  }
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;

  template <class Body>
  auto Enter(Body body) const {
    static const int home = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (home < 0 || ::chdir(Path_.c_str()) != 0)
      vkt::fuzz::Broken("cannot enter the working directory");
    const auto result = body();
    if (::fchdir(home) != 0) vkt::fuzz::Broken("cannot leave the working directory");
    return result;
  }

 private:
  std::string Path_;
};

std::uint32_t FloatBits(float f) {
  std::uint32_t u = 0;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

float FloatOf(const std::uint8_t* at) {
  const std::uint32_t u = static_cast<std::uint32_t>(at[0] | (at[1] << 8) | (at[2] << 16)) |
                          (static_cast<std::uint32_t>(at[3]) << 24);
  float f = 0;
  std::memcpy(&f, &u, sizeof f);
  return f;
}

// What the value library gives back for a float it was handed: it holds numbers as doubles,
// which is exact for every float but quiets a signalling NaN.
std::uint32_t HeldFloatBits(float f) {
  return FloatBits(static_cast<float>(static_cast<double>(f)));
}

// Everything a host can see of one value.
struct Snapshot {
  std::uint16_t type = 0;
  std::uint16_t count = 0;
  std::vector<std::uint32_t> items;
  bool operator==(const Snapshot&) const = default;
};

Snapshot Look(HVALUE h) {
  Snapshot s;
  s.type = hvType(h);
  s.count = hvCount(h);
  if (s.type >= 128) {
    for (std::uint16_t i = 0; i < s.count; ++i) {
      if (s.type == HV_TYPE_ARRAY_R32) {
        float f = 0;
        hvGetAtR32(h, i, &f);
        s.items.push_back(FloatBits(f));
      } else {
        std::int16_t v = 0;
        hvGetAtI16(h, i, &v);
        s.items.push_back(static_cast<std::uint16_t>(v));
      }
    }
  } else if (s.type == HV_TYPE_R32) {
    float f = 0;
    hvGetR32(h, &f);
    s.items.push_back(FloatBits(f));
  } else if (s.type != HV_TYPE_EMPTY) {
    std::int32_t v = 0;
    hvGetI32(h, &v);
    s.items.push_back(static_cast<std::uint32_t>(v));
  }
  return s;
}

// One host value shaped by the input.
HVALUE MakeValue(InputReader& ops) {
  const std::uint8_t shape = ops.Byte();
  const int count = ops.Word() % 1100;
  std::uint32_t state = ops.Word() * 2654435761u + 1;
  const bool fractions = (shape & 0x08) != 0;
  auto next = [&state] {
    state = state * 1664525u + 1013904223u;
    return state;
  };
  auto nextFloat = [&] {
    const std::uint32_t v = next();
    if (fractions) return static_cast<float>(static_cast<std::int16_t>(v >> 16)) / 4.0f;
    float f = 0;
    std::memcpy(&f, &v, sizeof f);
    return f;
  };
  const HVALUE h = hvNew();
  if (h == 0) vkt::fuzz::Broken("the value library made no value");
  switch (shape & 7) {
    case 0: break;
    case 1: hvSetU8(h, static_cast<std::uint8_t>(next() >> 24)); break;
    case 2: hvSetI16(h, static_cast<std::int16_t>(next() >> 16)); break;
    case 3: hvSetI32(h, static_cast<std::int32_t>(next())); break;
    case 4: hvSetR32(h, nextFloat()); break;
    default: {
      const int kind = (shape & 7) - 5;
      if (hvDim(h, kArrayType[kind], static_cast<std::uint16_t>(count)) == 0)
        vkt::fuzz::Broken("the value library made no array");
      for (int i = 0; i < count; ++i) {
        const auto at = static_cast<std::uint16_t>(i);
        // Bit arrays get mostly 0 and 1, with other bytes now and then.
        const std::uint32_t v = next();
        if (kind == 0) hvSetAtU8(h, at, static_cast<std::uint8_t>((v >> 28) < 2 ? v >> 20 : v >> 31));
        else if (kind == 1) hvSetAtI16(h, at, static_cast<std::int16_t>(v >> 16));
        else hvSetAtR32(h, at, nextFloat());
      }
    }
  }
  return h;
}

// The bytes a write of element(s) of `h` must carry, as the host library supplies them (0 where
// it cannot).
void PutElement(int kind, bool ok, std::uint8_t u8, std::int16_t i16, float r32,
                std::vector<std::uint8_t>& out) {
  if (!ok) {
    u8 = 0;
    i16 = 0;
    r32 = 0.0f;
  }
  switch (kind) {
    case 0: out.push_back(u8 != 0 ? 0xFF : 0x00); break;
    case 1:
      out.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(i16) & 0xFF));
      out.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(i16) >> 8));
      break;
    default: {
      const std::uint32_t u = FloatBits(r32);
      for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(u >> (8 * i)));
    }
  }
}

// A bit is set by any non-zero host value, taken in the value's own type (a NaN is no value):
// I16 256 or R32 0.5 set it although their U8 conversion is 0. `at` < 0 for a single value.
bool BitIsSet(HVALUE h, int at) {
  std::uint8_t u8 = 0;
  std::int16_t i16 = 0;
  std::int32_t i32 = 0;
  float r32 = 0;
  const auto i = static_cast<std::uint16_t>(at);
  switch (hvType(h)) {
    case HV_TYPE_U8: return at < 0 && hvGetU8(h, &u8) != 0 && u8 != 0;
    case HV_TYPE_I16: return at < 0 && hvGetI16(h, &i16) != 0 && i16 != 0;
    case HV_TYPE_I32: return at < 0 && hvGetI32(h, &i32) != 0 && i32 != 0;
    case HV_TYPE_R32: return at < 0 && hvGetR32(h, &r32) != 0 && r32 == r32 && r32 != 0;
    case HV_TYPE_ARRAY_U8: return at >= 0 && hvGetAtU8(h, i, &u8) != 0 && u8 != 0;
    case HV_TYPE_ARRAY_I16: return at >= 0 && hvGetAtI16(h, i, &i16) != 0 && i16 != 0;
    case HV_TYPE_ARRAY_R32:
      return at >= 0 && hvGetAtR32(h, i, &r32) != 0 && r32 == r32 && r32 != 0;
    default: return false;
  }
}

std::vector<std::uint8_t> ExpectedScalar(int kind, HVALUE h) {
  std::vector<std::uint8_t> out;
  std::uint8_t u8 = 0;
  std::int16_t i16 = 0;
  float r32 = 0;
  bool ok = false;
  if (kind == 0) {
    u8 = BitIsSet(h, -1) ? 1 : 0;
    ok = true;
  } else if (kind == 1) {
    ok = hvGetI16(h, &i16) != 0;
  } else {
    ok = hvGetR32(h, &r32) != 0;
  }
  PutElement(kind, ok, u8, i16, r32, out);
  return out;
}

std::vector<std::uint8_t> ExpectedArray(int kind, HVALUE h, int n) {
  std::vector<std::uint8_t> out;
  for (int i = 0; i < n; ++i) {
    const auto at = static_cast<std::uint16_t>(i);
    std::uint8_t u8 = 0;
    std::int16_t i16 = 0;
    float r32 = 0;
    bool ok = false;
    if (kind == 0) {
      u8 = BitIsSet(h, i) ? 1 : 0;
      ok = true;
    } else if (kind == 1) {
      ok = hvGetAtI16(h, at, &i16) != 0;
    } else {
      ok = hvGetAtR32(h, at, &r32) != 0;
    }
    PutElement(kind, ok, u8, i16, r32, out);
  }
  return out;
}

// The bytes the driver read from the line since call record `from`, in order.
Bytes WireSince(const vkt::test::FakePlatform& fake, std::size_t from) {
  Bytes wire;
  const std::vector<vkt::test::Call>& calls = fake.Calls();
  for (std::size_t k = from; k < calls.size(); ++k) {
    if (calls[k].name != "ReadFile") continue;
    const std::string& d = calls[k].detail;
    for (std::size_t i = 0; i + 1 < d.size(); i += 3)
      wire.push_back(static_cast<std::uint8_t>(std::stoul(d.substr(i, 2), nullptr, 16)));
  }
  return wire;
}

// True when a status-0 response with a good checksum in `line` carries `n` data bytes that
// `matches` accepts.
template <class Match>
bool CarriedByValidFrame(const Bytes& line, int n, Match matches) {
  const auto size = static_cast<std::size_t>(n);
  for (std::size_t i = 0; i + size + 6 <= line.size(); ++i) {
    if (line[i] != vkt::kStartByte || line[i + 2] != n || line[i + 3] != 0) continue;
    const std::uint16_t sum = vkt::FrameChecksum(&line[i + 1], size + 3);
    const std::size_t c = i + 4 + size;
    if (line[c] != (sum & 0xFF) || line[c + 1] != (sum >> 8)) continue;
    if (matches(&line[i + 4])) return true;
  }
  return false;
}

// Element `i` of the value as the host now sees it, against one element of a response.
bool ElementMatches(int kind, std::uint32_t held, const std::uint8_t* d) {
  switch (kind) {
    case 0: return held == (d[0] != 0 ? 1u : 0u);
    case 1: return held == static_cast<std::uint32_t>(d[0] | (d[1] << 8));
    default: return held == HeldFloatBits(FloatOf(d));
  }
}

struct Tag {
  HostTag raw{};
  int kind = 0;  // raw.kind when it is a service kind, else -1
};

// Checks every frame written by one tag call: a well-formed request of the call's command
// and station, at an address of the call's range, carrying the caller's values for a write.
// Returns the element offsets the frames covered.
std::vector<bool> CheckRequests(const std::vector<Bytes>& writes, std::size_t from, const Tag& tag,
                                bool write, std::uint32_t base, int count,
                                const std::vector<std::uint8_t>& values) {
  std::vector<bool> covered(static_cast<std::size_t>(count), false);
  const int size = kElementSize[tag.kind];
  for (std::size_t k = from; k < writes.size(); ++k) {
    const Bytes& w = writes[k];
    FUZZ_CHECK(w.size() >= 6 && w[0] == vkt::kStartByte);
    FUZZ_CHECK(w[1] == static_cast<std::uint16_t>(tag.raw.station));
    const std::size_t n = w[2];
    FUZZ_CHECK(n >= 3 && w.size() >= n + 6);
    const std::uint16_t sum = vkt::FrameChecksum(&w[1], n + 3);
    FUZZ_CHECK(w[n + 4] == (sum & 0xFF) && w[n + 5] == (sum >> 8));
    for (std::size_t i = n + 6; i < w.size(); ++i) FUZZ_CHECK(w[i] == 0xFF);
    FUZZ_CHECK(w[3] == (write ? kWriteCommand[tag.kind] : kReadCommand[tag.kind]));
    const auto address = static_cast<std::uint16_t>(w[4] | (w[5] << 8));
    const std::size_t elements = w[6];
    // Only the low 16 bits of an address go on the wire.
    const std::size_t offset = static_cast<std::uint16_t>(address - base);
    FUZZ_CHECK(elements > 0 && offset + elements <= static_cast<std::size_t>(count));
    if (write) {
      const std::size_t bytes = elements * static_cast<std::size_t>(size);
      FUZZ_CHECK(n == bytes + 3);
      FUZZ_CHECK(std::memcmp(&w[7], &values[offset * size], bytes) == 0);
    } else {
      FUZZ_CHECK(n == 3);
    }
    for (std::size_t i = 0; i < elements; ++i) covered[offset + i] = true;
  }
  return covered;
}

Tag ReadTag(InputReader& ops) {
  Tag tag;
  const std::uint8_t kindByte = ops.Byte();
  static constexpr std::uint16_t kKinds[7] = {VKTJX_KIND_BIT,   VKTJX_KIND_WORD,
                                              VKTJX_KIND_FLOAT, VKTJX_KIND_BIT,
                                              VKTJX_KIND_WORD,  VKTJX_KIND_FLOAT,
                                              VKTJX_KIND_ERROR_REGISTER};
  tag.raw.kind = (kindByte & 7) < 7 ? kKinds[kindByte & 7] : kindByte;
  const std::uint8_t station = ops.Byte();
  tag.raw.station = station == 0xFF ? static_cast<std::int16_t>(ops.Word()) : station;
  tag.raw.address = ops.Word();
  const std::uint16_t count = ops.Word();
  tag.raw.count = (count & 0x8000) ? count : count % 1100;
  const std::uint8_t offset = ops.Byte();
  tag.raw.offset = offset == 0xFF ? ops.Word() : offset;
  const std::uint8_t wc = ops.Byte();
  tag.raw.writeCount = wc == 0 ? tag.raw.count : (wc == 0xFF ? ops.Word() : wc - 1);
  tag.kind = tag.raw.kind <= VKTJX_KIND_FLOAT ? tag.raw.kind : -1;
  if (tag.kind >= 0) tag.raw.size = static_cast<std::uint16_t>(tag.raw.count * kElementSize[tag.kind]);
  return tag;
}

struct Registers {
  std::int32_t r[VKTJX_REGISTER_COUNT] = {};
  bool operator==(const Registers&) const = default;
};

Registers ReadRegisters() {
  Registers regs;
  for (int i = 0; i < VKTJX_REGISTER_COUNT; ++i)
    if (!vkt::host::readErrorRegister(i, regs.r[i])) vkt::fuzz::Broken("an error register is missing");
  return regs;
}

// After a read (type 2) or write (type 3) call: 0 in the type's register and register 0 after
// a success, the same failure code in both after a failure; the other registers as they were.
void CheckRegistersAfter(int type, std::int16_t rc, const Registers& before) {
  const Registers after = ReadRegisters();
  for (int i = 1; i < vkt::host::kRegisterCount; ++i)
    if (i != type) FUZZ_CHECK(after.r[i] == before.r[i]);
  if (rc == 1)
    FUZZ_CHECK(after.r[0] == 0 && after.r[type] == 0);
  else
    FUZZ_CHECK(after.r[type] != 0 && after.r[0] == after.r[type]);
}

void CheckStopped(const vkt::test::FakePlatform& fake) {
  FUZZ_CHECK(vkt::host::DriverPort() == nullptr);
  FUZZ_CHECK(fake.OpenHandleCount() == 0);
}

// The settings file the config byte asks for.
std::string SettingsFor(std::uint8_t config) {
  const int lineKind = config & 3;
  const bool badSettings = (config & 0x80) != 0;
  std::string settings = badSettings ? "[PC_PORT_SESSION]\npcpsPort=9\n" : "[PC_PORT_SESSION]\npcpsPort=1\n";
  settings += "pcpsFailFramesToReset=5\npcpsVktComRetry=";
  settings += std::to_string(1 + ((config >> 2) & 3));
  settings += "\n";
  if (lineKind == 1) settings += "pcpsRS485Suport=1\n";
  if (lineKind == 2) settings += "pcpsDataRadioSuport=1\npcpsRadioRemCarrierOffTime=0\n";
  return settings;
}

// One input's run: the fake line, the host values and what the host last saw of them.
struct Session {
  Session(vkt::test::FakePlatform& f, const WorkDir& d) : fake(f), dir(d) {}
  vkt::test::FakePlatform& fake;
  const WorkDir& dir;
  bool badSettings = false;
  bool portAbsent = false;
  HVALUE pool[kPoolSize] = {};
  Snapshot known[kPoolSize];
  bool started = false;  // the last start opened the port and no stop came after it
};

void CheckedStart(Session& s, std::uint8_t b) {
  static constexpr std::uint16_t kLogCodes[4] = {0, VKTJX_LOG_NEW_FILE, VKTJX_LOG_APPEND, 77};
  const std::uint16_t p4 = kLogCodes[(b >> 3) & 3];
  const std::int16_t rc = s.dir.Enter([p4] { return drvStartComm(1, 2, 3, p4); });
  vkt::fuzz::Trace("start", rc);
  FUZZ_CHECK(rc == 1 || rc == -1);
  const Registers after = ReadRegisters();
  FUZZ_CHECK(after.r[2] == 0 && after.r[3] == 0);
  // A start with good settings succeeds; a port that is not there is not reported by
  // the start, only by every request after it. A port that is there is held once, also
  // when the start follows a start without a stop; a failed start holds none.
  FUZZ_CHECK(rc == (s.badSettings ? -1 : 1));
  FUZZ_CHECK(s.fake.OpenHandleCount() == (s.portAbsent || s.badSettings ? 0 : 1));
  if (rc == 1)
    FUZZ_CHECK(after.r[0] == 0 && after.r[1] == 0);
  else
    FUZZ_CHECK(after.r[1] != 0 && after.r[0] == after.r[1]);
  s.started = rc == 1 && !s.portAbsent;
}

void CheckedStop(Session& s, const Registers& registersBefore) {
  const std::int16_t rc = drvStopComm(4, 3, 2, 1);
  vkt::fuzz::Trace("stop", rc);
  FUZZ_CHECK(rc == 1);
  CheckStopped(s.fake);
  FUZZ_CHECK(ReadRegisters() == registersBefore);
  s.started = false;
}

std::int16_t CallExport(int call, const HostTag& tag, HVALUE h) {
  switch (call) {
    case kReadValue: return drvReadValue(&tag, h);
    case kReadBlock: return drvReadBlock(&tag, h);
    case kReadElement: return drvReadBlockElement(&tag, h);
    case kWriteValue: return drvWriteValue(&tag, h);
    case kWriteBlock: return drvWriteBlock(&tag, h);
    default: return drvWriteBlockElement(&tag, h);
  }
}

// A successful read into a live value replaced it with what the line carried.
void CheckReadValue(const Session& s, const Tag& tag, HVALUE h, bool block, int count,
                    std::size_t callsBefore) {
  const Snapshot got = Look(h);
  const Bytes wire = WireSince(s.fake, callsBefore);
  const int size = kElementSize[tag.kind];
  if (block) {
    FUZZ_CHECK(got.type == kArrayType[tag.kind] && got.count == count);
    const int perChunk = 249 / size;
    for (int done = 0; done < count; done += perChunk) {
      const int n = count - done < perChunk ? count - done : perChunk;
      FUZZ_CHECK(CarriedByValidFrame(wire, n * size, [&](const std::uint8_t* d) {
        for (int i = 0; i < n; ++i)
          if (!ElementMatches(tag.kind, got.items[done + i], d + i * size)) return false;
        return true;
      }));
    }
  } else {
    FUZZ_CHECK(got.type == kScalarType[tag.kind] && got.count == 1);
    std::uint32_t held = got.items[0];
    if (tag.kind == 1) held &= 0xFFFF;
    FUZZ_CHECK(CarriedByValidFrame(wire, size, [&](const std::uint8_t* d) {
      return ElementMatches(tag.kind, held, d);
    }));
  }
}

// One of the six tag calls on value `h` (pool entry `index`, or -1 for a handle that is not
// live), checked against the line, the registers and the host values.
void CheckedTagCall(Session& s, int call, int index, HVALUE h, const Tag& tag,
                    const Registers& registersBefore) {
  const bool live = index >= 0;
  const bool write = call >= kWriteValue;
  const bool block = call == kReadBlock || call == kWriteBlock;
  const bool element = call == kReadElement || call == kWriteElement;
  // The call's own value as the host last saw it.
  const Snapshot target = live ? s.known[index] : Snapshot{};
  const std::size_t writesBefore = s.fake.Writes().size();
  const std::size_t callsBefore = s.fake.Calls().size();
  // What a write must carry, worked out from the host value before the call.
  std::vector<std::uint8_t> values;
  int count = 1;
  if (tag.kind >= 0 && write) {
    count = block ? tag.raw.writeCount : 1;
    // A block past the transfer buffer is refused with nothing sent: no values to compare.
    if (!block) values = ExpectedScalar(tag.kind, h);
    else if (count <= kBlockLimit[tag.kind]) values = ExpectedArray(tag.kind, h, count);
  } else if (tag.kind >= 0 && block) {
    count = tag.raw.count;
  }
  const std::uint32_t base =
      element ? std::uint32_t{tag.raw.address} + tag.raw.offset : tag.raw.address;

  const std::int16_t rc = CallExport(call, tag.raw, h);
  vkt::fuzz::Trace(write ? "write" : "read", rc);
  FUZZ_CHECK(rc == 1 || rc == -1);

  const std::size_t sent = s.fake.Writes().size() - writesBefore;
  const bool registerRead = !write && !block && tag.raw.kind == VKTJX_KIND_ERROR_REGISTER;
  const bool refused = tag.kind < 0 || !s.started || (block && count > kBlockLimit[tag.kind]) ||
                       tag.raw.station < 1 || tag.raw.station > 255;
  if (registerRead) {
    // Register reads touch neither the line nor the registers.
    FUZZ_CHECK(sent == 0 && ReadRegisters() == registersBefore);
    std::int32_t code = 0;
    const bool exists = base < static_cast<std::uint32_t>(vkt::host::kRegisterCount) &&
                        vkt::host::readErrorRegister(base, code);
    FUZZ_CHECK(rc == (exists ? 1 : -1));
    if (exists && live) {
      FUZZ_CHECK(hvType(h) == HV_TYPE_I32);
      std::int32_t held = 0;
      FUZZ_CHECK(hvGetI32(h, &held) != 0 && held == code);
    }
  } else {
    CheckRegistersAfter(write ? 3 : 2, rc, registersBefore);
    if (refused) {
      // Refused before any traffic: a kind the services do not have, a block past the
      // transfer buffer, a station out of range, or no open port. Only a block of no
      // elements may still answer 1: it has nothing to send.
      FUZZ_CHECK(sent == 0);
      FUZZ_CHECK(rc == -1 || (tag.kind >= 0 && count == 0));
    } else {
      const std::vector<bool> covered =
          CheckRequests(s.fake.Writes(), writesBefore, tag, write, base, count, values);
      if (rc == 1) {
        for (bool c : covered) FUZZ_CHECK(c);
      }
    }
  }

  const bool readInto = !write && rc == 1 && live;
  if (readInto && !registerRead) CheckReadValue(s, tag, h, block, count, callsBefore);
  // The call's own value is as it was unless a read filled it.
  if (readInto)
    s.known[index] = Look(h);
  else
    FUZZ_CHECK(Look(h) == target);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  InputReader head(data, size);
  const std::uint8_t config = head.Byte();
  const std::size_t opsLength = head.Byte();
  const std::size_t used = size < 2 ? size : 2;
  const std::size_t opsSize = size - used < opsLength ? size - used : opsLength;
  InputReader ops(data + used, opsSize);
  InputReader line(data + used + opsSize, size - used - opsSize);
  const WorkDir dir(SettingsFor(config));

  vkt::test::FakePlatform fake;
  fake.SetRecordTicks(false);
  fake.SetPlatformId((config & 0x10) ? 1 : 2);
  fake.SetCtsFollowsRts(0);
  Session s(fake, dir);
  s.badSettings = (config & 0x80) != 0;
  s.portAbsent = (config & 0x20) != 0;
  if (s.portAbsent) fake.SetPortPresent(1, false);
  vkt::fuzz::SetSystemPlatform(&fake);
  vkt::fuzz::AnswerWritesFrom(line, fake);
  if (config & 0x40) vkt::fuzz::ScheduleSegment(line, fake, vkt::test::From::Now);

  for (HVALUE& h : s.pool) h = MakeValue(ops);
  for (int i = 0; i < kPoolSize; ++i) s.known[i] = Look(s.pool[i]);
  const HVALUE released = hvNew();
  hvRelease(released);
  // Handle choices: the pool values, a handle never issued, one already released.
  static constexpr int kPoolIndex[8] = {0, 1, 2, 0, 1, -1, -1, 2};

  for (int calls = 0; calls < kMaxCalls && !ops.Empty(); ++calls) {
    const std::uint8_t b = ops.Byte();
    const int call = b & 7;
    const int which = b >> 5;
    const int index = kPoolIndex[which];
    const HVALUE h = index >= 0 ? s.pool[index] : (which == 5 ? 0 : released);

    const Registers registersBefore = ReadRegisters();
    if (call == kStart) {
      CheckedStart(s, b);
    } else if (call == kStop) {
      CheckedStop(s, registersBefore);
    } else {
      const Tag tag = ReadTag(ops);
      CheckedTagCall(s, call, index, h, tag, registersBefore);
    }
  }
  // No call changed a value it was not handed.
  for (int i = 0; i < kPoolSize; ++i) FUZZ_CHECK(Look(s.pool[i]) == s.known[i]);

  FUZZ_CHECK(drvStopComm(0, 0, 0, 0) == 1);
  CheckStopped(fake);
  vkt::fuzz::SetSystemPlatform(nullptr);
  for (HVALUE v : s.pool) hvRelease(v);
  return 0;
}
