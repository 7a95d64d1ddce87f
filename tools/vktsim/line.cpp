#include "line.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace vktsim {

namespace {

bool StandardSpeed(int baud, speed_t& speed) {
  static const struct {
    int baud;
    speed_t speed;
  } kSpeeds[] = {{50, B50},         {75, B75},         {110, B110},       {134, B134},
                 {150, B150},       {200, B200},       {300, B300},       {600, B600},
                 {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
                 {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
                 {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
                 {576000, B576000}, {921600, B921600}, {1000000, B1000000}};
  for (const auto& s : kSpeeds)
    if (s.baud == baud) {
      speed = s.speed;
      return true;
    }
  return false;
}

void MakeRaw(termios& t) {
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~HUPCL;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
}

}  // namespace

Line::Line(const Options& options, Report& report)
    : options_(options), report_(report), byteUs_(options.ByteTimeUs()) {
  segments_ = new Segment[kSegments];
}

Line::~Line() {
  if (fd_ >= 0) close(fd_);
  delete[] segments_;
}

bool Line::Open(std::string& path, std::string& error) {
  if (options_.device.empty()) {
    fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0 || grantpt(fd_) != 0 || unlockpt(fd_) != 0) {
      error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
      return false;
    }
    const char* name = ptsname(fd_);
    if (name == nullptr) {
      error = "cannot name the pseudo-terminal";
      return false;
    }
    path = name;
    pty_ = true;
    // The slave side keeps its line settings while this side is open, so it is made raw here
    // once: a client that does not configure the port still gets every byte unchanged.
    const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
      error = "cannot open " + path + ": " + std::strerror(errno);
      return false;
    }
    termios t{};
    if (tcgetattr(slave, &t) == 0) {
      MakeRaw(t);
      tcsetattr(slave, TCSANOW, &t);
    }
    close(slave);
    termios m{};
    if (tcgetattr(fd_, &m) == 0) {
      MakeRaw(m);
      tcsetattr(fd_, TCSANOW, &m);
    }
    return true;
  }
  fd_ = open(options_.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    error = "cannot open " + options_.device + ": " + std::strerror(errno);
    return false;
  }
  path = options_.device;
  return ConfigureDevice(error);
}

bool Line::ConfigureDevice(std::string& error) {
  termios t{};
  if (tcgetattr(fd_, &t) != 0) {
    error = options_.device + " is not a serial line: " + std::strerror(errno);
    return false;
  }
  speed_t speed{};
  if (!StandardSpeed(options_.baud, speed)) {
    error = "--baud " + std::to_string(options_.baud) + " is not a standard speed for a device";
    return false;
  }
  MakeRaw(t);
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= kSizes[options_.dataBits - 5];
  switch (options_.parity) {
    case 'O': t.c_cflag |= PARENB | PARODD; break;
    case 'E': t.c_cflag |= PARENB; break;
    case 'M': t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case 'S': t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
  }
  if (options_.parity != 'N') t.c_iflag |= INPCK;
  // 1.5 stop bits is what the UART sends for "two" with five data bits.
  if (options_.stopHalfBits > 2) t.c_cflag |= CSTOPB;
  if (tcsetattr(fd_, TCSANOW, &t) != 0) {
    error = "cannot configure " + options_.device + ": " + std::strerror(errno);
    return false;
  }
  tcflush(fd_, TCIOFLUSH);
  return true;
}

void Line::Queue(const std::uint8_t* bytes, std::size_t n, std::int64_t notBeforeUs) {
  while (n > 0) {
    if (count_ > 0) {
      // A later segment can never leave before an earlier one, so bytes due no later than the
      // tail may simply join it.
      Segment& tail = segments_[(head_ + count_ - 1) % kSegments];
      if (notBeforeUs <= tail.notBeforeUs && tail.length < sizeof tail.bytes) {
        const std::size_t take = std::min(n, sizeof tail.bytes - tail.length);
        std::memcpy(tail.bytes + tail.length, bytes, take);
        tail.length = static_cast<std::uint16_t>(tail.length + take);
        bytes += take;
        n -= take;
        continue;
      }
    }
    if (count_ == kSegments) {
      report_.counters.outputDropped += n;
      return;
    }
    Segment& s = segments_[(head_ + count_) % kSegments];
    ++count_;
    s.notBeforeUs = notBeforeUs;
    s.length = 0;
    s.sent = 0;
  }
}

void Line::Discard() {
  for (int i = 0; i < count_; ++i) {
    const Segment& s = segments_[(head_ + i) % kSegments];
    report_.counters.outputDropped += static_cast<std::uint64_t>(s.length - s.sent);
  }
  head_ = 0;
  count_ = 0;
  blocked_ = false;
}

std::int64_t Line::NextDueUs() const {
  if (count_ == 0) return -1;
  const Segment& s = segments_[head_];
  if (!options_.pace) return s.notBeforeUs;
  const std::int64_t start = std::max(wireFreeUs_, s.notBeforeUs);
  return start + static_cast<std::int64_t>(std::ceil(byteUs_));
}

bool Line::Flush(std::int64_t nowUs) {
  blocked_ = false;
  while (count_ > 0) {
    Segment& s = segments_[head_];
    if (nowUs < s.notBeforeUs) return true;
    std::size_t due = static_cast<std::size_t>(s.length - s.sent);
    const std::int64_t paceStart = std::max(wireFreeUs_, s.notBeforeUs);
    if (options_.pace) {
      // Each byte is handed over when its last bit would have left the wire.
      const double elapsed = static_cast<double>(nowUs - paceStart);
      const std::size_t n = elapsed <= 0 ? 0 : static_cast<std::size_t>(elapsed / byteUs_);
      if (n == 0) return true;
      due = std::min(due, n);
    }
    const ssize_t written = write(fd_, s.bytes + s.sent, due);
    if (options_.pace && written > 0)
      wireFreeUs_ = paceStart + static_cast<std::int64_t>(static_cast<double>(written) * byteUs_);
    if (written < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        blocked_ = true;
        return true;
      }
      if (pty_ && errno == EIO) {  // nobody on the other side: the bytes go nowhere
        Discard();
        return true;
      }
      return false;
    }
    if (capture_ != nullptr && written > 0)
      capture_->Data(vkt::serial::kEventSent, 0, s.bytes + s.sent, static_cast<std::size_t>(written));
    s.sent = static_cast<std::uint16_t>(s.sent + written);
    if (s.sent == s.length) {
      head_ = (head_ + 1) % kSegments;
      --count_;
    } else if (static_cast<std::size_t>(written) < due) {
      blocked_ = true;
      return true;
    }
  }
  return true;
}

}  // namespace vktsim
