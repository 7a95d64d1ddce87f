// vkt_soak: thousands of transactions of every export, kind and size through the driver library
// against the station simulator on a pseudo-terminal, with faults in about one response in ten.
//
// The soak keeps a shadow of the stations' memory (the simulator's start pattern plus every
// write that succeeded) and reads the simulator's trace to learn which faults went into each
// response. From the faults of a transaction's responses, in order, it works out the one answer
// the driver must give: success, or the code of the fault that ended it. Then it checks:
//   - the answer and the code in the error registers are exactly that;
//   - a successful read equals the shadow, a failed one leaves the host value untouched;
//   - a failed write is repeated until it lands; at the end the simulator's dump of every
//     element written must equal the shadow;
//   - the number of fault-free responses equals the number of frames the size needs;
//   - file descriptors and heap do not grow over the run (the driver is restarted now and then).
//
//   vkt_soak [--transactions N] [--seed S] [--restart-every K]
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "et32b.h"
#include "common/result_codes.h"
#include "child_process.h"
#include "heap_counter.h"
#include "vktjx.h"


namespace {

using namespace vkt;

constexpr int kStations = 3;  // stations 1..3 are served
constexpr int kAttempts = 3;  // pcpsVktComRetry, default
constexpr int kElementSize[3] = {1, 2, 4};
constexpr int kReadLimit[3] = {1000, 500, 250};
constexpr int kArrayType[3] = {HV_TYPE_ARRAY_U8, HV_TYPE_ARRAY_I16, HV_TYPE_ARRAY_R32};

// Faults in about one response in ten. The slow ones (a truncated frame costs the header or
// body time-out, three stray bytes a 300 ms pause) are rarer, so the full run stays short.
const char* const kFaults[] = {"silence:0.02",    "checksum:0.035",   "stray:0.02",
                               "truncate:0.006",  "status=0x85:0.01", "status=0x21:0.007"};

int gFailures = 0;
void Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Fail(const char* format, ...) {
  if (++gFailures > 20) return;  // the first ones tell the story
  va_list args;
  va_start(args, format);
  std::fputs("vkt_soak: FAIL: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
}

// ---- the shadow of the stations' memory ----------------------------------------------------

struct Shadow {
  std::uint8_t bits[kStations + 1][65536];
  std::int16_t words[kStations + 1][65536];
  std::uint32_t floats[kStations + 1][65536];  // raw IEEE-754 bits
  bool written[kStations + 1][3][65536];

  void Reset() {
    for (int s = 1; s <= kStations; ++s)
      for (int a = 0; a < 65536; ++a) {
        bits[s][a] = static_cast<std::uint8_t>(a & 1);
        words[s][a] = static_cast<std::int16_t>(a);
        const float f = static_cast<float>(a) + 0.5f;
        std::memcpy(&floats[s][a], &f, 4);
      }
    std::memset(written, 0, sizeof written);
  }
};
Shadow gShadow;

std::uint32_t RawOf(float f) {
  std::uint32_t raw;
  std::memcpy(&raw, &f, 4);
  return raw;
}

// ---- the simulator's trace: which faults each response carried ----------------------------

// What the driver makes of one response, by the faults the simulator put into it.
struct Response {
  ResultCode code;  // 0: the response was sound
};

struct Trace {
  int fd = -1;
  char pending[1 << 16];
  std::size_t used = 0;
  Response responses[512];
  int count = 0;
  long lines = 0;
  bool overflow = false;

  static ResultCode CodeOf(const char* line) {
    if (std::strstr(line, "fault silence") != nullptr) return kNoAnswer;
    const char* f = std::strstr(line, "[fault ");
    const char* bar = std::strstr(line, " | ");
    if (f == nullptr || (bar != nullptr && f > bar)) return kOk;
    // The hunt gives up at the third byte that is not a start byte, before any other fault
    // of the frame can show; a frame that stops short is never read to its checksum; the
    // checksum is checked before the status.
    const char* stray = std::strstr(f, "stray=");
    if (stray != nullptr && (bar == nullptr || stray < bar) && std::atoi(stray + 6) >= 3)
      return kNoStartByte;
    auto has = [&](const char* what) {
      const char* p = std::strstr(f, what);
      return p != nullptr && (bar == nullptr || p < bar);
    };
    if (has("truncate")) return kIncompleteFrame;
    if (has("checksum")) return kChecksumMismatch;
    const char* status = std::strstr(f, "status=0x");
    if (status != nullptr && (bar == nullptr || status < bar)) {
      const int v = static_cast<int>(std::strtol(status + 9, nullptr, 16));
      if (v >= 0x80 && v <= 0x9F) return kControllerError;
      return v;
    }
    return kOk;
  }

  void Line(const char* line) {
    ++lines;
    if (std::strstr(line, "] -> ") == nullptr) return;
    if (count == static_cast<int>(sizeof responses / sizeof responses[0])) {
      overflow = true;
      return;
    }
    responses[count++].code = CodeOf(line);
  }

  // Takes in every line the simulator has written so far; false when it is gone.
  bool Drain() {
    for (;;) {
      const ssize_t n = read(fd, pending + used, sizeof pending - 1 - used);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return true;
      if (n <= 0) return false;
      used += static_cast<std::size_t>(n);
      std::size_t start = 0;
      for (std::size_t i = 0; i < used; ++i) {
        if (pending[i] != '\n') continue;
        pending[i] = '\0';
        Line(pending + start);
        start = i + 1;
      }
      std::memmove(pending, pending + start, used - start);
      used -= start;
      if (used == sizeof pending - 1) used = 0;  // a line this long is no trace line
    }
  }

  void Clear() {
    count = 0;
    overflow = false;
  }
};
Trace gTrace;

constexpr ResultCode kMissing = -99999;  // fewer responses in the trace than the answer needs

// The driver's answer to a transaction of `frames` frames, by its responses in order: a sound
// response completes a frame; a bad checksum or a missing start byte is asked again up to the
// attempt limit; anything else ends the transaction at once (a silent station on a direct line
// is not asked twice). `soundSeen` is how many sound responses the answer implies.
ResultCode Expected(const Trace& t, int frames, int& soundNeeded) {
  int attempts = 0, done = 0;
  soundNeeded = 0;
  for (int i = 0; i < t.count; ++i) {
    const ResultCode c = t.responses[i].code;
    if (c == kOk) {
      ++done;
      ++soundNeeded;
      attempts = 0;
      continue;
    }
    if (c == kChecksumMismatch || c == kNoStartByte) {
      if (++attempts == kAttempts) return c;
      continue;
    }
    return c;
  }
  soundNeeded = frames;
  return done == frames ? kOk : kMissing;
}

// ---- the driver, through its exports -------------------------------------------------------

enum Op { kReadValue, kReadBlock, kReadElement, kWriteValue, kWriteBlock, kWriteElement };
const char* const kOpNames[] = {"drvReadValue",  "drvReadBlock",  "drvReadBlockElement",
                                "drvWriteValue", "drvWriteBlock", "drvWriteBlockElement"};

struct Stats {
  long transactions = 0, ok = 0, failed = 0, writeRepeats = 0, emptyBlocks = 0, lateSimulator = 0;
  long byOp[6] = {}, byKind[3] = {}, byCode[8] = {};
  long frames = 0;
  long faultyResponses[8] = {};  // by the code the fault should give
};
Stats gStats;

int CodeSlot(ResultCode c) {
  switch (c) {
    case kNoAnswer: return 0;
    case kChecksumMismatch: return 1;
    case kNoStartByte: return 2;
    case kIncompleteFrame: return 3;
    case kControllerError: return 4;
    case 0x21: return 5;
    case kFrameTooLong: return 6;
    default: return 7;
  }
}
const char* const kCodeNames[] = {"16105 no answer", "16107 checksum", "16108 no start byte",
                                  "16106 incomplete", "16109 controller error", "33 status 0x21",
                                  "16100 frame too long", "other"};

std::mt19937 gRandom;
int Uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(gRandom); }

int gBitWriteChunk = 249;  // bits per write frame, found at start
bool gLongBitWritesRefused = false;

int ChunkOf(int kind, bool write) {
  if (kind == 0 && write) return gBitWriteChunk;
  return 249 / kElementSize[kind];
}
int FramesFor(int kind, bool write, int count) {
  const int chunk = ChunkOf(kind, write);
  return (count + chunk - 1) / chunk;
}

std::int32_t Register(std::uint16_t index) {
  HostTag tag{};
  tag.kind = VKTJX_KIND_ERROR_REGISTER;
  tag.address = index;
  const HVALUE v = hvNew();
  std::int32_t value = -12345;
  if (drvReadValue(&tag, v) != 1 || hvGetI32(v, &value) == 0) value = -12345;
  hvRelease(v);
  return value;
}

// The value a host element of `kind` has in the shadow's terms.
bool ElementMatches(HVALUE v, int kind, int index, int station, int address, bool scalar) {
  const int a = address & 0xFFFF;
  if (kind == 0) {
    std::uint8_t got = 0xEE;
    const int ok = scalar ? hvGetU8(v, &got) : hvGetAtU8(v, static_cast<uint16_t>(index), &got);
    return ok != 0 && got == (gShadow.bits[station][a] != 0 ? 1 : 0);
  }
  if (kind == 1) {
    std::int16_t got = 0;
    const int ok = scalar ? hvGetI16(v, &got) : hvGetAtI16(v, static_cast<uint16_t>(index), &got);
    return ok != 0 && got == gShadow.words[station][a];
  }
  float got = 0;
  const int ok = scalar ? hvGetR32(v, &got) : hvGetAtR32(v, static_cast<uint16_t>(index), &got);
  return ok != 0 && RawOf(got) == gShadow.floats[station][a];
}

constexpr std::int32_t kSentinel = 0x5EED;

HVALUE gRead, gWrite, gEmpty;
std::uint8_t gValues[1000 * 4];  // the values a write sends, as the station will store them

// Fills gWrite (and gValues) with `count` random values of `kind`; `given` of them are set in
// the host value, the rest the host library refuses and the driver sends as 0.
void MakeWriteValue(int kind, int count, int given, bool scalar) {
  for (int i = 0; i < count; ++i) {
    const bool have = i < given;
    if (kind == 0) {
      static const std::uint8_t kHostBits[] = {0, 1, 2, 0xFF, 0x37, 0};
      const std::uint8_t h = kHostBits[Uniform(0, 5)];
      if (have) {
        if (scalar) hvSetU8(gWrite, h);
        else hvSetAtU8(gWrite, static_cast<uint16_t>(i), h);
      }
      gValues[i] = have && h != 0 ? 0xFF : 0x00;
    } else if (kind == 1) {
      const std::int16_t w = static_cast<std::int16_t>(Uniform(-32768, 32767));
      if (have) {
        if (scalar) hvSetI16(gWrite, w);
        else hvSetAtI16(gWrite, static_cast<uint16_t>(i), w);
      }
      const std::int16_t sent = have ? w : 0;
      std::memcpy(&gValues[2 * i], &sent, 2);
    } else {
      const float f = static_cast<float>(Uniform(-1000000, 1000000)) / 64.0f;
      if (have) {
        if (scalar) hvSetR32(gWrite, f);
        else hvSetAtR32(gWrite, static_cast<uint16_t>(i), f);
      }
      const float sent = have ? f : 0.0f;
      std::memcpy(&gValues[4 * i], &sent, 4);
    }
  }
}

void Land(int station, int kind, int address, int count) {
  for (int i = 0; i < count; ++i) {
    const int a = (address + i) & 0xFFFF;
    if (kind == 0) gShadow.bits[station][a] = gValues[i];
    else if (kind == 1) std::memcpy(&gShadow.words[station][a], &gValues[2 * i], 2);
    else std::memcpy(&gShadow.floats[station][a], &gValues[4 * i], 4);
    gShadow.written[station][kind][a] = true;
  }
}

// One call of an export and every check of its outcome; the answer's code (0 on success).
ResultCode Call(Op op, const HostTag& tag, HVALUE v, int station, int kind, int address,
                int count) {
  const bool write = op >= kWriteValue;
  if (!write) hvSetI32(v, kSentinel);
  if (!gTrace.Drain()) Fail("the simulator's trace ended");
  gTrace.Clear();
  std::int16_t answer = 0;
  switch (op) {
    case kReadValue: answer = drvReadValue(&tag, v); break;
    case kReadBlock: answer = drvReadBlock(&tag, v); break;
    case kReadElement: answer = drvReadBlockElement(&tag, v); break;
    case kWriteValue: answer = drvWriteValue(&tag, v); break;
    case kWriteBlock: answer = drvWriteBlock(&tag, v); break;
    case kWriteElement: answer = drvWriteBlockElement(&tag, v); break;
  }
  if (!gTrace.Drain()) Fail("the simulator's trace ended");
  ++gStats.transactions;
  ++gStats.byOp[op];
  ++gStats.byKind[kind];
  gStats.frames += gTrace.count;
  for (int i = 0; i < gTrace.count; ++i)
    if (gTrace.responses[i].code != kOk) ++gStats.faultyResponses[CodeSlot(gTrace.responses[i].code)];

  const std::int32_t reg = Register(write ? VKTJX_REGISTER_WRITE : VKTJX_REGISTER_READ);
  const std::int32_t reg0 = Register(VKTJX_REGISTER_ANY);
  const bool refusedBits = write && kind == 0 && count > gBitWriteChunk && gLongBitWritesRefused;
  int soundNeeded = 0;
  ResultCode expected =
      count == 0 ? kOk : Expected(gTrace, FramesFor(kind, write, count), soundNeeded);
  if (answer == -1 && reg == kNoAnswer && expected == kMissing) {
    // The simulator had not even taken the request in when the first-byte time-out ran out:
    // on a shared machine it can be held off the processor that long. No answer is then the
    // right answer. Its late response must show up; it is let arrive and go stale, so that
    // the next transaction's flush of stale input takes it, as it would on a real line.
    const int before = gTrace.count;
    timespec pause{0, 400000000};
    nanosleep(&pause, nullptr);
    gTrace.Drain();
    if (gTrace.count == before) Fail("%s: no answer, and the request never reached the station",
                                     kOpNames[op]);
    ++gStats.lateSimulator;
    expected = kNoAnswer;
  }
  if (refusedBits) expected = kFrameTooLong;  // the first frame cannot be built: nothing sent
  const ResultCode got = answer == 1 ? kOk : reg;
  if (answer != 1 && answer != -1) Fail("%s answered %d", kOpNames[op], answer);
  if (gTrace.overflow) Fail("%s: more responses than the soak can follow", kOpNames[op]);
  if (got != expected || reg0 != got || (answer == 1 && reg != 0)) {
    Fail("%s station %d kind %d address %d count %d: answer %d, register %d/%d, expected %d "
         "(responses:%d)",
         kOpNames[op], station, kind, address, count, answer, reg, reg0, expected, gTrace.count);
  }
  if (refusedBits && gTrace.count != 0) Fail("a refused bit write reached the line");
  if (expected == kOk && !refusedBits && count > 0) {
    int sound = 0;
    for (int i = 0; i < gTrace.count; ++i) sound += gTrace.responses[i].code == kOk ? 1 : 0;
    if (sound != soundNeeded)
      Fail("%s kind %d count %d: %d frames answered, %d needed", kOpNames[op], kind, count, sound,
           soundNeeded);
  }
  ++gStats.byCode[got == kOk ? 7 : CodeSlot(got)];
  if (got == kOk) ++gStats.ok;
  else ++gStats.failed;

  if (!write) {
    if (got != kOk) {
      std::int32_t still = 0;
      if (hvType(v) != HV_TYPE_I32 || hvGetI32(v, &still) == 0 || still != kSentinel)
        Fail("%s failed with %d but changed the host value", kOpNames[op], got);
    } else if (op == kReadBlock) {
      if (hvType(v) != kArrayType[kind] || hvCount(v) != count) {
        Fail("drvReadBlock kind %d count %d gave type %u count %u", kind, count, hvType(v),
             hvCount(v));
      } else {
        for (int i = 0; i < count; ++i)
          if (!ElementMatches(v, kind, i, station, address + i, false)) {
            Fail("drvReadBlock station %d kind %d address %d count %d: element %d differs",
                 station, kind, address, count, i);
            break;
          }
      }
    } else if (!ElementMatches(v, kind, 0, station, address, true)) {
      Fail("%s station %d kind %d address %d: value differs", kOpNames[op], station, kind,
           address);
    }
  }
  return got;
}

void OneTransaction() {
  const Op op = static_cast<Op>(Uniform(0, 5));
  const int kind = Uniform(0, 2);
  const int station = Uniform(1, kStations);
  const bool write = op >= kWriteValue;
  const bool block = op == kReadBlock || op == kWriteBlock;
  int count = 1;
  if (block) {
    const int limit = kReadLimit[kind];
    const int r = Uniform(0, 99);
    if (r < 3) count = 0;
    else if (r < 55) count = Uniform(1, 16);
    else if (r < 85) count = Uniform(17, 249 / kElementSize[kind] + 2);
    else count = Uniform(1, limit);
  }
  // Now and then a run across the top of the address space, which wraps to 0.
  int address = Uniform(0, 99) < 5 ? Uniform(65536 - 30, 65535) : Uniform(0, 65535);
  int offset = 0;
  if (op == kReadElement || op == kWriteElement) {
    offset = Uniform(0, 99) < 5 ? Uniform(0, 40) : Uniform(0, 3);
  }
  HostTag tag{};
  tag.station = static_cast<std::int16_t>(station);
  tag.kind = static_cast<std::uint16_t>(kind);
  tag.address = static_cast<std::uint16_t>(address);
  tag.offset = static_cast<std::uint16_t>(offset);
  tag.count = static_cast<std::uint16_t>(op == kReadBlock ? count : 1);
  tag.writeCount = static_cast<std::uint16_t>(op == kWriteBlock ? count : 1);
  tag.size = static_cast<std::uint16_t>(count);
  const int element = address + offset;  // may pass 65535: the frame carries it modulo 65536

  if (!write) {
    if (op == kReadBlock && count == 0) ++gStats.emptyBlocks;
    Call(op, tag, gRead, station, kind, element, count);
    return;
  }
  HVALUE v = gWrite;
  if (op == kWriteBlock) {
    // Sometimes the host array is shorter than writeCount: the rest goes out as 0.
    const int given = Uniform(0, 9) == 0 ? Uniform(0, count) : count;
    hvDim(gWrite, static_cast<uint16_t>(kArrayType[kind]), static_cast<uint16_t>(given));
    MakeWriteValue(kind, count, given, false);
  } else if (Uniform(0, 49) == 0) {
    v = gEmpty;  // an empty host value: sent as 0
    MakeWriteValue(kind, 1, 0, true);
  } else {
    MakeWriteValue(kind, 1, 1, true);
  }
  // A failed write may have landed in part; it is sent again until it lands whole, as a
  // host would, so the shadow stays exact.
  for (int attempt = 0; attempt < 30; ++attempt) {
    if (attempt > 0) ++gStats.writeRepeats;
    const ResultCode rc = Call(op, tag, v, station, kind, element, count);
    if (rc == kOk) {
      Land(station, kind, element, count);
      return;
    }
    if (rc == kFrameTooLong && kind == 0 && gLongBitWritesRefused) return;  // nothing was sent
  }
  Fail("%s station %d kind %d address %d count %d never landed", kOpNames[op], station, kind,
       element, count);
}

// ---- resources -----------------------------------------------------------------------------

int OpenFds() {
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  int n = 0;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n - 1;  // the directory stream itself
}

long ResidentKb() {
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return -1;
  long size = 0, resident = 0;
  const int got = std::fscanf(f, "%ld %ld", &size, &resident);
  std::fclose(f);
  return got == 2 ? resident * (sysconf(_SC_PAGESIZE) / 1024) : -1;
}

// Live heap blocks with the soak's own host values emptied, so that what is left is the
// driver's and the value library's bookkeeping, not the size of the last block. Counted by the
// allocator replacement of heap_counter.cpp: the allocator's own figures also count the freed chunks it keeps
// cached, which fill up over a run without anything being held.
long HeapInUse() {
  for (HVALUE v : {gRead, gWrite}) hvDim(v, HV_TYPE_ARRAY_U8, 0);
  return vkt::test::LiveHeapBlocks();
}

// ---- the simulator's dump against the shadow -----------------------------------------------

void CompareDump(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) {
    Fail("no memory dump from the simulator at %s", path.c_str());
    return;
  }
  static bool seen[kStations + 1][3][65536];
  std::memset(seen, 0, sizeof seen);
  char line[256];
  long elements = 0, differ = 0;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (line[0] == '#') continue;
    int station = 0, address = 0;
    char kindName[8] = "", value[64] = "";
    if (std::sscanf(line, "%d %7s %d %63s", &station, kindName, &address, value) != 4 ||
        station < 1 || station > kStations || address < 0 || address > 65535) {
      Fail("unreadable dump line: %s", line);
      continue;
    }
    const int kind = std::strcmp(kindName, "bit") == 0 ? 0 : std::strcmp(kindName, "word") == 0 ? 1 : 2;
    ++elements;
    seen[station][kind][address] = true;
    bool same = false;
    if (kind == 0) same = std::strtol(value, nullptr, 0) == gShadow.bits[station][address];
    else if (kind == 1) same = std::strtol(value, nullptr, 0) == gShadow.words[station][address];
    else same = RawOf(std::strtof(value, nullptr)) == gShadow.floats[station][address];
    if (!same && ++differ <= 5)
      Fail("station %d %s %d holds %s, the soak wrote otherwise", station, kindName, address,
           value);
  }
  std::fclose(f);
  long missing = 0;
  for (int s = 1; s <= kStations; ++s)
    for (int k = 0; k < 3; ++k)
      for (int a = 0; a < 65536; ++a)
        if (gShadow.written[s][k][a] && !seen[s][k][a]) ++missing;
  if (missing != 0) Fail("%ld elements written by the soak are missing from the dump", missing);
  std::printf("vkt_soak: simulator dump: %ld elements written, %ld differ, %ld missing\n",
              elements, differ, missing);
}

