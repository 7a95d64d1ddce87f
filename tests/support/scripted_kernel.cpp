#include "scripted_kernel.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vkt::test {

namespace {

ScriptedKernel& K(void* k) { return *static_cast<ScriptedKernel*>(k); }

constexpr std::int64_t kForeverUs = 3600LL * 1000000;

std::uint32_t BaudOfCode(speed_t code) {
  struct Row {
    speed_t code;
    std::uint32_t baud;
  };
  static constexpr Row kRows[] = {
      {B300, 300},       {B600, 600},       {B1200, 1200},     {B2400, 2400},
      {B4800, 4800},     {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
      {B57600, 57600},   {B115200, 115200}, {B230400, 230400}, {B460800, 460800},
      {B921600, 921600},
  };
  for (const Row& r : kRows)
    if (r.code == code) return r.baud;
  return 0;
}

}  // namespace

std::int64_t ScriptedDevice::CharUs() const {
  if (speed == 0) return 1000;
  int bits = 1;  // start bit
  switch (tio.c_cflag & CSIZE) {
    case CS5: bits += 5; break;
    case CS6: bits += 6; break;
    case CS7: bits += 7; break;
    default: bits += 8; break;
  }
  if (tio.c_cflag & PARENB) bits += 1;
  bits += (tio.c_cflag & CSTOPB) ? 2 : 1;
  return (std::int64_t{bits} * 1000000 + speed - 1) / speed;
}

ScriptedKernel::ScriptedKernel() {
  calls_.context = this;
  calls_.open = Open;
  calls_.close = Close;
  calls_.ioctl = Ioctl;
  calls_.tcgetattr = Tcgetattr;
  calls_.tcsetattr = Tcsetattr;
  calls_.ppoll = Ppoll;
  calls_.read = Read;
  calls_.write = Write;
  calls_.flock = Flock;
  calls_.fstat = Fstat;
  calls_.clock_gettime = ClockGettime;
  calls_.nanosleep = Nanosleep;
  calls_.readSpeed = ReadSpeed;
  calls_.writeSpeed = WriteSpeed;
}

std::unique_ptr<serial::CommPlatform> ScriptedKernel::MakePlatform() const {
  return serial::MakePosixPlatform(calls_);
}

std::shared_ptr<ScriptedDevice> ScriptedKernel::AddDevice(const std::string& path,
                                                          ScriptedDevice model) {
  auto d = std::make_shared<ScriptedDevice>(std::move(model));
  // A freshly booted UART: cooked 9600 8N1, as the kernel leaves a tty.
  d->tio.c_cflag = CS8 | CREAD | HUPCL;
  d->tio.c_iflag = ICRNL | IXON;
  d->tio.c_oflag = OPOST | ONLCR;
  d->tio.c_lflag = ICANON | ECHO | ISIG;
  cfsetispeed(&d->tio, B9600);
  cfsetospeed(&d->tio, B9600);
  d->speed = 9600;
  names_[path] = d;
  return d;
}

void ScriptedKernel::Unplug(const std::string& path) {
  auto it = names_.find(path);
  if (it == names_.end()) return;
  it->second->gone = true;
  names_.erase(it);
}

void ScriptedKernel::At(std::int64_t atUs, std::function<void()> action) {
  actions_.emplace(atUs, std::move(action));
}

void ScriptedKernel::Send(ScriptedDevice& d, const std::vector<std::uint8_t>& bytes,
                          std::int64_t delayUs, LineFault fault) {
  std::int64_t at = nowUs_ + delayUs;
  if (!d.incoming.empty()) at = std::max(at, d.incoming.back().atUs);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    at += d.CharUs();
    d.incoming.push_back({at, bytes[i], i == 0 ? fault : LineFault::None});
  }
  Step(d, nowUs_);
}

void ScriptedKernel::Hold(ScriptedDevice& d, bool held) {
  Step(d, nowUs_);
  if (d.held && !held) d.nextOutUs = nowUs_ + d.CharUs();
  d.held = held;
}

int ScriptedKernel::CallCount(const std::string& name) const {
  auto it = calls_made_.find(name);
  return it == calls_made_.end() ? 0 : it->second;
}

