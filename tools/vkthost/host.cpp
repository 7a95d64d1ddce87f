#include "host.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>

#include "common/result_codes.h"

namespace vkthost {

namespace {

volatile sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) { g_interrupted = 1; }

const char* RegisterName(int index) {
  switch (index) {
    case kRegLast: return "last";
    case kRegStart: return "start";
    case kRegRead: return "read";
    case kRegWrite: return "write";
  }
  return "?";
}

std::uint16_t ArrayType(Kind kind) {
  return kind == kBit ? kArrayU8 : kind == kWord ? kArrayI16 : kArrayR32;
}

double NowMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// Sleeps `ms`, returning early on Ctrl-C.
void SleepMs(int ms) {
  const double end = NowMs() + ms;
  while (!Interrupted()) {
    const double left = end - NowMs();
    if (left <= 0) break;
    const double step = std::min(left, 100.0);
    timespec ts{static_cast<time_t>(step / 1000), static_cast<long>(std::fmod(step, 1000.0) * 1e6)};
    nanosleep(&ts, nullptr);
  }
}

std::string Ms(double ms) {
  char b[32];
  std::snprintf(b, sizeof b, "%.1f", ms);
  return b;
}

}  // namespace

void InstallInterruptHandler() {
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sa.sa_flags = SA_RESETHAND;  // a second Ctrl-C ends the process
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

bool Interrupted() { return g_interrupted != 0; }

std::string TagText(const Command& c) {
  if (c.kind == kReg) return "error register " + std::to_string(c.address);
  return "station " + std::to_string(c.station) + " " + KindName(c.kind) + " " +
         std::to_string(c.address);
}

std::string FormatValue(Kind kind, double v) {
  if (kind != kFloat) return std::to_string(static_cast<long long>(v));
  // The shortest text that reads back as the same float; plain digits where that is short.
  const float f = static_cast<float>(v);
  const float magnitude = std::fabs(f);
  const bool plain = f == 0 || (magnitude >= 1e-4f && magnitude < 1e9f);
  char b[64];
  const auto r = plain ? std::to_chars(b, b + sizeof b, f, std::chars_format::fixed)
                       : std::to_chars(b, b + sizeof b, f);
  return std::string(b, r.ptr);
}

void PrintValues(std::FILE* out, Kind kind, std::uint16_t address,
                 const std::vector<double>& values, const char* indent) {
  for (std::size_t i = 0; i < values.size(); i += 10) {
    std::fprintf(out, "%s%5zu:", indent, address + i);
    for (std::size_t j = i; j < values.size() && j < i + 10; ++j)
      std::fprintf(out, " %s", FormatValue(kind, values[j]).c_str());
    std::fprintf(out, "\n");
  }
}

void PrintCodes(std::FILE* out, bool markdown) {
  int n = 0;
  const vkt::ResultCodeInfo* table = vkt::ResultCodeTable(&n);
  if (markdown) std::fprintf(out, "| code | meaning |\n|---:|---|\n");
  for (int i = 0; i < n; ++i) {
    if (markdown)
      std::fprintf(out, "| %d | %s |\n", table[i].code, table[i].message);
    else
      std::fprintf(out, "%6d  %s\n", table[i].code, table[i].message);
  }
  if (markdown)
    std::fprintf(out, "| 1..127, 160..255 | %s (the station's own status byte) |\n",
                 vkt::ResultMessage(1));
  else
    std::fprintf(out, "1..127, 160..255  %s (the station's own status byte)\n",
                 vkt::ResultMessage(1));
}

bool Host::Start(std::uint16_t logCode) {
  const std::int16_t rc = api_.drvStartComm(0, 0, 0, logCode);
  started_ = true;
  if (rc == 1) return true;
  PrintFailure("start", Register(kRegStart), nullptr);
  return false;
}

void Host::Stop() {
  if (started_) api_.drvStopComm(0, 0, 0, 0);
  started_ = false;
}

std::int32_t Host::Register(std::uint16_t index) {
  HostTag tag{};
  tag.kind = kReg;
  tag.address = index;
  tag.count = 1;
  Value v(api_);
  std::int32_t code = 0;
  // A register read neither clears nor sets any register.
  if (api_.drvReadValue(&tag, v.handle()) != 1 || api_.hvGetI32(v.handle(), &code) == 0)
    return -1;
  return code;
}

void Host::PrintFailure(const char* what, std::int32_t code, const Command* c) const {
  FailureContext context;
  context.dir = dir_;
  std::string subject = what;
  if (c != nullptr) {
    context.station = c->station;
    subject += " " + TagText(*c);
  }
  std::fprintf(stderr, "vkthost: %s failed: %s\n", subject.c_str(),
               DescribeFailure(code, context).c_str());
}

ReadResult Host::Read(const Command& c) {
  ReadResult r;
  const std::uint16_t n = c.hasCount ? c.count : 1;
  if (c.kind == kReg) {
    for (std::uint16_t i = 0; i < n; ++i)
      r.values.push_back(Register(static_cast<std::uint16_t>(c.address + i)));
    r.ok = true;
    return r;
  }
  HostTag tag{};
  tag.station = c.station;
  tag.kind = c.kind;
  tag.address = c.address;
  tag.count = n;
  tag.size = n;
  Value v(api_);
  if (!v.valid()) {
    r.problem = "the value library made no value";
    return r;
  }
  const double t0 = NowMs();
  const std::int16_t rc =
      c.hasCount ? api_.drvReadBlock(&tag, v.handle()) : api_.drvReadValue(&tag, v.handle());
  r.ms = NowMs() - t0;
  if (rc != 1) {
    r.code = Register(kRegRead);
    return r;
  }
  const HValue h = v.handle();
  if (!c.hasCount) {
    if (c.kind == kFloat) {
      float f = 0;
      if (api_.hvGetR32(h, &f) == 0) r.problem = "the driver answered 1 but left no value";
      r.values.push_back(f);
    } else {
      std::int32_t i = 0;
      if (api_.hvGetI32(h, &i) == 0) r.problem = "the driver answered 1 but left no value";
      r.values.push_back(i);
    }
  } else {
    if (api_.hvType(h) != ArrayType(c.kind) || api_.hvCount(h) != n) {
      r.problem = "the driver answered 1 but the value is not an array of " +
                  std::to_string(n) + " " + KindName(c.kind) + "s";
    } else {
      for (std::uint16_t i = 0; i < n; ++i) {
        if (c.kind == kFloat) {
          float f = 0;
          api_.hvGetAtR32(h, i, &f);
          r.values.push_back(f);
        } else {
          std::int16_t w = 0;
          api_.hvGetAtI16(h, i, &w);
          r.values.push_back(w);
        }
      }
    }
  }
  r.ok = r.problem.empty();
  return r;
}

std::int32_t Host::Write(const Command& c) {
  const std::uint16_t n = c.count;
  HostTag tag{};
  tag.station = c.station;
  tag.kind = c.kind;
  tag.address = c.address;
  tag.writeCount = n;
  tag.count = n;
  tag.size = n;
  Value v(api_);
  const HValue h = v.handle();
  std::int16_t rc;
  if (n == 1) {
    if (c.kind == kFloat) api_.hvSetR32(h, c.floats[0]);
    else if (c.kind == kBit) api_.hvSetU8(h, static_cast<std::uint8_t>(c.ints[0]));
    else api_.hvSetI16(h, static_cast<std::int16_t>(c.ints[0]));
    rc = api_.drvWriteValue(&tag, h);
  } else {
    const Kind arrayKind = c.kind == kReg ? kWord : c.kind;
    api_.hvDim(h, ArrayType(arrayKind), n);
    for (std::uint16_t i = 0; i < n; ++i) {
      if (c.kind == kFloat) api_.hvSetAtR32(h, i, c.floats[i]);
      else if (c.kind == kBit) api_.hvSetAtU8(h, i, static_cast<std::uint8_t>(c.ints[i]));
      else api_.hvSetAtI16(h, i, static_cast<std::int16_t>(c.ints[i]));
    }
    rc = api_.drvWriteBlock(&tag, h);
  }
  return rc == 1 ? 0 : Register(kRegWrite);
}

int Host::Run(const Command& c) {
  switch (c.verb) {
    case Verb::kRead: return RunRead(c);
    case Verb::kWrite: return RunWrite(c);
    case Verb::kPoll: return RunPoll(c);
    case Verb::kCodes: PrintCodes(stdout, c.markdown); return 0;
    case Verb::kDemo:
    case Verb::kDecode: break;  // run by main, without a driver start
  }
  return 2;
}

int Host::RunRead(const Command& c) {
  const ReadResult r = Read(c);
  if (!r.problem.empty()) {
    std::fprintf(stderr, "vkthost: read %s: %s\n", TagText(c).c_str(), r.problem.c_str());
    return 1;
  }
  if (!r.ok) {
    PrintFailure("read", r.code, &c);
    return 1;
  }
  if (c.kind == kReg) {
    for (std::size_t i = 0; i < r.values.size(); ++i) {
      const int index = c.address + static_cast<int>(i);
      const auto code = static_cast<std::int32_t>(r.values[i]);
      std::printf("error register %d (%s) = %d", index, RegisterName(index), code);
      if (code != 0) std::printf(": %s", vkt::ResultMessage(code));
      std::printf("\n");
    }
  } else if (!c.hasCount) {
    std::printf("%s = %s\n", TagText(c).c_str(), FormatValue(c.kind, r.values[0]).c_str());
  } else {
    std::printf("%s, %zu values:\n", TagText(c).c_str(), r.values.size());
    PrintValues(stdout, c.kind, c.address, r.values, "  ");
  }
  std::fflush(stdout);
  return 0;
}

int Host::RunWrite(const Command& c) {
  const std::int32_t code = Write(c);
  if (code != 0) {
    PrintFailure("write", code, &c);
    return 1;
  }
  std::printf("%s: wrote %u value%s\n", TagText(c).c_str(), c.count, c.count == 1 ? "" : "s");
  std::fflush(stdout);
  return 0;
}

int Host::RunPoll(const Command& c) {
  const bool live = isatty(STDOUT_FILENO) == 1;
  long done = 0, failed = 0;
  double minMs = 0, maxMs = 0, sumMs = 0;
  std::int32_t lastCode = 0;
  long lastFailure = 0;
  std::string lastProblem;
  std::vector<double> lastValues;
  Command block = c;
  block.hasCount = true;

  for (long n = 1; (c.times == 0 || n <= c.times) && !Interrupted(); ++n) {
    const ReadResult r = Read(block);
    if (r.ok) {
      ++done;
      sumMs += r.ms;
      minMs = done == 1 ? r.ms : std::min(minMs, r.ms);
      maxMs = done == 1 ? r.ms : std::max(maxMs, r.ms);
      lastValues = r.values;
    } else {
      ++failed;
      lastCode = r.code;
      lastProblem = r.problem;
      lastFailure = n;
    }
    if (live) {
      std::printf("\x1b[H\x1b[2J");
      std::printf("vkthost poll  %s..%u  every %d ms  (Ctrl-C stops)\n\n", TagText(c).c_str(),
                  c.address + c.count - 1, c.intervalMs);
      std::printf("reads %ld: %ld done, %ld failed\n", n, done, failed);
      if (done > 0)
        std::printf("response ms: min %s  mean %s  max %s\n", Ms(minMs).c_str(),
                    Ms(sumMs / done).c_str(), Ms(maxMs).c_str());
      if (failed > 0) {
        std::printf("last failure (read %ld): %s\n", lastFailure,
                    lastProblem.empty() ? (std::to_string(lastCode) + ": " +
                                           vkt::ResultMessage(lastCode)).c_str()
                                        : lastProblem.c_str());
      }
      if (done == 0) {
        std::printf("\nvalues: none yet, no read has worked\n");
      } else {
        std::printf("\n%s\n", r.ok ? "values:" : "values (from the last read that worked):");
        PrintValues(stdout, c.kind, c.address, lastValues, "  ");
      }
    } else if (r.ok) {
      std::printf("read %ld ok %s ms:", n, Ms(r.ms).c_str());
      for (double v : r.values) std::printf(" %s", FormatValue(c.kind, v).c_str());
      std::printf("\n");
    } else if (!r.problem.empty()) {
      std::printf("read %ld failed: %s\n", n, r.problem.c_str());
    } else {
      std::printf("read %ld failed after %s ms: %d: %s\n", n, Ms(r.ms).c_str(), r.code,
                  vkt::ResultMessage(r.code));
    }
    std::fflush(stdout);
    if (c.times != 0 && n == c.times) break;
    SleepMs(c.intervalMs);
  }
  std::printf("poll: %ld reads: %ld done, %ld failed", done + failed, done, failed);
  if (done > 0)
    std::printf("; response ms min %s mean %s max %s", Ms(minMs).c_str(), Ms(sumMs / done).c_str(),
                Ms(maxMs).c_str());
  std::printf("\n");
  std::fflush(stdout);
  if (failed > 0 && lastProblem.empty()) PrintFailure("last read of poll", lastCode, &c);
  return failed > 0 ? 1 : 0;
}

}  // namespace vkthost