bool WriteSettings() {
  std::FILE* f = std::fopen("VktJX.Cfg", "w");
  if (f == nullptr) return false;
  // A pseudo-terminal answers at once: a short first-byte time-out keeps silent stations cheap.
  std::fprintf(f, "[PC_PORT_SESSION]\npcpsPort=1\npcpsBaud=115200\npcpsVktRespTmo=100\n");
  return std::fclose(f) == 0;
}

struct Options {
  long transactions = 20000;
  long restartEvery = 2500;
  std::uint32_t seed = 1;
};

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--transactions" && i + 1 < argc) o.transactions = std::strtol(argv[++i], nullptr, 10);
    else if (a == "--seed" && i + 1 < argc) o.seed = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    else if (a == "--restart-every" && i + 1 < argc) o.restartEvery = std::strtol(argv[++i], nullptr, 10);
    else {
      std::fprintf(stderr, "usage: vkt_soak [--transactions N] [--seed S] [--restart-every K]\n");
      return false;
    }
  }
  return o.transactions >= 1 && o.restartEvery >= 1;
}

// Starts the simulator with the faults, its trace on a pipe read by gTrace and its memory
// dumped to `dumpPath` when it stops; the device it serves, empty if it did not start.
std::string StartSimulator(vkt::test::Child& sim, std::uint32_t seed, const std::string& dumpPath) {
  int tracePipe[2];
  if (pipe2(tracePipe, O_CLOEXEC) != 0) return {};
  fcntl(tracePipe[0], F_SETPIPE_SZ, 1 << 20);
  fcntl(tracePipe[0], F_SETFL, O_NONBLOCK);
  std::vector<std::string> simArgs = {VKTSIM_PATH, "--pattern", "--stations", "1-3", "--trace",
                                      "--seed", std::to_string(seed), "--memory-file", dumpPath};
  for (const char* f : kFaults) {
    simArgs.push_back("--fault");
    simArgs.push_back(f);
  }
  if (!sim.Start(simArgs, tracePipe[1])) return {};
  close(tracePipe[1]);
  gTrace.fd = tracePipe[0];
  return vkt::test::Field(sim.FirstLine(), "listening on ");
}

