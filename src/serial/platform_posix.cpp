// The POSIX backend of the serial seam: each Win32-shaped call is given, on a Linux tty, the
// effect the serial line driver relies on. The line is always raw (no echo, no CR/LF
// translation, VMIN = VTIME = 0); the read and write time-outs are emulated with ppoll against
// monotonic deadlines, because the 100 ms unit of VTIME cannot express the driver's 5 ms waits.
//
// Port COM<n> (n = 1..8) is the device named by VKTJX_COM<n> when that is set and not empty,
// else /dev/ttyS<n-1>. What a device cannot do (a pseudo-terminal has no modem lines, error
// counters or RS-485 mode) answers false, and the requested line state is kept in the port
// object so that reading it back returns what was set.
//
// Every system call goes through a PosixSystemCalls table (platform_posix.h), so the same code
// runs on the kernel and on a test's model of a UART driver.
#include "serial/platform_posix.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "serial/read_timeouts.h"

namespace vkt::serial {

namespace posix {
// Any line speed through termios2 (platform_posix_speed.cpp: its kernel header clashes with
// <termios.h>).
int ReadLineSpeed(void* context, int fd, std::uint32_t* baud);
int WriteLineSpeed(void* context, int fd, std::uint32_t baud);
}  // namespace posix

namespace {

constexpr int kLowestPort = 1;
constexpr int kHighestPort = 8;
// The version records of the Win32 query: OSVERSIONINFOA and OSVERSIONINFOEXA.
constexpr std::uint32_t kVersionInfoSize = 148;
constexpr std::uint32_t kVersionInfoExSize = 156;
// The NT family: the system keys RTS for RS-485 (kernel RS-485 mode or the write emulation).
constexpr std::uint32_t kPlatformNt = 2;
// Pseudo-terminal devices (the Unix98 slave majors): they force 8 bits and no parity, so the
// read-back of a line state does not hold those against them.
constexpr unsigned kPtySlaveMajorFirst = 136;
constexpr unsigned kPtySlaveMajorLast = 143;
// What may still sit in the transmitter once the kernel's queue is empty, on a device that
// cannot report its transmitter: a 16550's FIFO and its shift register.
constexpr std::uint32_t kAssumedFifoBytes = 17;
// A device that reports a speed further than this from the one asked for did not take it
// (parts per thousand; UARTs tolerate a few percent between both ends).
constexpr std::uint32_t kSpeedToleranceMilli = 10;
// Shortest sleep between two looks at a draining transmitter.
constexpr std::int64_t kWriteWaitStepUs = 500;

// ---- The real system calls -----------------------------------------------------------------

int RealOpen(void*, const char* path, int flags) { return ::open(path, flags); }
int RealClose(void*, int fd) { return ::close(fd); }
int RealIoctl(void*, int fd, unsigned long request, void* arg) {
  return ::ioctl(fd, request, arg);
}
int RealTcgetattr(void*, int fd, termios* t) { return ::tcgetattr(fd, t); }
int RealTcsetattr(void*, int fd, int action, const termios* t) {
  return ::tcsetattr(fd, action, t);
}
int RealPpoll(void*, pollfd* fds, nfds_t count, const timespec* timeout) {
  return ::ppoll(fds, count, timeout, nullptr);
}
ssize_t RealRead(void*, int fd, void* buffer, std::size_t count) {
  return ::read(fd, buffer, count);
}
ssize_t RealWrite(void*, int fd, const void* buffer, std::size_t count) {
  return ::write(fd, buffer, count);
}
int RealFlock(void*, int fd, int operation) { return ::flock(fd, operation); }
int RealFstat(void*, int fd, struct stat* st) { return ::fstat(fd, st); }
int RealClock(void*, timespec* now) { return ::clock_gettime(CLOCK_MONOTONIC, now); }
int RealNanosleep(void*, const timespec* want, timespec* rest) {
  return ::nanosleep(want, rest);
}

constexpr PosixSystemCalls kRealCalls = {
    nullptr,       RealOpen,  RealClose,  RealIoctl,         RealTcgetattr,
    RealTcsetattr, RealPpoll, RealRead,   RealWrite,         RealFlock,
    RealFstat,     RealClock, RealNanosleep, posix::ReadLineSpeed, posix::WriteLineSpeed,
};

// ---- Line speeds ---------------------------------------------------------------------------

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

bool SpeedClose(std::uint32_t asked, std::uint32_t got) {
  const std::uint64_t diff = asked > got ? asked - got : got - asked;
  return diff * 1000 <= std::uint64_t{asked} * kSpeedToleranceMilli;
}

// Microseconds one character takes on the wire: start bit, data bits, parity, stop bits.
std::uint32_t CharacterMicros(const CommState& s) {
  if (s.BaudRate == 0) return 0;
  std::uint32_t halfBits = 2u * (1u + s.ByteSize) + (s.Parity != 0 ? 2u : 0u);
  halfBits += s.StopBits == kOneStopBit ? 2u : (s.StopBits == 1 ? 3u : 4u);
  return static_cast<std::uint32_t>((std::uint64_t{halfBits} * 500000u + s.BaudRate - 1) /
                                    s.BaudRate);
}

bool NotSupported(int err) { return err == ENOTTY || err == EINVAL; }

// One open device and what the emulation keeps about it.
struct Port {
  int fd = -1;
  CommState state;
  CommTimeouts timeouts;
  std::uint32_t mask = 0;
  bool pty = false;
  // The line-status query answers: the transmitter-empty bit covers the FIFO.
  bool haveLsr = false;
  std::uint32_t charUs = 0;
  // RS-485 keying: the kernel does it (rs485Kernel) or the write emulation raises RTS.
  bool rs485Kernel = false;
  bool toggleRts = false;
  // The kernel's RS-485 state as found at open (when the device has one), and whether the
  // driver has changed it since: the close puts it back.
  bool haveRs485 = false;
  bool rs485Changed = false;
  serial_rs485 rs485Found{};
  // Error counters at the last ClearCommError; unusable on devices without them.
  bool haveCounters = false;
  serial_icounter_struct counters{};
  // A line error stopped the reads (abort-on-error) until the next ClearCommError.
  bool aborted = false;
  // Bytes of the last write, and the moment the kernel queue was seen empty after it (µs).
  std::uint32_t lastWriteBytes = 0;
  std::int64_t drainedAtUs = -1;
};

class PosixPlatform final : public CommPlatform {
 public:
  explicit PosixPlatform(const PosixSystemCalls& calls) : k_(calls) {}

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

