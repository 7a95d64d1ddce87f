// vkt_bench_relay: a serial line between two pseudo-terminals, paced at a chosen speed in both
// directions. A byte read from one side is handed to the other side when its last bit would
// have arrived over a wire of that speed: each direction has its own wire (full duplex, as on
// RS-232), and a byte starts once the one before it on the same wire has left. With --baud 0
// bytes are copied at once.
//
// Side A is always a new pseudo-terminal; side B is a second new one, or the device given with
// --peer (for instance the station simulator's pseudo-terminal). The first line on stdout is
// "relay: A=PATH B=PATH". SIGINT or SIGTERM stop it; the byte counts go to stderr.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

std::int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void MakeRaw(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return;
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~HUPCL;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &t);
}

// A new pseudo-terminal: the master side stays here, the slave is made raw once so that a
// client that leaves its settings alone still gets every byte unchanged.
bool OpenPty(int& master, std::string& slavePath) {
  master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
  const char* name = ptsname(master);
  if (name == nullptr) return false;
  slavePath = name;
  const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) return false;
  MakeRaw(slave);
  close(slave);
  MakeRaw(master);
  return true;
}

// One direction of the line: bytes in flight with the time each reaches the far end.
struct Wire {
  static constexpr std::size_t kSize = 1 << 16;
  std::uint8_t bytes[kSize];
  std::int64_t dueNs[kSize];
  std::size_t head = 0, count = 0;
  std::int64_t freeNs = 0;  // when the last byte queued has left the wire
  std::uint64_t carried = 0, dropped = 0;

  void Put(const std::uint8_t* in, std::size_t n, std::int64_t nowNs, std::int64_t byteNs) {
    for (std::size_t i = 0; i < n; ++i) {
      if (count == kSize) {
        ++dropped;
        continue;
      }
      const std::int64_t start = freeNs > nowNs ? freeNs : nowNs;
      freeNs = start + byteNs;
      const std::size_t at = (head + count) % kSize;
      bytes[at] = in[i];
      dueNs[at] = freeNs;
      ++count;
    }
  }
  std::int64_t NextDueNs() const { return count == 0 ? -1 : dueNs[head]; }

  // Hands every byte that has arrived to `fd`.
  void Deliver(int fd, std::int64_t nowNs) {
    while (count > 0 && dueNs[head] <= nowNs) {
      std::size_t n = 0;
      while (n < count && head + n < kSize && dueNs[head + n] <= nowNs) ++n;
      const ssize_t w = write(fd, bytes + head, n);
      if (w < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return;
        // Nobody on that side (a pseudo-terminal closed by its client): the bytes are lost,
        // as on a cable with nothing plugged in.
        dropped += count;
        head = 0;
        count = 0;
        return;
      }
      carried += static_cast<std::uint64_t>(w);
      head = (head + static_cast<std::size_t>(w)) % kSize;
      count -= static_cast<std::size_t>(w);
      if (static_cast<std::size_t>(w) < n) return;
    }
  }
};

Wire gToB, gToA;

}  // namespace

