// The POSIX backend of the serial seam: each Win32-shaped call is given, on a Linux tty, the
// effect the serial line driver relies on. The line is always raw (no echo, no CR/LF
// translation, VMIN = VTIME = 0); the read and write time-outs are emulated with ppoll against
// monotonic deadlines, because the 100 ms unit of VTIME cannot express the driver's 5 ms waits.
//
// Port COM<n> (n = 1..8) is the device named by VKTJX_COM<n> when that is set and not empty,
// else /dev/ttyS<n-1>. What a device cannot do (a pseudo-terminal has no modem lines, error
// counters or RS-485 mode) answers false, and the requested line state is kept in the port
// object so that reading it back returns what was set.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <mutex>

#include "serial/comm_platform.h"

namespace vkt::serial {

namespace posix {
// Any line speed through termios2 (platform_posix_speed.cpp: its kernel header clashes with
// <termios.h>).
bool ReadLineSpeed(int fd, std::uint32_t& baud);
bool WriteLineSpeed(int fd, std::uint32_t baud);
}  // namespace posix

namespace {

constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;
constexpr int kLowestPort = 1;
constexpr int kHighestPort = 8;
// The version records of the Win32 query: OSVERSIONINFOA and OSVERSIONINFOEXA.
constexpr std::uint32_t kVersionInfoSize = 148;
constexpr std::uint32_t kVersionInfoExSize = 156;
// The NT family: the system keys RTS for RS-485 (kernel RS-485 mode or the write emulation).
constexpr std::uint32_t kPlatformNt = 2;

std::int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits for `events` on fd until the monotonic `deadlineMs` (-1: no deadline). Returns the
// poll result: >0 ready, 0 deadline passed, <0 error (EINTR is retried).
int PollUntil(int fd, short events, std::int64_t deadlineMs) {
  for (;;) {
    pollfd p{fd, events, 0};
    timespec wait{};
    timespec* waitp = nullptr;
    if (deadlineMs >= 0) {
      std::int64_t left = deadlineMs - NowMs();
      if (left < 0) left = 0;
      wait.tv_sec = static_cast<time_t>(left / 1000);
      wait.tv_nsec = static_cast<long>((left % 1000) * 1000000);
      waitp = &wait;
    }
    const int rc = ppoll(&p, 1, waitp, nullptr);
    if (rc < 0 && errno == EINTR) continue;
    if (rc > 0 && (p.revents & (POLLERR | POLLNVAL))) {
      errno = EIO;
      return -1;
    }
    return rc;
  }
}

struct StandardSpeed {
  std::uint32_t baud;
  speed_t code;
};

constexpr StandardSpeed kStandardSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedCode(std::uint32_t baud, speed_t& code) {
  for (const StandardSpeed& s : kStandardSpeeds)
    if (s.baud == baud) {
      code = s.code;
      return true;
    }
  return false;
}

std::uint32_t SpeedOfCode(speed_t code) {
  for (const StandardSpeed& s : kStandardSpeeds)
    if (s.code == code) return s.baud;
  return 0;
}

// One open device and what the emulation keeps about it.
struct Port {
  int fd = -1;
  CommState state;
  CommTimeouts timeouts;
  std::uint32_t mask = 0;
  // RS-485 keying: the kernel does it (rs485Kernel) or the write emulation raises RTS.
  bool rs485Kernel = false;
  bool toggleRts = false;
  // Error counters at the last ClearCommError; unusable on devices without them.
  bool haveCounters = false;
  serial_icounter_struct counters{};
};

// Reads the device's raw line back into a CommState, for the state before the driver sets one.
void DescribeLine(int fd, const termios& t, CommState& s) {
  std::uint32_t baud = 0;
  if (!posix::ReadLineSpeed(fd, baud)) baud = SpeedOfCode(cfgetospeed(&t));
  s.BaudRate = baud;
  switch (t.c_cflag & CSIZE) {
    case CS5: s.ByteSize = 5; break;
    case CS6: s.ByteSize = 6; break;
    case CS7: s.ByteSize = 7; break;
    default: s.ByteSize = 8; break;
  }
  if (!(t.c_cflag & PARENB)) {
    s.Parity = 0;
  } else if (t.c_cflag & CMSPAR) {
    s.Parity = (t.c_cflag & PARODD) ? 3 : 4;
  } else {
    s.Parity = (t.c_cflag & PARODD) ? 1 : 2;
  }
  s.StopBits = (t.c_cflag & CSTOPB) ? kTwoStopBits : kOneStopBit;
  s.fBinary = true;
  s.fParity = (t.c_cflag & PARENB) != 0;
  s.fOutxCtsFlow = (t.c_cflag & CRTSCTS) != 0;
  s.fRtsControl = s.fOutxCtsFlow ? kRtsControlHandshake : kRtsControlEnable;
  s.fDtrControl = kDtrControlEnable;
  s.fOutX = (t.c_iflag & IXON) != 0;
  s.fInX = (t.c_iflag & IXOFF) != 0;
}

void MakeRaw(termios& t) {
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
}

bool ModemLine(int fd, int bit, bool on) {
  int bits = bit;
  return ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0;
}

// Waits until the transmitter has sent every queued byte, or until `deadlineMs`. True when empty.
bool WaitTransmitterEmpty(int fd, std::int64_t deadlineMs) {
  for (;;) {
    unsigned int lsr = 0;
    int queued = 0;
    bool empty;
    if (ioctl(fd, TIOCSERGETLSR, &lsr) == 0) {
      empty = (lsr & TIOCSER_TEMT) != 0;
    } else if (ioctl(fd, TIOCOUTQ, &queued) == 0) {
      empty = queued <= 0;
    } else {
      return true;  // the device cannot tell: nothing more to wait for
    }
    if (empty) return true;
    if (deadlineMs >= 0 && NowMs() >= deadlineMs) return false;
    const timespec step{0, 500000};
    nanosleep(&step, nullptr);
  }
}

class PosixPlatform final : public CommPlatform {
 public:
  CommHandle CreateFile(const char* deviceName) override {
    const int n = PortNumber(deviceName);
    if (n < 0) {
      errno = ENOENT;
      return kNoHandle;
    }
    char envName[16];
    std::snprintf(envName, sizeof envName, "VKTJX_COM%d", n);
    char fallback[32];
    std::snprintf(fallback, sizeof fallback, "/dev/ttyS%d", n - 1);
    const char* env = std::getenv(envName);
    const char* path = (env && *env) ? env : fallback;

    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return kNoHandle;
    termios t{};
    if (!isatty(fd) || tcgetattr(fd, &t) != 0) {
      ::close(fd);
      errno = ENOTTY;
      return kNoHandle;
    }
    // Exclusive use: TIOCEXCL stops later opens of the device, flock catches a holder that
    // opened it before us (both advisory against a privileged process).
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      ::close(fd);
      errno = EBUSY;
      return kNoHandle;
    }
    ioctl(fd, TIOCEXCL);

