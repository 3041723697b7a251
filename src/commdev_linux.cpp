#include "commdev_linux.h"

#include <asm/termbits.h>
#include <linux/serial.h>
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

// Only a flag users may change is touched, so this needs no privileges.
int RequestLowLatency(int fd) {
  struct serial_struct serial;
  if (ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY) != 0) return -1;
  int saved = serial.flags;
  serial.flags |= ASYNC_LOW_LATENCY;
  return ioctl(fd, TIOCSSERIAL, &serial) == 0 ? saved : -1;
}

void RestoreSerialFlags(int fd, int flags) {
  struct serial_struct serial;
  if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return;
  serial.flags = (serial.flags & ~ASYNC_LOW_LATENCY) | (flags & ASYNC_LOW_LATENCY);
  ioctl(fd, TIOCSSERIAL, &serial);
}
