// ScriptedKernel: a model of a Linux UART driver behind the POSIX backend's system-call table,
// for what a pseudo-terminal cannot show. Time is virtual (microseconds): ppoll and nanosleep
// move it on to the next event or deadline, so a second of wire time costs none.
//
// A device drains its output at the wire rate of its line settings, through a transmit FIFO:
// TIOCOUTQ counts what has not yet reached the FIFO, TIOCSER_TEMT is set once the last stop bit
// has left. Received bytes come at scripted times, each with an optional line error that the
// TIOCGICOUNT counters count. The board's RS-485 state answers TIOCGRS485/TIOCSRS485, or ENOTTY
// as on USB adapters. A device can drop CMSPAR or round its speed in tcsetattr, hold its
// transmitter (CTS flow), and go away: its name is freed, its open descriptors hang up (read 0,
// poll POLLHUP|POLLERR, write and ioctl EIO), and a new device can appear under the same name.
#pragma once

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "serial/platform_posix.h"

namespace vkt::test {

enum class LineFault { None, Framing, Parity, Overrun };

struct ScriptedDevice {
  // ---- What the device can do (set before the driver opens it) ----
  bool lineStatus = true;   // TIOCSERGETLSR answers
  bool counters = true;     // TIOCGICOUNT answers
  bool rs485 = false;       // TIOCGRS485/TIOCSRS485 answer; ENOTTY otherwise
  bool keepsCmspar = true;  // false: tcsetattr drops mark/space parity
  // Speeds the device can run at; a speed asked for becomes the nearest of them. Empty: any.
  std::vector<std::uint32_t> speeds;
  unsigned fifo = 16;       // transmit FIFO bytes in front of the shift register
  unsigned room = 4096;     // output buffer of the tty: write() takes no more
  unsigned major = 4;       // device major number (4: ttyS, 188: ttyUSB, 136: pty)

  // ---- State ----
  termios tio{};
  std::uint32_t speed = 9600;
  serial_rs485 rs485State{};
  int rs485Writes = 0;      // TIOCSRS485 calls that changed nothing or something
  int modemBits = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
  serial_icounter_struct icount{};
  bool gone = false;
  bool held = false;        // the transmitter is held (CTS flow): nothing leaves
  std::vector<std::uint8_t> wire;  // bytes that have left, in order
  std::int64_t lastOutUs = -1;     // when the last of them left
  // RTS levels as the driver set them, with the time: (µs, on).
  std::vector<std::pair<std::int64_t, bool>> rtsLog;
  // Called each time the output has fully left the device, with the kernel.
  std::function<void()> onSent;

  // ---- Inside the model ----
  std::deque<std::uint8_t> tx;
  std::int64_t nextOutUs = 0;
  std::deque<std::uint8_t> rx;
  struct Incoming {
    std::int64_t atUs;
    std::uint8_t byte;
    LineFault fault;
  };
  std::deque<Incoming> incoming;  // in time order
  int lockedBy = -1;

  // Wire time of one character at the current line settings.
  std::int64_t CharUs() const;
};

class ScriptedKernel {
 public:
  ScriptedKernel();

  const serial::PosixSystemCalls& Calls() const { return calls_; }
  // A POSIX backend running on this kernel.
  std::unique_ptr<serial::CommPlatform> MakePlatform() const;

  // A new device under `path` (replacing any there): a real UART by default.
  std::shared_ptr<ScriptedDevice> AddDevice(const std::string& path,
                                            ScriptedDevice model = ScriptedDevice{});
  // The device under `path` goes away: the name is free, open descriptors hang up.
  void Unplug(const std::string& path);

  std::int64_t NowUs() const { return nowUs_; }
  void AdvanceUs(std::int64_t us) { AdvanceTo(nowUs_ + us); }
  // Runs `action` when the clock reaches `atUs`.
  void At(std::int64_t atUs, std::function<void()> action);

  // The remote end sends `bytes` starting `delayUs` from now, back to back at the wire rate;
  // `fault` marks the first byte with a line error.
  void Send(ScriptedDevice& device, const std::vector<std::uint8_t>& bytes,
            std::int64_t delayUs = 0, LineFault fault = LineFault::None);
  // Holds or releases the transmitter.
  void Hold(ScriptedDevice& device, bool held);

  // System calls made, by name ("ioctl:TIOCSRS485", "read", ...).
  int CallCount(const std::string& name) const;

 private:
  void AdvanceTo(std::int64_t t);
  void Step(ScriptedDevice& d, std::int64_t t);
  ScriptedDevice* Of(int fd);
  void Count(const char* name) { ++calls_made_[name]; }

  static int Open(void* k, const char* path, int flags);
  static int Close(void* k, int fd);
  static int Ioctl(void* k, int fd, unsigned long request, void* arg);
  static int Tcgetattr(void* k, int fd, termios* t);
  static int Tcsetattr(void* k, int fd, int action, const termios* t);
  static int Ppoll(void* k, pollfd* fds, nfds_t count, const timespec* timeout);
  static ssize_t Read(void* k, int fd, void* buffer, std::size_t count);
  static ssize_t Write(void* k, int fd, const void* buffer, std::size_t count);
  static int Flock(void* k, int fd, int operation);
  static int Fstat(void* k, int fd, struct stat* st);
  static int ClockGettime(void* k, timespec* now);
  static int Nanosleep(void* k, const timespec* want, timespec* rest);
  static int ReadSpeed(void* k, int fd, std::uint32_t* baud);
  static int WriteSpeed(void* k, int fd, std::uint32_t baud);

  std::uint32_t Taken(const ScriptedDevice& d, std::uint32_t baud) const;

  serial::PosixSystemCalls calls_;
  std::int64_t nowUs_ = 1000000;
  std::map<std::string, std::shared_ptr<ScriptedDevice>> names_;
  std::map<int, std::shared_ptr<ScriptedDevice>> fds_;
  int nextFd_ = 100;
  std::multimap<std::int64_t, std::function<void()>> actions_;
  std::map<std::string, int> calls_made_;
};

}  // namespace vkt::test