    Port port;
    port.fd = fd;
    // The line is raw from the start, and the state read back describes that raw line.
    MakeRaw(t);
    tcsetattr(fd, TCSANOW, &t);
    DescribeLine(fd, t, port.state);
    serial_icounter_struct c{};
    port.haveCounters = ioctl(fd, TIOCGICOUNT, &c) == 0;
    port.counters = c;

    std::lock_guard<std::mutex> lock(openClose_);
    for (int i = 0; i < kSlots; ++i) {
      Slot& slot = slots_[i];
      if (slot.handle.load(std::memory_order_relaxed) != kNoHandle) continue;
      slot.port = port;
      // Each open gets a fresh serial number, so a stale handle never names a reused slot.
      serial_ = (serial_ + 1) & kSerialMask;
      const CommHandle h = (static_cast<CommHandle>(serial_ + 1) << kSlotBits) |
                           static_cast<CommHandle>(i + 1);
      slot.handle.store(h, std::memory_order_release);
      return h;
    }
    ::close(fd);
    errno = EMFILE;
    return kNoHandle;
  }

  bool CloseHandle(CommHandle h) override {
    int fd;
    {
      std::lock_guard<std::mutex> lock(openClose_);
      Port* p = Find(h);
      if (!p) return false;
      fd = p->fd;
      slots_[SlotIndex(h)].handle.store(kNoHandle, std::memory_order_release);
    }
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
    return ::close(fd) == 0;
  }