void ScriptedKernel::Step(ScriptedDevice& d, std::int64_t t) {
  while (!d.held && !d.tx.empty() && d.nextOutUs <= t) {
    d.wire.push_back(d.tx.front());
    d.tx.pop_front();
    d.lastOutUs = d.nextOutUs;
    d.nextOutUs += d.CharUs();
    if (d.tx.empty() && d.onSent) {
      auto hook = d.onSent;
      hook();
    }
  }
  while (!d.incoming.empty() && d.incoming.front().atUs <= t) {
    const ScriptedDevice::Incoming in = d.incoming.front();
    d.incoming.pop_front();
    switch (in.fault) {
      case LineFault::Framing: ++d.icount.frame; break;
      case LineFault::Parity: ++d.icount.parity; break;
      case LineFault::Overrun: ++d.icount.overrun; break;
      case LineFault::None: break;
    }
    ++d.icount.rx;
    d.rx.push_back(in.byte);
  }
}

void ScriptedKernel::AdvanceTo(std::int64_t t) {
  for (;;) {
    // Device events and scripted actions, in time order.
    std::int64_t next = t;
    for (auto& [path, d] : names_) {
      (void)path;
      if (!d->held && !d->tx.empty()) next = std::min(next, d->nextOutUs);
    }
    if (!actions_.empty()) next = std::min(next, actions_.begin()->first);
    nowUs_ = std::max(nowUs_, next);
    for (auto& [fd, d] : fds_) {
      (void)fd;
      Step(*d, nowUs_);
    }
    for (auto& [path, d] : names_) {
      (void)path;
      Step(*d, nowUs_);
    }
    if (!actions_.empty() && actions_.begin()->first <= nowUs_) {
      auto action = std::move(actions_.begin()->second);
      actions_.erase(actions_.begin());
      action();
      continue;
    }
    if (nowUs_ >= t) return;
  }
}

ScriptedDevice* ScriptedKernel::Of(int fd) {
  auto it = fds_.find(fd);
  return it == fds_.end() ? nullptr : it->second.get();
}

std::uint32_t ScriptedKernel::Taken(const ScriptedDevice& d, std::uint32_t baud) const {
  if (d.speeds.empty()) return baud;
  std::uint32_t best = d.speeds.front();
  for (std::uint32_t s : d.speeds) {
    const auto gap = [baud](std::uint32_t v) { return v > baud ? v - baud : baud - v; };
    if (gap(s) < gap(best)) best = s;
  }
  return best;
}

// ---- The calls -----------------------------------------------------------------------------

int ScriptedKernel::Open(void* k, const char* path, int) {
  ScriptedKernel& self = K(k);
  self.Count("open");
  auto it = self.names_.find(path ? path : "");
  if (it == self.names_.end()) {
    errno = ENOENT;
    return -1;
  }
  const int fd = self.nextFd_++;
  self.fds_[fd] = it->second;
  return fd;
}

int ScriptedKernel::Close(void* k, int fd) {
  ScriptedKernel& self = K(k);
  self.Count("close");
  auto it = self.fds_.find(fd);
  if (it == self.fds_.end()) {
    errno = EBADF;
    return -1;
  }
  if (it->second->lockedBy == fd) it->second->lockedBy = -1;
  self.fds_.erase(it);
  return 0;
}

