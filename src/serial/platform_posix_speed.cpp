// Line speed of a Linux tty in bits per second, any value the device accepts, through the
// kernel's termios2 record. The kernel headers that declare termios2 collide with the C
// library's <termios.h>, so they live in this file alone; platform_posix.cpp sees only the two
// functions below.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdint>

namespace vkt::serial::posix {

// Fill `baud` with the output speed of the line; false with errno set when the device has no
// termios2 (ENOTTY or EINVAL) or fails otherwise.
bool ReadLineSpeed(int fd, std::uint32_t& baud) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  baud = t.c_ospeed;
  return true;
}

// Set both directions of the line to `baud`, leaving every other line setting as it is.
bool WriteLineSpeed(int fd, std::uint32_t baud) {
  if (baud == 0) {
    // Speed 0 would hang the line up.
    errno = EINVAL;
    return false;
  }
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ospeed = baud;
  t.c_ispeed = baud;
  return ioctl(fd, TCSETS2, &t) == 0;
}

}  // namespace vkt::serial::posix