  bool GetCommProperties(CommHandle h, CommProperties& props) override {
    Port* p = Find(h);
    if (!p) return false;
    props.dwServiceMask = SP_SERIALCOMM;
    props.dwProvCapabilities = PCF_TOTALTIMEOUTS | PCF_INTTIMEOUTS | PCF_RTSCTS;
    return true;
  }

  bool GetCommState(CommHandle h, CommState& state) override {
    Port* p = Find(h);
    if (!p) return false;
    state = p->state;
    return true;
  }

  bool SetCommState(CommHandle h, const CommState& s) override {
    Port* p = Find(h);
    if (!p) return false;
    if (s.BaudRate == 0 || s.ByteSize < 5 || s.ByteSize > 8 || s.Parity > 4 || s.StopBits > 2 ||
        s.fDtrControl > 2 || s.fRtsControl > 3) {
      errno = EINVAL;
      return false;
    }
    termios t{};
    if (tcgetattr(p->fd, &t) != 0) return false;
    MakeRaw(t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[s.ByteSize - 5];
    switch (s.Parity) {
      case 1: t.c_cflag |= PARENB | PARODD; break;
      case 2: t.c_cflag |= PARENB; break;
      case 3: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
      case 4: t.c_cflag |= PARENB | CMSPAR; break;
      default: break;
    }
    if (s.Parity != 0 && s.fParity) t.c_iflag |= INPCK;
    // Linux has no one and a half stop bits; two is the nearest the UART offers.
    if (s.StopBits != kOneStopBit) t.c_cflag |= CSTOPB;
    if (s.fOutxCtsFlow || s.fRtsControl == kRtsControlHandshake) t.c_cflag |= CRTSCTS;
    if (s.fOutX) t.c_iflag |= IXON;
    if (s.fInX) t.c_iflag |= IXOFF;
    speed_t code;
    // Any other speed is set through termios2 after the rest of the line; the C library's
    // record meanwhile carries a standard placeholder, which it accepts.
    const bool standard = SpeedCode(s.BaudRate, code);
    if (!standard) code = B38400;
    cfsetispeed(&t, code);
    cfsetospeed(&t, code);
    if (tcsetattr(p->fd, TCSANOW, &t) != 0) return false;
    if (!standard && !posix::WriteLineSpeed(p->fd, s.BaudRate)) return false;

    // Modem lines: a device without them (a pty) fails these calls harmlessly.
    if (s.fDtrControl == kDtrControlEnable) ModemLine(p->fd, TIOCM_DTR, true);
    if (s.fDtrControl == kDtrControlDisable) ModemLine(p->fd, TIOCM_DTR, false);
    p->rs485Kernel = false;
    p->toggleRts = false;
    if (s.fRtsControl == kRtsControlToggle) {
      serial_rs485 rs{};
      rs.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
      if (ioctl(p->fd, TIOCSRS485, &rs) == 0) {
        p->rs485Kernel = true;
      } else {
        p->toggleRts = true;
        ModemLine(p->fd, TIOCM_RTS, false);
      }
    } else {
      DisableKernelRs485(p->fd);
      if (s.fRtsControl == kRtsControlEnable) ModemLine(p->fd, TIOCM_RTS, true);
      if (s.fRtsControl == kRtsControlDisable) ModemLine(p->fd, TIOCM_RTS, false);
    }
    p->state = s;
    return true;
  }

  bool GetCommTimeouts(CommHandle h, CommTimeouts& timeouts) override {
    Port* p = Find(h);
    if (!p) return false;
    timeouts = p->timeouts;
    return true;
  }

  bool SetCommTimeouts(CommHandle h, const CommTimeouts& timeouts) override {
    Port* p = Find(h);
    if (!p) return false;
    p->timeouts = timeouts;
    return true;
  }

  bool GetCommMask(CommHandle h, std::uint32_t& mask) override {
    Port* p = Find(h);
    if (!p) return false;
    mask = p->mask;
    return true;
  }

  bool SetCommMask(CommHandle h, std::uint32_t mask) override {
    Port* p = Find(h);
    if (!p) return false;
    p->mask = mask;
    return true;
  }

  bool WaitCommEvent(CommHandle h, std::uint32_t& events, std::uint32_t limitMs) override {
    Port* p = Find(h);
    if (!p) return false;
    events = 0;
    const std::int64_t deadline = NowMs() + limitMs;
    if (p->mask & EV_TXEMPTY) {
      if (WaitTransmitterEmpty(p->fd, deadline)) events = EV_TXEMPTY;
      return true;
    }
    if (p->mask & EV_RXCHAR) {
      const int rc = PollUntil(p->fd, POLLIN, deadline);
      if (rc < 0) return false;
      if (rc > 0) events = EV_RXCHAR;
      return true;
    }
    if (p->mask == 0) return false;  // nothing to wait for, as Windows refuses it
    // Remaining events (CTS, line errors) are looked at in short steps until the limit.
    std::uint32_t lastModem = 0;
    const bool haveModem = GetCommModemStatus(h, lastModem);
    while (NowMs() < deadline) {
      if ((p->mask & EV_CTS) && haveModem) {
        std::uint32_t now = 0;
        if (GetCommModemStatus(h, now) && ((now ^ lastModem) & MS_CTS_ON)) {
          events = EV_CTS;
          return true;
        }
      }
      if ((p->mask & EV_ERR) && p->haveCounters) {
        serial_icounter_struct c{};
        if (ioctl(p->fd, TIOCGICOUNT, &c) == 0 &&
            (c.frame != p->counters.frame || c.overrun != p->counters.overrun ||
             c.parity != p->counters.parity)) {
          events = EV_ERR;
          return true;
        }
      }
      const timespec step{0, 1000000};
      nanosleep(&step, nullptr);
    }
    return true;
  }

  bool PurgeComm(CommHandle h, std::uint32_t flags) override {
    Port* p = Find(h);
    if (!p) return false;
    const bool rx = flags & (PURGE_RXABORT | PURGE_RXCLEAR);
    const bool tx = flags & (PURGE_TXABORT | PURGE_TXCLEAR);
    if (!rx && !tx) return true;
    return tcflush(p->fd, rx && tx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH)) == 0;
  }