int ScriptedKernel::Ioctl(void* k, int fd, unsigned long request, void* arg) {
  ScriptedKernel& self = K(k);
  ScriptedDevice* d = self.Of(fd);
  if (!d) {
    errno = EBADF;
    return -1;
  }
  self.Step(*d, self.nowUs_);
  const auto notSupported = [] {
    errno = ENOTTY;
    return -1;
  };
  switch (request) {
    case TIOCEXCL: self.Count("ioctl:TIOCEXCL"); break;
    case TIOCNXCL: self.Count("ioctl:TIOCNXCL"); break;
    case TIOCOUTQ: self.Count("ioctl:TIOCOUTQ"); break;
    case TIOCSERGETLSR: self.Count("ioctl:TIOCSERGETLSR"); break;
    case TIOCGICOUNT: self.Count("ioctl:TIOCGICOUNT"); break;
    case TIOCGRS485: self.Count("ioctl:TIOCGRS485"); break;
    case TIOCSRS485: self.Count("ioctl:TIOCSRS485"); break;
    case TIOCMGET: self.Count("ioctl:TIOCMGET"); break;
    case TCFLSH: self.Count("ioctl:TCFLSH"); break;
    default: self.Count("ioctl"); break;
  }
  if (d->gone) {
    errno = EIO;
    return -1;
  }
  switch (request) {
    case TIOCEXCL:
    case TIOCNXCL:
      return 0;
    case TIOCOUTQ: {
      const std::size_t inHardware = std::min<std::size_t>(d->tx.size(), d->fifo + 1);
      *static_cast<int*>(arg) = static_cast<int>(d->tx.size() - inHardware);
      return 0;
    }
    case TIOCINQ:
      *static_cast<int*>(arg) = static_cast<int>(d->rx.size());
      return 0;
    case TIOCSERGETLSR:
      if (!d->lineStatus) return notSupported();
      *static_cast<unsigned int*>(arg) = d->tx.empty() ? TIOCSER_TEMT : 0;
      return 0;
    case TIOCGICOUNT:
      if (!d->counters) return notSupported();
      *static_cast<serial_icounter_struct*>(arg) = d->icount;
      return 0;
    case TIOCGRS485:
      if (!d->rs485) return notSupported();
      *static_cast<serial_rs485*>(arg) = d->rs485State;
      return 0;
    case TIOCSRS485:
      if (!d->rs485) return notSupported();
      d->rs485State = *static_cast<const serial_rs485*>(arg);
      ++d->rs485Writes;
      return 0;
    case TIOCMGET:
      *static_cast<int*>(arg) = d->modemBits;
      return 0;
    case TIOCMBIS:
    case TIOCMBIC: {
      const int bits = *static_cast<const int*>(arg);
      const bool on = request == TIOCMBIS;
      if (on)
        d->modemBits |= bits;
      else
        d->modemBits &= ~bits;
      if (bits & TIOCM_RTS) d->rtsLog.emplace_back(self.nowUs_, on);
      return 0;
    }
    case TCFLSH: {
      const auto queue = static_cast<int>(reinterpret_cast<std::intptr_t>(arg));
      if (queue == TCIFLUSH || queue == TCIOFLUSH) d->rx.clear();
      // The kernel's queue goes; what is already in the UART's FIFO still leaves.
      if (queue == TCOFLUSH || queue == TCIOFLUSH)
        d->tx.resize(std::min<std::size_t>(d->tx.size(), d->fifo + 1));
      return 0;
    }
    default:
      return notSupported();
  }
}

int ScriptedKernel::Tcgetattr(void* k, int fd, termios* t) {
  ScriptedKernel& self = K(k);
  self.Count("tcgetattr");
  ScriptedDevice* d = self.Of(fd);
  if (!d) {
    errno = EBADF;
    return -1;
  }
  if (d->gone) {
    errno = EIO;
    return -1;
  }
  *t = d->tio;
  return 0;
}

int ScriptedKernel::Tcsetattr(void* k, int fd, int, const termios* t) {
  ScriptedKernel& self = K(k);
  self.Count("tcsetattr");
  ScriptedDevice* d = self.Of(fd);
  if (!d) {
    errno = EBADF;
    return -1;
  }
  if (d->gone) {
    errno = EIO;
    return -1;
  }
  d->tio = *t;
  if (!d->keepsCmspar) d->tio.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
  if (const std::uint32_t baud = BaudOfCode(cfgetospeed(t))) d->speed = self.Taken(*d, baud);
  return 0;
}

int ScriptedKernel::Ppoll(void* k, pollfd* fds, nfds_t count, const timespec* timeout) {
  ScriptedKernel& self = K(k);
  self.Count("ppoll");
  if (count != 1) {
    errno = EINVAL;
    return -1;
  }
  pollfd& p = fds[0];
  const std::int64_t limit =
      timeout ? self.nowUs_ + timeout->tv_sec * 1000000LL + timeout->tv_nsec / 1000
              : self.nowUs_ + kForeverUs;
  for (;;) {
    ScriptedDevice* d = self.Of(p.fd);
    if (!d) {
      p.revents = POLLNVAL;
      return 1;
    }
    self.Step(*d, self.nowUs_);
    p.revents = 0;
    if (d->gone) p.revents = POLLHUP | POLLERR | (p.events & (POLLIN | POLLOUT));
    if ((p.events & POLLIN) && !d->rx.empty()) p.revents |= POLLIN;
    if ((p.events & POLLOUT) && d->tx.size() < d->room) p.revents |= POLLOUT;
    if (p.revents) return 1;
    if (self.nowUs_ >= limit) return 0;
    // Sleep to the next thing that can make the descriptor ready, or to the limit.
    std::int64_t next = limit;
    if ((p.events & POLLIN) && !d->incoming.empty()) next = std::min(next, d->incoming.front().atUs);
    if (!d->held && !d->tx.empty()) next = std::min(next, d->nextOutUs);
    if (!self.actions_.empty()) next = std::min(next, self.actions_.begin()->first);
    self.AdvanceTo(std::max(next, self.nowUs_));
  }
}