// How the driver takes a bit write of 249 values: in one frame it cannot be built (252 data
// bytes), so it is either refused with 16100 or sent in frames of fewer bits.
void ProbeLongBitWrites() {
  HostTag tag{};
  tag.station = 1;
  tag.kind = VKTJX_KIND_BIT;
  tag.address = 1000;
  tag.writeCount = 249;
  hvDim(gWrite, HV_TYPE_ARRAY_U8, 249);
  MakeWriteValue(0, 249, 249, false);
  for (int attempt = 0; attempt < 30; ++attempt) {
    gTrace.Drain();
    gTrace.Clear();
    const std::int16_t answer = drvWriteBlock(&tag, gWrite);
    gTrace.Drain();
    if (answer == 1) {
      gBitWriteChunk = 248;
      Land(1, 0, 1000, 249);
      break;
    }
    if (Register(VKTJX_REGISTER_WRITE) == kFrameTooLong && gTrace.count == 0) {
      gLongBitWritesRefused = true;
      gBitWriteChunk = 248;  // what passes: runs of 248 bits or fewer
      break;
    }
  }
  std::printf("vkt_soak: bit writes above 248 values are %s\n",
              gLongBitWritesRefused ? "refused with 16100 (frame too long)" : "split into frames");
}

// What the process holds: open descriptors, resident memory, live heap blocks.
struct Resources {
  int fds;
  long residentKb;
  long heapBlocks;
};