  bool ClearCommError(CommHandle h, std::uint32_t& errors) override {
    Port* p = Find(h);
    if (!p) return false;
    errors = 0;
    if (!p->haveCounters) return true;
    serial_icounter_struct c{};
    if (ioctl(p->fd, TIOCGICOUNT, &c) != 0) return true;
    if (c.frame != p->counters.frame) errors |= CE_FRAME;
    if (c.overrun != p->counters.overrun) errors |= CE_OVERRUN;
    if (c.parity != p->counters.parity) errors |= CE_RXPARITY;
    if (c.brk != p->counters.brk) errors |= CE_BREAK;
    if (c.buf_overrun != p->counters.buf_overrun) errors |= CE_RXOVER;
    p->counters = c;
    return true;
  }

  bool EscapeCommFunction(CommHandle h, std::uint32_t function) override {
    Port* p = Find(h);
    if (!p) return false;
    switch (function) {
      case SETRTS: return ModemLine(p->fd, TIOCM_RTS, true);
      case CLRRTS: return ModemLine(p->fd, TIOCM_RTS, false);
      case SETDTR: return ModemLine(p->fd, TIOCM_DTR, true);
      case CLRDTR: return ModemLine(p->fd, TIOCM_DTR, false);
      default: errno = EINVAL; return false;
    }
  }