ssize_t ScriptedKernel::Read(void* k, int fd, void* buffer, std::size_t count) {
  ScriptedKernel& self = K(k);
  self.Count("read");
  ScriptedDevice* d = self.Of(fd);
  if (!d) {
    errno = EBADF;
    return -1;
  }
  self.Step(*d, self.nowUs_);
  // A raw line with VMIN = VTIME = 0 answers 0 when empty, as does a hung-up one.
  std::size_t n = std::min(count, d->rx.size());
  auto* out = static_cast<std::uint8_t*>(buffer);
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = d->rx.front();
    d->rx.pop_front();
  }
  return static_cast<ssize_t>(n);
}

ssize_t ScriptedKernel::Write(void* k, int fd, const void* buffer, std::size_t count) {
  ScriptedKernel& self = K(k);
  self.Count("write");
  ScriptedDevice* d = self.Of(fd);
  if (!d) {
    errno = EBADF;
    return -1;
  }
  if (d->gone) {
    errno = EIO;
    return -1;
  }
  self.Step(*d, self.nowUs_);
  const std::size_t room = d->tx.size() < d->room ? d->room - d->tx.size() : 0;
  const std::size_t n = std::min(count, room);
  if (n == 0) {
    errno = EAGAIN;
    return -1;
  }
  if (d->tx.empty()) d->nextOutUs = self.nowUs_ + d->CharUs();
  const auto* in = static_cast<const std::uint8_t*>(buffer);
  d->tx.insert(d->tx.end(), in, in + n);
  return static_cast<ssize_t>(n);
}

int ScriptedKernel::Flock(void* k, int fd, int operation) {
  ScriptedKernel& self = K(k);
  self.Count("flock");
  ScriptedDevice* d = self.Of(fd);
  if (!d) {
    errno = EBADF;
    return -1;
  }
  if (operation & LOCK_UN) {
    if (d->lockedBy == fd) d->lockedBy = -1;
    return 0;
  }
  if (d->lockedBy != -1 && d->lockedBy != fd) {
    errno = EWOULDBLOCK;
    return -1;
  }
  d->lockedBy = fd;
  return 0;
}

int ScriptedKernel::Fstat(void* k, int fd, struct stat* st) {
  ScriptedKernel& self = K(k);
  self.Count("fstat");
  ScriptedDevice* d = self.Of(fd);
  if (!d) {
    errno = EBADF;
    return -1;
  }
  std::memset(st, 0, sizeof *st);
  st->st_mode = S_IFCHR | 0660;
  st->st_rdev = makedev(d->major, 0);
  return 0;
}

int ScriptedKernel::ClockGettime(void* k, timespec* now) {
  ScriptedKernel& self = K(k);
  self.Count("clock_gettime");
  now->tv_sec = static_cast<time_t>(self.nowUs_ / 1000000);
  now->tv_nsec = static_cast<long>((self.nowUs_ % 1000000) * 1000);
  return 0;
}

int ScriptedKernel::Nanosleep(void* k, const timespec* want, timespec* rest) {
  ScriptedKernel& self = K(k);
  self.Count("nanosleep");
  if (rest) *rest = timespec{};
  self.AdvanceTo(self.nowUs_ + want->tv_sec * 1000000LL + want->tv_nsec / 1000);
  return 0;
}

int ScriptedKernel::ReadSpeed(void* k, int fd, std::uint32_t* baud) {
  ScriptedKernel& self = K(k);
  ScriptedDevice* d = self.Of(fd);
  if (!d || d->gone) {
    errno = d ? EIO : EBADF;
    return -1;
  }
  *baud = d->speed;
  return 0;
}

int ScriptedKernel::WriteSpeed(void* k, int fd, std::uint32_t baud) {
  ScriptedKernel& self = K(k);
  ScriptedDevice* d = self.Of(fd);
  if (!d || d->gone) {
    errno = d ? EIO : EBADF;
    return -1;
  }
  d->speed = self.Taken(*d, baud);
  return 0;
}

}  // namespace vkt::test