    const int fd = k_.open(k_.context, path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return kNoHandle;
    termios t{};
    if (k_.tcgetattr(k_.context, fd, &t) != 0) {
      k_.close(k_.context, fd);
      errno = ENOTTY;
      return kNoHandle;
    }
    // Exclusive use: TIOCEXCL stops later opens of the device, flock catches a holder that
    // opened it before us (both advisory against a privileged process).
    if (k_.flock(k_.context, fd, LOCK_EX | LOCK_NB) != 0) {
      k_.close(k_.context, fd);
      errno = EBUSY;
      return kNoHandle;
    }
    Ioctl(fd, TIOCEXCL, nullptr);

    Port port;
    port.fd = fd;
    struct stat st {};
    if (k_.fstat(k_.context, fd, &st) == 0 && S_ISCHR(st.st_mode)) {
      const unsigned major = ::major(st.st_rdev);
      port.pty = major >= kPtySlaveMajorFirst && major <= kPtySlaveMajorLast;
    }
    unsigned int lsr = 0;
    port.haveLsr = Ioctl(fd, TIOCSERGETLSR, &lsr) == 0;
    port.haveRs485 = Ioctl(fd, TIOCGRS485, &port.rs485Found) == 0;
    // The line is raw from the start, and the state read back describes that raw line.
    MakeRaw(t);
    k_.tcsetattr(k_.context, fd, TCSANOW, &t);
    DescribeLine(port, t);
    serial_icounter_struct c{};
    port.haveCounters = Ioctl(fd, TIOCGICOUNT, &c) == 0;
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
    k_.close(k_.context, fd);
    errno = EMFILE;
    return kNoHandle;
  }

