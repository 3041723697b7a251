#include "ports/commdev_linux.h"

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

// The kernel's own UART drivers report their clock over 16 as baud_base and
// their type; the 8250 family's 16550-style UARTs, PORT_8250 to
// PORT_16850, divide that by a whole number (other UARTs have fractional
// dividers). USB adapters report no type; in kernels before 5.14 a few
// claim a 16550 with a baud_base near their clock or equal to the current
// rate, which the sum below takes as it is. A rate above baud_base is
// refused by the driver itself, which then keeps another.
uint32_t FindDivisorRate(int fd, uint32_t rate) {
  struct serial_struct serial;
  if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return 0;
  if (serial.type < PORT_8250 || serial.type > PORT_16850) return 0;
  if (serial.baud_base <= 0 || rate == 0 || rate > uint32_t(serial.baud_base)) return 0;
  uint64_t base = uint32_t(serial.baud_base);
  return uint32_t(base / ((base + rate / 2) / rate));
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
