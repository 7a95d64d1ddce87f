// vkt_bench: the driver's side of the benchmark, through the exported functions.
//
//   vkt_bench [--single N] [--block N] [--speeds 0,9600,115200]
//       for each speed, the station simulator (answering at once) behind the paced relay
//       (speed 0: no relay, the driver on the simulator's own pseudo-terminal); N single-word
//       reads (drvReadValue) and N 300-word block reads (drvReadBlock), every value checked;
//       one ROW line per speed and size with the time per transaction, the line's limit for
//       the same work, and the heap allocations made inside the export calls;
//   vkt_bench --instr single|block N
//       N reads on the unpaced line, for callgrind with --toggle-collect on the export.
//
// Heap use is counted by the allocator replacement of heap_counter.cpp; each allocation made
// while an export runs is charged to the value library when its immediate caller lies in
// libet32b, else to the driver.
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "et32b.h"
#include "heap_counter.h"
#include "child_process.h"
#include "vktjx.h"

namespace {

// Counting is on only inside an export call, on the calling thread.
thread_local bool tCounting = false;
std::atomic<long> gDriverAllocs{0}, gValueAllocs{0};
std::uintptr_t gValueLibStart[8], gValueLibEnd[8];
int gValueLibRanges = 0;

void Charge(const void* caller) {
  if (!tCounting) return;
  const auto a = reinterpret_cast<std::uintptr_t>(caller);
  for (int i = 0; i < gValueLibRanges; ++i)
    if (a >= gValueLibStart[i] && a < gValueLibEnd[i]) {
      ++gValueAllocs;
      return;
    }
  ++gDriverAllocs;
}

int FindValueLibrary(dl_phdr_info* info, size_t, void*) {
  if (info->dlpi_name == nullptr || std::strstr(info->dlpi_name, "libet32b") == nullptr) return 0;
  for (int i = 0; i < info->dlpi_phnum && gValueLibRanges < 8; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    gValueLibStart[gValueLibRanges] = info->dlpi_addr + ph.p_vaddr;
    gValueLibEnd[gValueLibRanges] = info->dlpi_addr + ph.p_vaddr + ph.p_memsz;
    ++gValueLibRanges;
  }
  return 1;
}

}  // namespace

namespace {

constexpr std::int16_t kStation = 7;
constexpr int kBlockWords = 300;
constexpr int kWordsPerChunk = 124;
constexpr int kBitsPerByte = 10;  // 8N1

// The driver's per-byte read allowance at a speed: twice the character time of 8 data bits,
// 1 stop bit and the two framing bits it counts, rounded to whole ms.
int AllowanceMs(long baud) {
  const double t = 11.0 * 1000.0 / static_cast<double>(baud);
  return static_cast<int>(2.0 * t + 0.5);
}

// What the line itself costs for `words` words read in chunks of 124: per chunk the quiet-line
// read (5 ms plus the allowance for its one byte) and the bytes of request and response at
// the line's speed. Unpaced, the bytes cost nothing and the quiet-line read is the floor.
double LimitUs(long baud, int words) {
  double us = 0;
  for (int done = 0; done < words;) {
    const int k = words - done < kWordsPerChunk ? words - done : kWordsPerChunk;
    const long lineBaud = baud > 0 ? baud : 115200;
    us += (5 + AllowanceMs(lineBaud)) * 1000.0;
    if (baud > 0) us += (9.0 + 6.0 + 2.0 * k) * kBitsPerByte * 1e6 / static_cast<double>(baud);
    done += k;
  }
  return us;
}

HostTag Tag(std::uint16_t kind, std::uint16_t address, std::uint16_t count) {
  HostTag t{};
  t.station = kStation;
  t.kind = kind;
  t.address = address;
  t.count = count;
  return t;
}

// A place of our own for the settings file and the log, and the current directory there.
char gWorkDir[] = "/tmp/vkt_bench.XXXXXX";
bool gWorkDirMade = false;

void RemoveWorkDirectory() {
  if (!gWorkDirMade) return;
  for (const char* f : {"VktJX.Cfg", "VKTJX.log"})
    std::remove((std::string(gWorkDir) + "/" + f).c_str());
  rmdir(gWorkDir);
}

bool EnterWorkDirectory(long baud, const std::string& device) {
  char* dir = gWorkDir;
  if (!gWorkDirMade && mkdtemp(gWorkDir) == nullptr) return false;
  gWorkDirMade = true;
  if (chdir(dir) != 0) return false;
  std::FILE* f = std::fopen("VktJX.Cfg", "w");
  if (f == nullptr) return false;
  std::fprintf(f, "[PC_PORT_SESSION]\npcpsPort=1\npcpsBaud=%ld\n", baud > 0 ? baud : 115200L);
  std::fclose(f);
  setenv("VKTJX_COM1", device.c_str(), 1);
  setenv("VKTJX_LOG", (std::string(dir) + "/VKTJX.log").c_str(), 1);
  return true;
}

struct Line {
  vkt::test::Child sim, relay;
  std::string device;

