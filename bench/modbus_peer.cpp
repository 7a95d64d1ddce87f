// vkt_bench_modbus: the peer of the benchmark, a libmodbus RTU master reading holding registers
// from a libmodbus RTU server, over the same paced relay that carries the driver's line.
//
//   vkt_bench_modbus --relay PATH --baud B --registers R --n N
//       times N transactions of R registers (in calls of at most 125) and prints one ROW line;
//   vkt_bench_modbus --relay PATH --registers 1 --n N --instr
//       the same without pacing, for callgrind: only the calls of modbus_read_registers count;
//   vkt_bench_modbus --serve DEVICE
//       the server: slave 1, register a holds a (16 bits); used by the modes above.
#include <fcntl.h>
#include <modbus/modbus.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "child_process.h"

namespace {

constexpr int kSlave = 1;
constexpr int kMaxPerCall = 125;  // MODBUS_MAX_READ_REGISTERS
constexpr int kBitsPerByte = 10;  // 8N1

int Serve(const char* device) {
  modbus_t* ctx = modbus_new_rtu(device, 115200, 'N', 8, 1);
  if (ctx == nullptr || modbus_set_slave(ctx, kSlave) != 0 || modbus_connect(ctx) != 0) {
    std::fprintf(stderr, "vkt_bench_modbus: cannot serve %s: %s\n", device,
                 modbus_strerror(errno));
    return 1;
  }
  modbus_mapping_t* map = modbus_mapping_new(0, 0, 65535, 0);
  if (map == nullptr) return 1;
  for (int a = 0; a < 65535; ++a) map->tab_registers[a] = static_cast<std::uint16_t>(a);
  std::printf("serving %s\n", device);
  std::fflush(stdout);
  std::uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
  for (;;) {
    const int rc = modbus_receive(ctx, query);
    if (rc > 0) {
      modbus_reply(ctx, query, rc, map);
    } else if (rc < 0 && errno != EMBBADCRC) {
      usleep(1000);  // the client side is closed: wait for it to come back or for SIGTERM
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string relay, serve;
  long baud = 0, registers = 1, n = 100;
  bool instr = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
    if (a == "--relay") relay = next();
    else if (a == "--serve") serve = next();
    else if (a == "--baud") baud = std::strtol(next().c_str(), nullptr, 10);
    else if (a == "--registers") registers = std::strtol(next().c_str(), nullptr, 10);
    else if (a == "--n") n = std::strtol(next().c_str(), nullptr, 10);
    else if (a == "--instr") instr = true;
    else {
      std::fprintf(stderr, "vkt_bench_modbus: unknown argument %s\n", a.c_str());
      return 2;
    }
  }
  if (!serve.empty()) return Serve(serve.c_str());
  if (relay.empty() || registers < 1 || registers > 1000 || n < 1) {
    std::fprintf(stderr, "usage: vkt_bench_modbus --relay PATH [--baud B] [--registers R] [--n N] "
                         "[--instr]\n");
    return 2;
  }

  vkt::test::Child line, server;
  const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (!line.Start({relay, "--baud", std::to_string(instr ? 0 : baud)}, quiet)) return 1;
  const std::string paths = line.FirstLine();
  const std::string a = vkt::test::Field(paths, "A="), b = vkt::test::Field(paths, "B=");
  if (a.empty() || b.empty()) {
    std::fprintf(stderr, "vkt_bench_modbus: the relay did not start\n");
    return 1;
  }
  char self[4096];
  const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
  if (len <= 0) return 1;
  self[len] = '\0';
  if (!server.Start({self, "--serve", b}) || server.FirstLine().empty()) {
    std::fprintf(stderr, "vkt_bench_modbus: the server did not start\n");
    return 1;
  }

  modbus_t* ctx = modbus_new_rtu(a.c_str(), baud > 0 ? static_cast<int>(baud) : 115200, 'N', 8, 1);
  if (ctx == nullptr || modbus_set_slave(ctx, kSlave) != 0 || modbus_connect(ctx) != 0) {
    std::fprintf(stderr, "vkt_bench_modbus: cannot open %s\n", a.c_str());
    return 1;
  }
  std::uint16_t regs[1000];
  long errors = 0, calls = 0;
  auto transaction = [&](int address) {
    for (int done = 0; done < registers;) {
      const int k = static_cast<int>(registers - done) < kMaxPerCall
                        ? static_cast<int>(registers - done) : kMaxPerCall;
      ++calls;
      if (modbus_read_registers(ctx, address + done, k, regs + done) != k) {
        ++errors;
        return;
      }
      done += k;
    }
    for (int i = 0; i < registers; ++i)
      if (regs[i] != static_cast<std::uint16_t>(address + i)) {
        ++errors;
        return;
      }
  };
  // Warm-up (page faults, first opens), except when every call is to be counted.
  if (!instr)
    for (int w = 0; w < 5; ++w) transaction(100 + w);
  errors = 0;
  calls = 0;
  const double t0 = vkt::test::NowSeconds();
  for (long t = 0; t < n; ++t) transaction(static_cast<int>((t * 37) % 60000));
  const double elapsed = vkt::test::NowSeconds() - t0;
  modbus_close(ctx);
  modbus_free(ctx);

  // The wire: per call an 8-byte request and a response of 5 bytes plus 2 per register.
  double wireBytes = 0;
  for (long done = 0; done < registers;) {
    const long k = registers - done < kMaxPerCall ? registers - done : kMaxPerCall;
    wireBytes += 8 + 5 + 2 * k;
    done += k;
  }
  const double wireUs = baud > 0 ? wireBytes * kBitsPerByte * 1e6 / static_cast<double>(baud) : 0;
  const double perTxnUs = elapsed * 1e6 / static_cast<double>(n);
  std::printf("ROW who=peer baud=%ld registers=%ld n=%ld calls=%ld us_per_txn=%.1f limit_us=%.1f "
              "ratio=%.3f errors=%ld\n",
              instr ? 0 : baud, registers, n, calls, perTxnUs, wireUs,
              wireUs > 0 ? perTxnUs / wireUs : 0.0, errors);
  return errors == 0 ? 0 : 1;
}