  bool GetCommModemStatus(CommHandle h, std::uint32_t& status) override {
    Port* p = Find(h);
    if (!p) return false;
    int bits = 0;
    if (ioctl(p->fd, TIOCMGET, &bits) != 0) return false;
    status = 0;
    if (bits & TIOCM_CTS) status |= MS_CTS_ON;
    if (bits & TIOCM_DSR) status |= MS_DSR_ON;
    if (bits & TIOCM_RNG) status |= MS_RING_ON;
    if (bits & TIOCM_CAR) status |= MS_RLSD_ON;
    return true;
  }

  bool ReadFile(CommHandle h, void* buffer, std::uint32_t count, std::uint32_t& read) override {
    read = 0;
    Port* p = Find(h);
    if (!p || (count > 0 && buffer == nullptr)) return false;
    if (count == 0) return true;
    auto* out = static_cast<std::uint8_t*>(buffer);
    const CommTimeouts& to = p->timeouts;

    // The Win32 rules: MAXDWORD interval with zero totals returns what is there at once;
    // MAXDWORD interval and multiplier with a constant waits up to the constant for the first
    // byte and returns as soon as any arrived; otherwise a total deadline and an interval limit.
    const bool immediate = to.ReadIntervalTimeout == kMaxDword &&
                           to.ReadTotalTimeoutMultiplier == 0 && to.ReadTotalTimeoutConstant == 0;
    const bool firstByte = to.ReadIntervalTimeout == kMaxDword &&
                           to.ReadTotalTimeoutMultiplier == kMaxDword &&
                           to.ReadTotalTimeoutConstant > 0 &&
                           to.ReadTotalTimeoutConstant < kMaxDword;
    const std::int64_t start = NowMs();
    std::int64_t deadline = -1;
    std::uint32_t interval = 0;
    if (immediate) {
      deadline = start;
    } else if (firstByte) {
      deadline = start + to.ReadTotalTimeoutConstant;
    } else {
      const std::uint64_t total =
          static_cast<std::uint64_t>(to.ReadTotalTimeoutMultiplier) * count +
          to.ReadTotalTimeoutConstant;
      if (total > 0) deadline = start + static_cast<std::int64_t>(total);
      interval = to.ReadIntervalTimeout;
    }

    std::int64_t lastByte = 0;
    while (read < count) {
      const ssize_t n = ::read(p->fd, out + read, count - read);
      if (n > 0) {
        if (DiscardForDsr(*p)) continue;
        read += static_cast<std::uint32_t>(n);
        lastByte = NowMs();
        if (firstByte) break;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
      // Nothing waiting: sleep until data, the total deadline or the interval limit.
      std::int64_t until = deadline;
      if (read > 0 && interval > 0 && interval != kMaxDword) {
        const std::int64_t gapEnd = lastByte + interval;
        if (until < 0 || gapEnd < until) until = gapEnd;
      }
      if (read > 0 && interval == kMaxDword && !firstByte) break;
      if (until >= 0 && NowMs() >= until) break;
      const int rc = PollUntil(p->fd, POLLIN, until);
      if (rc < 0) {
        // A pty whose other end has gone reports a hang-up: no more bytes will come.
        if (errno == EIO) break;
        return false;
      }
      if (rc == 0) break;
      pollfd probe{p->fd, POLLIN, 0};
      if (poll(&probe, 1, 0) > 0 && (probe.revents & POLLHUP) && !(probe.revents & POLLIN)) {
        // Hung up with nothing to read: wait out the deadline as a silent line would.
        if (until < 0) break;
        const std::int64_t left = until - NowMs();
        if (left > 0) {
          const timespec rest{static_cast<time_t>(left / 1000),
                              static_cast<long>((left % 1000) * 1000000)};
          nanosleep(&rest, nullptr);
        }
        break;
      }
    }
    return true;
  }

  bool WriteFile(CommHandle h, const void* buffer, std::uint32_t count,
                 std::uint32_t& written) override {
    written = 0;
    Port* p = Find(h);
    if (!p || (count > 0 && buffer == nullptr)) return false;
    if (count == 0) return true;
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    const std::uint64_t total =
        static_cast<std::uint64_t>(p->timeouts.WriteTotalTimeoutMultiplier) * count +
        p->timeouts.WriteTotalTimeoutConstant;
    const std::int64_t deadline = total > 0 ? NowMs() + static_cast<std::int64_t>(total) : -1;

    if (p->toggleRts) ModemLine(p->fd, TIOCM_RTS, true);
    bool ok = true;
    while (written < count) {
      const ssize_t n = ::write(p->fd, in + written, count - written);
      if (n > 0) {
        written += static_cast<std::uint32_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        ok = false;
        break;
      }
      const int rc = PollUntil(p->fd, POLLOUT, deadline);
      if (rc < 0) {
        ok = false;
        break;
      }
      if (rc == 0) break;  // write time-out: report the bytes queued so far
    }
    if (p->toggleRts) {
      // Keep the transmitter keyed until the last stop bit has left the UART.
      WaitTransmitterEmpty(p->fd, deadline >= 0 ? deadline : NowMs() + 5000);
      ModemLine(p->fd, TIOCM_RTS, false);
    }
    return ok;
  }

  bool GetVersionEx(std::uint32_t structSize, std::uint32_t& platformId) override {
    if (structSize != kVersionInfoSize && structSize != kVersionInfoExSize) return false;
    platformId = kPlatformNt;
    return true;
  }

  std::uint32_t GetTickCount() override { return static_cast<std::uint32_t>(NowMs()); }

  void Sleep(std::uint32_t ms) override {
    timespec want{static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000)};
    timespec rest{};
    while (nanosleep(&want, &rest) != 0 && errno == EINTR) want = rest;
  }