  bool Open(long baud) {
    // The helpers' closing counts would only clutter the table.
    const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (!sim.Start({VKTSIM_PATH, "--pattern", "--stations", "7"}, quiet)) return false;
    const std::string simDevice = vkt::test::Field(sim.FirstLine(), "listening on ");
    if (simDevice.empty()) {
      close(quiet);
      return false;
    }
    if (baud == 0) {
      close(quiet);
      device = simDevice;
      return true;
    }
    if (!relay.Start({RELAY_PATH, "--baud", std::to_string(baud), "--peer", simDevice}, quiet))
      return false;
    close(quiet);
    device = vkt::test::Field(relay.FirstLine(), "A=");
    return !device.empty();
  }
};

struct Counts {
  long errors = 0;
  long driverAllocs = 0;
  long valueAllocs = 0;
};

// One single-word read at `address`; the simulator's pattern holds `address` there.
void SingleRead(HVALUE v, std::uint16_t address, Counts& c) {
  const HostTag tag = Tag(VKTJX_KIND_WORD, address, 1);
  const long d0 = gDriverAllocs, v0 = gValueAllocs;
  tCounting = true;
  const int16_t rc = drvReadValue(&tag, v);
  tCounting = false;
  c.driverAllocs += gDriverAllocs - d0;
  c.valueAllocs += gValueAllocs - v0;
  int16_t got = 0;
  if (rc != 1 || hvGetI16(v, &got) == 0 || got != static_cast<int16_t>(address)) ++c.errors;
}

void BlockRead(HVALUE v, std::uint16_t address, Counts& c) {
  const HostTag tag = Tag(VKTJX_KIND_WORD, address, kBlockWords);
  const long d0 = gDriverAllocs, v0 = gValueAllocs;
  tCounting = true;
  const int16_t rc = drvReadBlock(&tag, v);
  tCounting = false;
  c.driverAllocs += gDriverAllocs - d0;
  c.valueAllocs += gValueAllocs - v0;
  if (rc != 1 || hvCount(v) != kBlockWords) {
    ++c.errors;
    return;
  }
  for (int i = 0; i < kBlockWords; ++i) {
    int16_t got = 0;
    if (hvGetAtI16(v, static_cast<uint16_t>(i), &got) == 0 ||
        got != static_cast<int16_t>(address + i)) {
      ++c.errors;
      return;
    }
  }
}

std::uint16_t AddressOf(long i, int span) {
  return static_cast<std::uint16_t>((i * 97) % (65536 - span));
}

bool RunSpeed(long baud, long nSingle, long nBlock) {
  Line line;
  if (!line.Open(baud) || !EnterWorkDirectory(baud, line.device)) {
    std::fprintf(stderr, "vkt_bench: cannot set up the line at %ld\n", baud);
    return false;
  }
  if (drvStartComm(0, 0, 0, 0) != 1) {
    std::fprintf(stderr, "vkt_bench: drvStartComm failed on %s\n", line.device.c_str());
    return false;
  }
  const HVALUE v = hvNew();
  Counts warm;
  for (int i = 0; i < 5; ++i) SingleRead(v, static_cast<std::uint16_t>(i), warm);
  for (int i = 0; i < 2; ++i) BlockRead(v, static_cast<std::uint16_t>(i), warm);
  bool ok = warm.errors == 0;

  struct Job {
    const char* what;
    long n;
    int words;
  } jobs[] = {{"single", nSingle, 1}, {"block300", nBlock, kBlockWords}};
  for (const Job& job : jobs) {
    Counts c;
    const double t0 = vkt::test::NowSeconds();
    for (long i = 0; i < job.n; ++i) {
      const std::uint16_t address = AddressOf(i, job.words);
      if (job.words == 1) SingleRead(v, address, c);
      else BlockRead(v, address, c);
    }
    const double us = (vkt::test::NowSeconds() - t0) * 1e6 / static_cast<double>(job.n);
    const double limit = LimitUs(baud, job.words);
    std::printf("ROW who=driver baud=%ld what=%s n=%ld us_per_txn=%.1f limit_us=%.1f ratio=%.3f "
                "allocs_driver=%.3f allocs_value=%.3f errors=%ld\n",
                baud, job.what, job.n, us, limit, us / limit,
                static_cast<double>(c.driverAllocs) / static_cast<double>(job.n),
                static_cast<double>(c.valueAllocs) / static_cast<double>(job.n), c.errors);
    std::fflush(stdout);
    if (c.errors != 0) ok = false;
  }
  hvRelease(v);
  drvStopComm(0, 0, 0, 0);
  return ok;
}

int RunInstr(const std::string& what, long n) {
  Line line;
  if (!line.Open(0) || !EnterWorkDirectory(0, line.device) || drvStartComm(0, 0, 0, 0) != 1) {
    std::fprintf(stderr, "vkt_bench: cannot start the driver\n");
    return 1;
  }
  const HVALUE v = hvNew();
  Counts c;
  for (long i = 0; i < n; ++i) {
    if (what == "block") BlockRead(v, AddressOf(i, kBlockWords), c);
    else SingleRead(v, AddressOf(i, 1), c);
  }
  hvRelease(v);
  drvStopComm(0, 0, 0, 0);
  std::printf("INSTR what=%s calls=%ld errors=%ld pid=%ld\n", what.c_str(), n, c.errors,
              static_cast<long>(getpid()));
  return c.errors == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  dl_iterate_phdr(FindValueLibrary, nullptr);
  vkt::test::ObserveAllocations(Charge);
  if (gValueLibRanges == 0) {
    std::fprintf(stderr, "vkt_bench: libet32b is not loaded\n");
    return 1;
  }
  long nSingle = 200, nBlock = 20;
  std::vector<long> speeds = {0, 9600, 115200};
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--instr" && i + 2 < argc) {
      const std::string what = argv[i + 1];
      std::atexit(RemoveWorkDirectory);
      return RunInstr(what, std::strtol(argv[i + 2], nullptr, 10));
    } else if (a == "--single" && i + 1 < argc) {
      nSingle = std::strtol(argv[++i], nullptr, 10);
    } else if (a == "--block" && i + 1 < argc) {
      nBlock = std::strtol(argv[++i], nullptr, 10);
    } else if (a == "--speeds" && i + 1 < argc) {
      speeds.clear();
      for (char* p = argv[++i]; *p != '\0';) {
        speeds.push_back(std::strtol(p, &p, 10));
        if (*p == ',') ++p;
        else if (*p != '\0') return 2;
      }
    } else {
      std::fprintf(stderr, "usage: vkt_bench [--single N] [--block N] [--speeds LIST] | "
                           "--instr single|block N\n");
      return 2;
    }
  }
  if (nSingle < 1 || nBlock < 1) return 2;
  std::atexit(RemoveWorkDirectory);
  bool ok = true;
  for (long baud : speeds) ok = RunSpeed(baud, nSingle, nBlock) && ok;
  return ok ? 0 : 1;
}
