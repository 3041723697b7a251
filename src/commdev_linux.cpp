#include "commdev_linux.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

uint32_t SetCustomSpeed(int fd, uint32_t baudrate) {
  struct termios2 settings;
  if (ioctl(fd, TCGETS2, &settings) != 0) return 0;
  settings.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  settings.c_ispeed = baudrate;
  settings.c_ospeed = baudrate;
  if (ioctl(fd, TCSETS2, &settings) != 0) return 0;
  return GetSpeed(fd);
}

uint32_t GetSpeed(int fd) {
  struct termios2 settings;
  if (ioctl(fd, TCGETS2, &settings) != 0) return 0;
  return settings.c_ospeed;
}
