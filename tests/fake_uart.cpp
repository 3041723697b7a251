// Preloaded into velcot (LD_PRELOAD), this plays the driver of a serial
// port (a USB adapter unless told otherwise) on top of a real
// pseudo-terminal, which has none of its quirks:
//
//   FAKE_UART_RATES=115200=115384,...  the rate the chip really makes for a
//                                       rate asked for, as TCGETS2 reports it
//   FAKE_UART_FLAGS=0x...               the serial flags TIOCGSERIAL reports
//                                       at first (a pty has none)
//   FAKE_UART_TYPE=4                    the type TIOCGSERIAL reports: 0, as
//                                       USB adapters, or a UART's (4: 16550A)
//   FAKE_UART_BASE=115200               the baud_base it reports (a UART's
//                                       clock over 16; ftdi_sio: 24000000)
//   FAKE_UART_LOG=path                  each TIOCSSERIAL's flags are appended
//                                       there, one "TIOCSSERIAL 0x..." a line,
//                                       and each TIOCMBIS and TIOCMBIC
//   FAKE_UART_MODEM=0x6                 the modem lines at first, which those act on
//   FAKE_UART_POOL=unready              the kernel's random pool is not ready,
//                                       as on a fresh boot: a getrandom that
//                                       may not wait fails with EAGAIN, one
//                                       that would wait is logged
//
// Every other call goes to the real ioctl. Where that has no termios2 (as
// under qemu-user 7.2, which answers ENOSYS), TCGETS2 and TCSETS2 are served
// with the classic TCGETS and TCSETS and their Bxxx rate codes, so a program
// can set and read back the standard rates; other rates are refused, as by a
// driver that cannot make them.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <dlfcn.h>
#include <linux/serial.h>
#include <sys/random.h>

#include <cerrno>
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

int ReadNumber(const char* variable) {
  const char* text = getenv(variable);
  return text != nullptr ? int(strtoul(text, nullptr, 0)) : 0;
}

// The flags of the port, from FAKE_UART_FLAGS until set.
int* FindSerialFlags() {
  static int flags = ReadNumber("FAKE_UART_FLAGS");
  return &flags;
}

// Appends a line, formatted with one number, to FAKE_UART_LOG.
void Log(const char* line, unsigned value) {
  const char* path = getenv("FAKE_UART_LOG");
  FILE* log = path != nullptr ? fopen(path, "a") : nullptr;
  if (log == nullptr) return;
  fprintf(log, line, value);
  fclose(log);
}

struct RateCode {
  tcflag_t code;
  speed_t rate;
};
constexpr RateCode kRateCodes[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

speed_t FindRate(tcflag_t code) {
  for (const RateCode& r : kRateCodes)
    if (r.code == code) return r.rate;
  return 0;
}

// B0 for a rate with no code.
tcflag_t FindCode(speed_t rate) {
  for (const RateCode& r : kRateCodes)
    if (r.rate == rate) return r.code;
  return B0;
}

// TCGETS2 and TCSETS2 (W2, F2) through the classic requests; -1 with ENOSYS
// for any other request.
int ServeTermios2(int fd, unsigned long request, void* argument) {
  termios2* settings = static_cast<termios2*>(argument);
  termios classic;  // the start of termios2
  if (request == TCGETS2) {
    if (FindRealIoctl()(fd, TCGETS, &classic) != 0) return -1;
    memset(settings, 0, sizeof *settings);
    memcpy(settings, &classic, sizeof classic);
    settings->c_ospeed = FindRate(classic.c_cflag & CBAUD);
    tcflag_t input = (classic.c_cflag >> IBSHIFT) & CBAUD;
    settings->c_ispeed = input != B0 ? FindRate(input) : settings->c_ospeed;
    return 0;
  }
  unsigned long set = request == TCSETS2    ? TCSETS
                      : request == TCSETSW2 ? TCSETSW
                      : request == TCSETSF2 ? TCSETSF
                                            : 0;
  if (set == 0) return errno = ENOSYS, -1;
  memcpy(&classic, settings, sizeof classic);
  if ((settings->c_cflag & CBAUD) == BOTHER) {
    tcflag_t code = FindCode(settings->c_ospeed);
    if (code == B0 || settings->c_ispeed != settings->c_ospeed) return errno = EINVAL, -1;
    classic.c_cflag = (classic.c_cflag & ~CBAUD) | code;
  }
  classic.c_cflag &= ~(CBAUD << IBSHIFT);  // input at the output rate
  return FindRealIoctl()(fd, set, &classic);
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
    serial.type = ReadNumber("FAKE_UART_TYPE");
    serial.baud_base = ReadNumber("FAKE_UART_BASE");
    serial.flags = *FindSerialFlags();
    memcpy(argument, &serial, sizeof serial);
    return 0;
  }
  if (getenv("FAKE_UART_MODEM") != nullptr &&
      (request == TIOCMGET || request == TIOCMBIS || request == TIOCMBIC)) {
    static int lines = ReadNumber("FAKE_UART_MODEM");
    int* value = static_cast<int*>(argument);
    if (request == TIOCMGET) *value = lines;
    if (request == TIOCMBIS) lines |= *value;
    if (request == TIOCMBIC) lines &= ~*value;
    if (request != TIOCMGET)
      Log(request == TIOCMBIS ? "TIOCMBIS 0x%x\n" : "TIOCMBIC 0x%x\n", unsigned(*value));
    return 0;
  }
  if (request == TIOCSSERIAL) {
    *FindSerialFlags() = static_cast<serial_struct*>(argument)->flags;
    Log("TIOCSSERIAL 0x%x\n", unsigned(*FindSerialFlags()));
    return 0;
  }
  int result = FindRealIoctl()(fd, request, argument);
  if (result != 0 && errno == ENOSYS) result = ServeTermios2(fd, request, argument);
  if (result == 0 && request == TCGETS2) {
    termios2* settings = static_cast<termios2*>(argument);
    settings->c_ispeed = RoundRate(settings->c_ispeed);
    settings->c_ospeed = RoundRate(settings->c_ospeed);
  }
  return result;
}

extern "C" ssize_t getrandom(void* buffer, size_t length, unsigned flags) {
  typedef ssize_t (*GetrandomFunction)(void*, size_t, unsigned);
  static GetrandomFunction real =
      reinterpret_cast<GetrandomFunction>(dlsym(RTLD_NEXT, "getrandom"));
  const char* pool = getenv("FAKE_UART_POOL");
  if (pool != nullptr && strcmp(pool, "unready") == 0) {
    if ((flags & GRND_NONBLOCK) != 0) return errno = EAGAIN, -1;
    Log("getrandom waits (flags 0x%x)\n", flags);
  }
  return real(buffer, length, flags);
}
