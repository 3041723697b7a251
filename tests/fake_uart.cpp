// Preloaded into velcot (LD_PRELOAD), this plays the driver of a USB serial
// adapter on top of a real pseudo-terminal, which has none of its quirks:
//
//   FAKE_UART_RATES=115200=115384,...  the rate the chip really makes for a
//                                       rate asked for, as TCGETS2 reports it
//   FAKE_UART_FLAGS=0x...               the serial flags TIOCGSERIAL reports
//                                       at first (a pty has none)
//   FAKE_UART_LOG=path                  each TIOCSSERIAL's flags are appended
//                                       there, one "TIOCSSERIAL 0x..." a line
//
// Every other call goes to the real ioctl.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <dlfcn.h>
#include <linux/serial.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

typedef int (*IoctlFunction)(int, unsigned long, ...);

IoctlFunction FindRealIoctl() {
  static IoctlFunction real = reinterpret_cast<IoctlFunction>(dlsym(RTLD_NEXT, "ioctl"));
  return real;
}

// The rate FAKE_UART_RATES gives for rate, or rate itself.
unsigned RoundRate(unsigned rate) {
  const char* p = getenv("FAKE_UART_RATES");
  while (p != nullptr && *p != '\0') {
    char* end;
    unsigned long asked = strtoul(p, &end, 10);
    if (*end != '=') break;
    unsigned long made = strtoul(end + 1, &end, 10);
    if (asked == rate) return unsigned(made);
    p = *end == ',' ? end + 1 : end;
  }
  return rate;
}

// The flags of the port, from FAKE_UART_FLAGS until set.
int* FindSerialFlags() {
  static int flags = [] {
    const char* text = getenv("FAKE_UART_FLAGS");
    return text != nullptr ? int(strtoul(text, nullptr, 0)) : 0;
  }();
  return &flags;
}

void LogSerialFlags(int flags) {
  const char* path = getenv("FAKE_UART_LOG");
  FILE* log = path != nullptr ? fopen(path, "a") : nullptr;
  if (log == nullptr) return;
  fprintf(log, "TIOCSSERIAL 0x%x\n", unsigned(flags));
  fclose(log);
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  if (request == TIOCGSERIAL) {
    serial_struct serial;
    memset(&serial, 0, sizeof serial);
    serial.type = PORT_16550A;
    serial.flags = *FindSerialFlags();
    memcpy(argument, &serial, sizeof serial);
    return 0;
  }
  if (request == TIOCSSERIAL) {
    *FindSerialFlags() = static_cast<serial_struct*>(argument)->flags;
    LogSerialFlags(*FindSerialFlags());
    return 0;
  }
  int result = FindRealIoctl()(fd, request, argument);
  if (result == 0 && request == TCGETS2) {
    termios2* settings = static_cast<termios2*>(argument);
    settings->c_ispeed = RoundRate(settings->c_ispeed);
    settings->c_ospeed = RoundRate(settings->c_ospeed);
  }
  return result;
}
