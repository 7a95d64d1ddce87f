// Line speed of a Linux tty in bits per second, any value the device accepts, through the
// kernel's termios2 record. The kernel headers that declare termios2 collide with the C
// library's <termios.h>, so they live in this file alone; platform_posix.cpp sees only the two
// functions below, as entries of its system-call table.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdint>

namespace vkt::serial::posix {

// Fill `baud` with the output speed of the line; -1 with errno set when the device has no
// termios2 (ENOTTY or EINVAL) or fails otherwise.
int ReadLineSpeed(void*, int fd, std::uint32_t* baud) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return -1;
  *baud = t.c_ospeed;
  return 0;
}

// Set both directions of the line to `baud`, leaving every other line setting as it is.
int WriteLineSpeed(void*, int fd, std::uint32_t baud) {
  if (baud == 0) {
    // Speed 0 would hang the line up.
    errno = EINVAL;
    return -1;
  }
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return -1;
  t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ospeed = baud;
  t.c_ispeed = baud;
  return ioctl(fd, TCSETS2, &t);
}

}  // namespace vkt::serial::posix