Resources Measure() {
  const int fds = OpenFds();
  const long rss = ResidentKb(), heap = HeapInUse();
  return {fds, rss, heap};
}

// The run proper, with a stop and a start every `restartEvery` transactions; the restarts.
long RunTransactions(const Options& o) {
  const double t0 = vkt::test::NowSeconds();
  long restarts = 0;
  for (long t = 1; t <= o.transactions && gFailures <= 20; ++t) {
    OneTransaction();
    if (t % o.restartEvery == 0) {
      // The whole lifecycle again: stop closes the port, start opens it anew.
      if (drvStopComm(0, 0, 0, 0) != 1 || drvStartComm(0, 0, 0, 0) != 1) Fail("restart failed");
      ++restarts;
    }
    if (t % 1000 == 0) {
      std::printf("vkt_soak: %ld transactions, %.0f s, fds %d, resident %ld kB, heap blocks %ld\n", t,
                  vkt::test::NowSeconds() - t0, OpenFds(), ResidentKb(), HeapInUse());
      std::fflush(stdout);
    }
  }
  return restarts;
}

void CheckResources(const Resources& before, const Resources& after) {
  if (after.fds != before.fds)
    Fail("open file descriptors went from %d to %d", before.fds, after.fds);
  if (gStats.lateSimulator * 100 > gStats.transactions)
    Fail("%ld transactions without an answer that the simulator gave late: too many to be the "
         "machine's load", gStats.lateSimulator);
  // Every block must have come back; resident memory may move by the allocator's caches.
  // (The sanitizer's quarantine of freed blocks makes resident memory grow by design.)
  if (vkt::test::kHeapCounted && after.heapBlocks != before.heapBlocks)
    Fail("live heap blocks went from %ld to %ld", before.heapBlocks, after.heapBlocks);
  if (vkt::test::kHeapCounted && after.residentKb - before.residentKb > 4096)
    Fail("resident memory grew by %ld kB", after.residentKb - before.residentKb);
  if (!vkt::test::kHeapCounted)
    std::printf("vkt_soak: heap and resident memory left to AddressSanitizer's leak check\n");
}