  bool CloseHandle(CommHandle h) override {
    Port port;
    {
      std::lock_guard<std::mutex> lock(openClose_);
      Port* p = Find(h);
      if (!p) return false;
      port = *p;
      slots_[SlotIndex(h)].handle.store(kNoHandle, std::memory_order_release);
    }
    // The board's RS-485 state is left as the driver found it.
    if (port.rs485Changed) Ioctl(port.fd, TIOCSRS485, &port.rs485Found);
    Ioctl(port.fd, TIOCNXCL, nullptr);
    k_.flock(k_.context, port.fd, LOCK_UN);
    return k_.close(k_.context, port.fd) == 0;
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
    termios before{};
    if (k_.tcgetattr(k_.context, p->fd, &before) != 0) return false;
    termios t = before;
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
    if (k_.tcsetattr(k_.context, p->fd, TCSANOW, &t) != 0 ||
        (!standard && k_.writeSpeed(k_.context, p->fd, s.BaudRate) != 0) ||
        !LineTaken(*p, t, s.BaudRate)) {
      // As Windows refuses a state the device cannot take, the one before stays in force.
      const int err = errno;
      k_.tcsetattr(k_.context, p->fd, TCSANOW, &before);
      if (!SpeedCode(p->state.BaudRate, code) && p->state.BaudRate != 0)
        k_.writeSpeed(k_.context, p->fd, p->state.BaudRate);
      errno = err;
      return false;
    }

    // Modem lines: a device without them (a pty) fails these calls harmlessly.
    if (s.fDtrControl == kDtrControlEnable) ModemLine(p->fd, TIOCM_DTR, true);
    if (s.fDtrControl == kDtrControlDisable) ModemLine(p->fd, TIOCM_DTR, false);
    p->rs485Kernel = false;
    p->toggleRts = false;
    if (s.fRtsControl == kRtsControlToggle) {
      if (KernelRs485(*p)) {
        p->rs485Kernel = true;
      } else {
        p->toggleRts = true;
        ModemLine(p->fd, TIOCM_RTS, false);
      }
    } else {
      // Without toggle the board's RS-485 state is as found, put back if the driver changed it.
      if (p->rs485Changed && Ioctl(p->fd, TIOCSRS485, &p->rs485Found) == 0)
        p->rs485Changed = false;
      if (s.fRtsControl == kRtsControlEnable) ModemLine(p->fd, TIOCM_RTS, true);
      if (s.fRtsControl == kRtsControlDisable) ModemLine(p->fd, TIOCM_RTS, false);
    }
    p->state = s;
    p->charUs = CharacterMicros(s);
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
    const std::int64_t deadlineUs = NowUs() + std::int64_t{limitMs} * 1000;
    if (p->mask & EV_TXEMPTY) {
      const int rc = WaitTransmitterEmpty(*p, deadlineUs);
      if (rc < 0) return false;
      if (rc > 0) events = EV_TXEMPTY;
      return true;
    }
    if (p->mask & EV_RXCHAR) {
      const int rc = PollUntil(p->fd, POLLIN, deadlineUs / 1000);
      if (rc < 0) return false;
      if (rc > 0) events = EV_RXCHAR;
      return true;
    }
    if (p->mask == 0) return false;  // nothing to wait for, as Windows refuses it
    // Remaining events (CTS, line errors) are looked at in short steps until the limit.
    std::uint32_t lastModem = 0;
    const bool haveModem = GetCommModemStatus(h, lastModem);
    while (NowUs() < deadlineUs) {
      if ((p->mask & EV_CTS) && haveModem) {
        std::uint32_t now = 0;
        if (GetCommModemStatus(h, now) && ((now ^ lastModem) & MS_CTS_ON)) {
          events = EV_CTS;
          return true;
        }
      }
      if ((p->mask & EV_ERR) && p->haveCounters) {
        serial_icounter_struct c{};
        if (Ioctl(p->fd, TIOCGICOUNT, &c) == 0 &&
            (c.frame != p->counters.frame || c.overrun != p->counters.overrun ||
             c.parity != p->counters.parity)) {
          events = EV_ERR;
          return true;
        }
      }
      SleepUs(1000);
    }
    return true;
  }

  bool PurgeComm(CommHandle h, std::uint32_t flags) override {
    Port* p = Find(h);
    if (!p) return false;
    const bool rx = flags & (PURGE_RXABORT | PURGE_RXCLEAR);
    const bool tx = flags & (PURGE_TXABORT | PURGE_TXCLEAR);
    if (!rx && !tx) return true;
    const int queue = rx && tx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH);
    return Ioctl(p->fd, TCFLSH, reinterpret_cast<void*>(static_cast<std::intptr_t>(queue))) == 0;
  }