  void ProcessPendingMessages() override {}

 private:
  // "COM1".."COM8" (any letter case, with or without the "\\.\" device prefix) → 1..8, else -1.
  static int PortNumber(const char* name) {
    if (!name) return -1;
    if (std::strncmp(name, "\\\\.\\", 4) == 0) name += 4;
    if (std::strlen(name) != 4) return -1;
    if ((name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' || (name[2] | 0x20) != 'm') return -1;
    const int n = name[3] - '0';
    return (n >= kLowestPort && n <= kHighestPort) ? n : -1;
  }

  static void DisableKernelRs485(int fd) {
    serial_rs485 rs{};
    if (ioctl(fd, TIOCGRS485, &rs) == 0 && (rs.flags & SER_RS485_ENABLED)) {
      rs.flags &= ~static_cast<__u32>(SER_RS485_ENABLED);
      ioctl(fd, TIOCSRS485, &rs);
    }
  }

  // With DSR sensitivity, bytes received while DSR is low are dropped, where the port reports
  // its modem lines at all.
  static bool DiscardForDsr(const Port& p) {
    if (!p.state.fDsrSensitivity) return false;
    int bits = 0;
    if (ioctl(p.fd, TIOCMGET, &bits) != 0) return false;
    return (bits & TIOCM_DSR) == 0;
  }

  // The open ports live in a fixed table: a handle holds its slot number in the low bits and
  // the open's serial number above them. Looking a port up takes no lock and allocates nothing,
  // which keeps the per-request calls cheap; only open and close are serialised.
  static constexpr int kSlotBits = 5;
  static constexpr int kSlots = 16;  // at most COM1..COM8 are open at once; room to spare
  static constexpr std::uint32_t kSerialMask = 0x00FFFFFFu;

  struct Slot {
    std::atomic<CommHandle> handle{kNoHandle};
    Port port;
  };

  static int SlotIndex(CommHandle h) {
    return static_cast<int>(h & ((CommHandle{1} << kSlotBits) - 1)) - 1;
  }

  Port* Find(CommHandle h) {
    const int i = SlotIndex(h);
    if (h == kNoHandle || i < 0 || i >= kSlots) return nullptr;
    Slot& slot = slots_[i];
    return slot.handle.load(std::memory_order_acquire) == h ? &slot.port : nullptr;
  }

  std::mutex openClose_;
  Slot slots_[kSlots];
  std::uint32_t serial_ = 0;
};

}  // namespace

CommPlatform& SystemPlatform() {
  static PosixPlatform platform;
  return platform;
}

}  // namespace vkt::serial