void PrintSummary(long warmup, long restarts, double elapsed, const Resources& before,
                  const Resources& after) {
  const Stats& s = gStats;
  std::printf("vkt_soak: %ld transactions (%ld in the warm-up, %ld repeats of failed writes, "
              "%ld empty blocks), %ld frames answered, %ld restarts, %.1f s\n",
              s.transactions, warmup, s.writeRepeats, s.emptyBlocks, s.frames, restarts, elapsed);
  std::printf("vkt_soak: simulator too late for the time-out %ld times\n", s.lateSimulator);
  std::printf("vkt_soak: faulty responses:");
  for (int i = 0; i < 6; ++i) std::printf(" %s %ld;", kCodeNames[i], s.faultyResponses[i]);
  std::printf("\n");
  std::printf("vkt_soak: by export:");
  for (int i = 0; i < 6; ++i) std::printf(" %s %ld", kOpNames[i], s.byOp[i]);
  std::printf("\nvkt_soak: by kind: bits %ld, words %ld, floats %ld\n", s.byKind[0], s.byKind[1],
              s.byKind[2]);
  std::printf("vkt_soak: %ld succeeded, %ld failed:", s.ok, s.failed);
  for (int i = 0; i < 7; ++i) std::printf(" %s %ld;", kCodeNames[i], s.byCode[i]);
  std::printf("\nvkt_soak: fds %d -> %d, resident %ld -> %ld kB, live heap blocks %ld -> %ld\n",
              before.fds, after.fds, before.residentKb, after.residentKb, before.heapBlocks,
              after.heapBlocks);
  std::printf("vkt_soak: %s (%d check failures)\n", gFailures == 0 ? "PASS" : "FAIL", gFailures);
}

