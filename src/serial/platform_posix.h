// The POSIX backend of the serial seam reaches the kernel only through this table of the system
// calls it makes. The system's own backend (SystemPlatform) runs on the real calls; a test can
// build a backend on a table of its own that models a UART driver, to show what a pseudo-terminal
// cannot: wire time, a transmit FIFO, error counters, a board's RS-485 state, a device that goes.
//
// Every entry receives `context` first and reports failure as the call it stands for does
// (-1 and errno).
#pragma once

#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "serial/comm_platform.h"

namespace vkt::serial {

struct PosixSystemCalls {
  void* context = nullptr;
  int (*open)(void* context, const char* path, int flags) = nullptr;
  int (*close)(void* context, int fd) = nullptr;
  // `arg` is the request's pointer argument, or the integer one cast to a pointer.
  int (*ioctl)(void* context, int fd, unsigned long request, void* arg) = nullptr;
  int (*tcgetattr)(void* context, int fd, termios* t) = nullptr;
  int (*tcsetattr)(void* context, int fd, int action, const termios* t) = nullptr;
  int (*ppoll)(void* context, pollfd* fds, nfds_t count, const timespec* timeout) = nullptr;
  ssize_t (*read)(void* context, int fd, void* buffer, std::size_t count) = nullptr;
  ssize_t (*write)(void* context, int fd, const void* buffer, std::size_t count) = nullptr;
  int (*flock)(void* context, int fd, int operation) = nullptr;
  int (*fstat)(void* context, int fd, struct stat* st) = nullptr;
  // The monotonic clock, and a sleep on it.
  int (*clock_gettime)(void* context, timespec* now) = nullptr;
  int (*nanosleep)(void* context, const timespec* want, timespec* rest) = nullptr;
  // Any line speed in bit/s through the kernel's termios2 record (its header clashes with
  // <termios.h>, so the real entries live in a file of their own).
  int (*readSpeed)(void* context, int fd, std::uint32_t* baud) = nullptr;
  int (*writeSpeed)(void* context, int fd, std::uint32_t baud) = nullptr;
};

// The calls of the running system.
const PosixSystemCalls& RealSystemCalls();

// A POSIX backend on `calls`, independent of SystemPlatform's.
std::unique_ptr<CommPlatform> MakePosixPlatform(const PosixSystemCalls& calls);

}  // namespace vkt::serial