  bool ClearCommError(CommHandle h, std::uint32_t& errors) override {
    Port* p = Find(h);
    if (!p) return false;
    errors = 0;
    p->aborted = false;
    if (!p->haveCounters) return true;
    serial_icounter_struct c{};
    if (Ioctl(p->fd, TIOCGICOUNT, &c) != 0) return true;
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
    if (Ioctl(p->fd, TIOCMGET, &bits) != 0) return false;
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
    // A line error stopped the port: every read fails until ClearCommError, as on Windows.
    const bool abortOnError = p->state.fAbortOnError && p->haveCounters;
    if (p->aborted || (abortOnError && LineErrorSinceCleared(*p))) return Aborted(*p);
    if (count == 0) return true;
    auto* out = static_cast<std::uint8_t*>(buffer);
    const ReadRule rule = ReadRuleFor(p->timeouts, count);
    const std::int64_t start = NowMs();
    std::int64_t lastByte = start;
    for (;;) {
      const ssize_t n = k_.read(k_.context, p->fd, out + read, count - read);
      if (n > 0) {
        if (DiscardForDsr(*p)) continue;
        read += static_cast<std::uint32_t>(n);
        if (abortOnError && LineErrorSinceCleared(*p)) return Aborted(*p);
        if (ReadDone(rule, read, count)) break;
        lastByte = NowMs();
        continue;
      }
      // A raw tty with VMIN = VTIME = 0 answers 0 when nothing is waiting, and so does one that
      // hung up: the poll below tells the two apart.
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
      if (ReadDone(rule, read, count)) break;
      // Nothing waiting: sleep until data, the total deadline or the interval limit.
      std::uint64_t end = 0;
      const bool bounded = ReadEnd(rule, static_cast<std::uint64_t>(start), read,
                                   static_cast<std::uint64_t>(lastByte), end);
      const int rc = PollUntil(p->fd, POLLIN, bounded ? static_cast<std::int64_t>(end) : -1);
      if (rc < 0) return false;  // hung up or gone: a failure, never a silent line
      if (rc == 0) break;
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
    const std::int64_t startUs = NowUs();
    const std::int64_t deadlineUs =
        total > 0 ? startUs + static_cast<std::int64_t>(total) * 1000 : -1;
    p->lastWriteBytes = count;
    p->drainedAtUs = -1;

    if (p->toggleRts) ModemLine(p->fd, TIOCM_RTS, true);
    bool ok = true;
    std::uint32_t queued = 0;
    while (queued < count) {
      const ssize_t n = k_.write(k_.context, p->fd, in + queued, count - queued);
      if (n > 0) {
        queued += static_cast<std::uint32_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        ok = false;
        break;
      }
      const int rc = PollUntil(p->fd, POLLOUT, deadlineUs < 0 ? -1 : deadlineUs / 1000);
      if (rc < 0) {
        ok = false;
        break;
      }
      if (rc == 0) break;  // write time-out
    }
    // As on Windows, the write completes when the bytes have left the port (or its time-out
    // passes), so whatever follows, a response time-out above all, starts after the last byte.
    if (ok && p->pty) {
      // A pseudo-terminal has no wire: what it took is at the other end already.
      written = queued;
      p->drainedAtUs = startUs;
    } else if (ok) {
      ok = WaitDrained(*p, queued, startUs, deadlineUs, written);
    }
    if (p->toggleRts) {
      // Keep the transmitter keyed until the last stop bit has left the UART.
      if (ok) WaitTransmitterEmpty(*p, deadlineUs >= 0 ? deadlineUs : NowUs() + 5000000);
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

  void Sleep(std::uint32_t ms) override { SleepUs(std::int64_t{ms} * 1000); }

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

  static void MakeRaw(termios& t) {
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
  }

  int Ioctl(int fd, unsigned long request, void* arg) {
    return k_.ioctl(k_.context, fd, request, arg);
  }

  std::int64_t NowUs() {
    timespec ts{};
    k_.clock_gettime(k_.context, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
  }
  // Its own conversion: one division on the per-read path, not two.
  std::int64_t NowMs() {
    timespec ts{};
    k_.clock_gettime(k_.context, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  }

  void SleepUs(std::int64_t us) {
    if (us <= 0) return;
    timespec want{static_cast<time_t>(us / 1000000), static_cast<long>((us % 1000000) * 1000)};
    timespec rest{};
    while (k_.nanosleep(k_.context, &want, &rest) != 0 && errno == EINTR) want = rest;
  }

  // Waits for `events` on fd until the monotonic `deadlineMs` (-1: no deadline). Returns >0
  // ready, 0 deadline passed, <0 error: a device that hung up, failed or went away (EIO).
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
      const int rc = k_.ppoll(k_.context, &p, 1, waitp);
      if (rc < 0 && errno == EINTR) continue;
      if (rc > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL))) {
        errno = EIO;
        return -1;
      }
      return rc;
    }
  }

  bool ModemLine(int fd, int bit, bool on) {
    int bits = bit;
    return Ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0;
  }

  // Reads the device's raw line back into the port's state, the state before the driver sets
  // one: what the close puts back.
  void DescribeLine(Port& port, const termios& t) {
    CommState& s = port.state;
    std::uint32_t baud = 0;
    if (k_.readSpeed(k_.context, port.fd, &baud) != 0) baud = SpeedOfCode(cfgetospeed(&t));
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
    if (port.haveRs485 && (port.rs485Found.flags & SER_RS485_ENABLED))
      s.fRtsControl = kRtsControlToggle;
    s.fDtrControl = kDtrControlEnable;
    s.fOutX = (t.c_iflag & IXON) != 0;
    s.fInX = (t.c_iflag & IXOFF) != 0;
    port.charUs = CharacterMicros(s);
  }

  // Whether the device holds the framing and speed just set. A pty forces 8 bits and no
  // parity whatever it is given; the rest still has to match there too.
  bool LineTaken(const Port& p, const termios& asked, std::uint32_t baud) {
    termios got{};
    if (k_.tcgetattr(k_.context, p.fd, &got) != 0) return false;
    tcflag_t framing = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    if (p.pty) framing &= ~static_cast<tcflag_t>(CSIZE | PARENB);
    std::uint32_t speed = 0;
    if (k_.readSpeed(k_.context, p.fd, &speed) != 0) speed = SpeedOfCode(cfgetospeed(&got));
    if (((got.c_cflag ^ asked.c_cflag) & framing) != 0 || !SpeedClose(baud, speed)) {
      errno = EINVAL;
      return false;
    }
    return true;
  }

  // Kernel RS-485 for toggle keying: the board's state is read first and only what keying
  // needs is changed (enabled, RTS on while sending unless the board already says which way
  // its RTS goes); its delays and other flags stay. False where the device has no RS-485 mode.
  bool KernelRs485(Port& p) {
    if (!p.haveRs485) return false;
    serial_rs485 rs{};
    if (Ioctl(p.fd, TIOCGRS485, &rs) != 0) return false;
    const serial_rs485 current = rs;
    rs.flags |= SER_RS485_ENABLED;
    if (!(rs.flags & (SER_RS485_RTS_ON_SEND | SER_RS485_RTS_AFTER_SEND)))
      rs.flags |= SER_RS485_RTS_ON_SEND;
    if (rs.flags == current.flags) return true;
    if (Ioctl(p.fd, TIOCSRS485, &rs) != 0) return false;
    p.rs485Changed = true;
    return true;
  }

  // A line error counted since the last ClearCommError (or the open).
  bool LineErrorSinceCleared(Port& p) {
    serial_icounter_struct c{};
    if (Ioctl(p.fd, TIOCGICOUNT, &c) != 0) return false;
    return c.frame != p.counters.frame || c.overrun != p.counters.overrun ||
           c.parity != p.counters.parity || c.brk != p.counters.brk ||
           c.buf_overrun != p.counters.buf_overrun;
  }

  static bool Aborted(Port& p) {
    p.aborted = true;
    errno = ECANCELED;
    return false;
  }

  // Bytes still in the kernel's output queue; -1 when the device cannot tell (or `failed` is
  // set when it has gone).
  int OutputQueued(const Port& p, bool& failed) {
    int queued = 0;
    if (Ioctl(p.fd, TIOCOUTQ, &queued) == 0) return queued < 0 ? 0 : queued;
    failed = !NotSupported(errno);
    return -1;
  }

  // The write's part after the bytes were queued: wait for the queue to empty (and for the
  // transmitter where the device reports it) until the write deadline. On time-out the rest
  // is dropped, as a Windows write that timed out never sends it, and `written` counts the
  // bytes that left.
  bool WaitDrained(Port& p, std::uint32_t queued, std::int64_t startUs,
                   std::int64_t deadlineUs, std::uint32_t& written) {
    for (bool first = true;; first = false) {
      bool failed = false;
      const int left = OutputQueued(p, failed);
      if (failed) return false;
      bool empty = left <= 0;
      if (empty && p.haveLsr) {
        unsigned int lsr = 0;
        if (Ioctl(p.fd, TIOCSERGETLSR, &lsr) != 0) return NotSupported(errno);
        empty = (lsr & TIOCSER_TEMT) != 0;
      }
      if (empty) {
        // Empty at the first look: the bytes went straight to the transmitter as written.
        p.drainedAtUs = first ? startUs : NowUs();
        written = queued;
        return true;
      }
      const std::int64_t now = NowUs();
      if (deadlineUs >= 0 && now >= deadlineUs) {
        Ioctl(p.fd, TCFLSH, reinterpret_cast<void*>(static_cast<std::intptr_t>(TCOFLUSH)));
        const std::uint32_t stuck = left > 0 ? static_cast<std::uint32_t>(left) : 0;
        written = stuck < queued ? queued - stuck : 0;
        return true;
      }
      SleepUs(StepUntil(p, left, now, deadlineUs));
    }
  }

  // How long to sleep before looking at the transmitter again: about the wire time of what is
  // queued, never past the deadline.
  std::int64_t StepUntil(const Port& p, int queued, std::int64_t now, std::int64_t deadlineUs) {
    std::int64_t step = std::int64_t{queued > 0 ? queued : 1} * p.charUs;
    if (step < kWriteWaitStepUs) step = kWriteWaitStepUs;
    if (deadlineUs >= 0 && now + step > deadlineUs) step = deadlineUs - now;
    return step;
  }

  // Waits until the transmitter has sent every byte, FIFO included: the line-status bit where
  // the device has it, else the queue's end plus the wire time of what a FIFO may still hold.
  // 1 empty, 0 deadline passed, -1 the device failed.
  int WaitTransmitterEmpty(Port& p, std::int64_t deadlineUs) {
    std::int64_t fifoEnd = -1;
    for (;;) {
      const std::int64_t now = NowUs();
      bool failed = false;
      int left = 0;
      if (p.haveLsr) {
        unsigned int lsr = 0;
        if (Ioctl(p.fd, TIOCSERGETLSR, &lsr) != 0) return NotSupported(errno) ? 1 : -1;
        if (lsr & TIOCSER_TEMT) return 1;
        left = OutputQueued(p, failed);
        if (failed) return -1;
      } else {
        left = OutputQueued(p, failed);
        if (failed) return -1;
        // The device cannot tell, or is a pseudo-terminal, which has no FIFO: nothing more to
        // wait for.
        if (left < 0 || (left == 0 && p.pty)) return 1;
        if (left == 0) {
          if (fifoEnd < 0) {
            const std::uint32_t held =
                p.lastWriteBytes < kAssumedFifoBytes ? p.lastWriteBytes : kAssumedFifoBytes;
            const std::int64_t from = p.drainedAtUs >= 0 ? p.drainedAtUs : now;
            fifoEnd = from + std::int64_t{held} * p.charUs;
          }
          if (now >= fifoEnd) return 1;
          if (now >= deadlineUs) return 0;
          SleepUs((fifoEnd < deadlineUs ? fifoEnd : deadlineUs) - now);
          continue;
        }
      }
      if (now >= deadlineUs) return 0;
      SleepUs(StepUntil(p, left, now, deadlineUs));
    }
  }

  // With DSR sensitivity, bytes received while DSR is low are dropped, where the port reports
  // its modem lines at all.
  bool DiscardForDsr(const Port& p) {
    if (!p.state.fDsrSensitivity) return false;
    int bits = 0;
    if (Ioctl(p.fd, TIOCMGET, &bits) != 0) return false;
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

  const PosixSystemCalls k_;
  std::mutex openClose_;
  Slot slots_[kSlots];
  std::uint32_t serial_ = 0;
};

}  // namespace

const PosixSystemCalls& RealSystemCalls() { return kRealCalls; }

std::unique_ptr<CommPlatform> MakePosixPlatform(const PosixSystemCalls& calls) {
  return std::make_unique<PosixPlatform>(calls);
}

CommPlatform& SystemPlatform() {
  static PosixPlatform platform(kRealCalls);
  return platform;
}

}  // namespace vkt::serial