// A failed run keeps its directory (settings, driver log, simulator dump) for a look.
void RemoveWorkDir(const char* dir) {
  if (gFailures == 0) {
    for (const char* f : {"VktJX.Cfg", "VKTJX.log", "memory.txt"})
      std::remove((std::string(dir) + "/" + f).c_str());
    rmdir(dir);
  } else {
    std::printf("vkt_soak: the run's files are in %s\n", dir);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, o)) return 2;
  gRandom.seed(o.seed);
  gShadow.Reset();
  signal(SIGPIPE, SIG_IGN);

  char dir[] = "/tmp/vkt_soak.XXXXXX";
  if (mkdtemp(dir) == nullptr || chdir(dir) != 0 || !WriteSettings()) {
    std::fprintf(stderr, "vkt_soak: cannot prepare a working directory\n");
    return 1;
  }
  const std::string dumpPath = std::string(dir) + "/memory.txt";

  vkt::test::Child sim;
  const std::string device = StartSimulator(sim, o.seed, dumpPath);
  if (device.empty()) {
    std::fprintf(stderr, "vkt_soak: the simulator did not start\n");
    return 1;
  }
  setenv("VKTJX_COM1", device.c_str(), 1);
  setenv("VKTJX_LOG", (std::string(dir) + "/VKTJX.log").c_str(), 1);

  if (drvStartComm(0, 0, 0, 0) != 1) {
    std::fprintf(stderr, "vkt_soak: drvStartComm failed\n");
    return 1;
  }
  gRead = hvNew();
  gWrite = hvNew();
  gEmpty = hvNew();
  ProbeLongBitWrites();

  // Warm-up before the baseline: the first calls fault in pages and fill the allocator's caches.
  for (int i = 0; i < 200; ++i) OneTransaction();
  const long warmup = gStats.transactions;
  const Resources before = Measure();
  std::printf("vkt_soak: baseline fds %d, resident %ld kB, live heap blocks %ld\n", before.fds,
              before.residentKb, before.heapBlocks);

  const double t0 = vkt::test::NowSeconds();
  const long restarts = RunTransactions(o);
  const double elapsed = vkt::test::NowSeconds() - t0;
  const Resources after = Measure();

  hvRelease(gRead);
  hvRelease(gWrite);
  hvRelease(gEmpty);
  drvStopComm(0, 0, 0, 0);
  sim.Stop();  // the simulator writes its dump as it stops
  CompareDump(dumpPath);
  CheckResources(before, after);
  PrintSummary(warmup, restarts, elapsed, before, after);
  RemoveWorkDir(dir);
  return gFailures == 0 ? 0 : 1;
}