int main(int argc, char** argv) {
  long baud = 0;
  int bitsPerByte = 10;
  std::string peer;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--baud" && i + 1 < argc) {
      baud = std::strtol(argv[++i], nullptr, 10);
    } else if (arg == "--bits" && i + 1 < argc) {
      bitsPerByte = static_cast<int>(std::strtol(argv[++i], nullptr, 10));
    } else if (arg == "--peer" && i + 1 < argc) {
      peer = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: vkt_bench_relay [--baud N (0: unpaced)] [--bits N (per byte, default "
                   "10)] [--peer DEVICE]\n");
      return 2;
    }
  }
  if (baud < 0 || bitsPerByte < 1) return 2;
  const std::int64_t byteNs =
      baud == 0 ? 0 : static_cast<std::int64_t>(bitsPerByte) * 1000000000 / baud;

  // Wake-ups as close to the deadline as the kernel allows: a byte time at 115200 bit/s is
  // 87 us, the default timer slack 50 us.
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const int signalFd = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);

  int fdA = -1, fdB = -1;
  std::string pathA, pathB;
  if (!OpenPty(fdA, pathA)) {
    std::fprintf(stderr, "vkt_bench_relay: cannot create a pseudo-terminal: %s\n",
                 std::strerror(errno));
    return 1;
  }
  if (peer.empty()) {
    if (!OpenPty(fdB, pathB)) {
      std::fprintf(stderr, "vkt_bench_relay: cannot create a pseudo-terminal: %s\n",
                   std::strerror(errno));
      return 1;
    }
  } else {
    fdB = open(peer.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fdB < 0) {
      std::fprintf(stderr, "vkt_bench_relay: cannot open %s: %s\n", peer.c_str(),
                   std::strerror(errno));
      return 1;
    }
    MakeRaw(fdB);
    pathB = peer;
  }
  std::printf("relay: A=%s B=%s\n", pathA.c_str(), pathB.c_str());
  std::fflush(stdout);

  // A pseudo-terminal whose client has closed it reports a hang-up at every poll; such a side
  // is looked at again only every 2 ms, so the relay does not spin.
  constexpr std::int64_t kHangUpRecheckNs = 2000000;
  std::int64_t quietUntil[2] = {0, 0};
  std::uint8_t buffer[4096];
  bool running = true;
  while (running) {
    std::int64_t now = NowNs();
    const int fds[2] = {fdA, fdB};
    Wire* outOf[2] = {&gToB, &gToA};  // what a byte read on side i travels on
    Wire* into[2] = {&gToA, &gToB};   // what side i receives
    pollfd p[3];
    p[0] = {signalFd, POLLIN, 0};
    int n = 1;
    int sideOf[3] = {-1, -1, -1};
    std::int64_t due = -1;
    for (int s = 0; s < 2; ++s) {
      const std::int64_t d = into[s]->NextDueNs();
      if (d >= 0 && (due < 0 || d < due)) due = d;
      if (now < quietUntil[s]) {
        if (due < 0 || quietUntil[s] < due) due = quietUntil[s];
        continue;
      }
      p[n] = {fds[s], POLLIN, 0};
      sideOf[n] = s;
      ++n;
    }
    timespec timeout{};
    timespec* timeoutPtr = nullptr;
    if (due >= 0) {
      const std::int64_t wait = due > now ? due - now : 0;
      timeout.tv_sec = static_cast<time_t>(wait / 1000000000);
      timeout.tv_nsec = static_cast<long>(wait % 1000000000);
      timeoutPtr = &timeout;
    }
    const int ready = ppoll(p, static_cast<nfds_t>(n), timeoutPtr, nullptr);
    if (ready < 0 && errno != EINTR) break;
    now = NowNs();
    if (ready > 0 && (p[0].revents & POLLIN)) running = false;
    for (int i = 1; i < n; ++i) {
      if (p[i].revents == 0) continue;
      const int s = sideOf[i];
      for (;;) {
        const ssize_t r = read(fds[s], buffer, sizeof buffer);
        if (r > 0) {
          outOf[s]->Put(buffer, static_cast<std::size_t>(r), now, byteNs);
          continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno == EAGAIN) break;
        quietUntil[s] = now + kHangUpRecheckNs;  // end of file or EIO: nobody on that side
        break;
      }
    }
    gToB.Deliver(fdB, now);
    gToA.Deliver(fdA, now);
  }
  std::fprintf(stderr, "vkt_bench_relay: A->B %llu bytes, B->A %llu bytes, dropped %llu\n",
               static_cast<unsigned long long>(gToB.carried),
               static_cast<unsigned long long>(gToA.carried),
               static_cast<unsigned long long>(gToB.dropped + gToA.dropped));
  return 0;
}
