// Stands in for the termios2 ioctls under qemu-user, which (7.2 at least)
// answers TCGETS2 and TCSETS2 with ENOSYS. Loaded with LD_PRELOAD into an
// emulated program, it serves them with the classic TCGETS and TCSETS and
// their Bxxx rate codes, so standard rates can be set and read back; any
// other rate is refused, as by a driver that cannot make it.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <errno.h>
#include <stdarg.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

struct Rate {
  tcflag_t code;
  speed_t rate;
};
constexpr Rate kRates[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

speed_t RateOf(tcflag_t code) {
  for (const Rate& r : kRates)
    if (r.code == code) return r.rate;
  return 0;
}

// B0 for a rate with no code.
tcflag_t CodeOf(speed_t rate) {
  for (const Rate& r : kRates)
    if (r.rate == rate) return r.code;
  return B0;
}

int SystemIoctl(int fd, unsigned long request, void* arg) {
  return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
}

int GetTermios2(int fd, termios2* t) {
  termios classic;
  if (SystemIoctl(fd, TCGETS, &classic) != 0) return -1;
  memset(t, 0, sizeof *t);
  memcpy(t, &classic, sizeof classic);  // termios2 begins with termios
  t->c_ospeed = RateOf(classic.c_cflag & CBAUD);
  tcflag_t input = (classic.c_cflag >> IBSHIFT) & CBAUD;
  t->c_ispeed = input != B0 ? RateOf(input) : t->c_ospeed;
  return 0;
}

int SetTermios2(int fd, unsigned long request, const termios2* t) {
  termios classic;
  memcpy(&classic, t, sizeof classic);
  if ((t->c_cflag & CBAUD) == BOTHER) {
    tcflag_t code = CodeOf(t->c_ospeed);
    if (code == B0 || t->c_ispeed != t->c_ospeed) return errno = EINVAL, -1;
    classic.c_cflag = (classic.c_cflag & ~CBAUD) | code;
  }
  classic.c_cflag &= ~(CBAUD << IBSHIFT);  // input at the output rate
  unsigned long set = request == TCSETS2 ? TCSETS : request == TCSETSW2 ? TCSETSW : TCSETSF;
  return SystemIoctl(fd, set, &classic);
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  switch (request) {
    case TCGETS2:
      return GetTermios2(fd, static_cast<termios2*>(arg));
    case TCSETS2:
    case TCSETSW2:
    case TCSETSF2:
      return SetTermios2(fd, request, static_cast<const termios2*>(arg));
  }
  return SystemIoctl(fd, request, arg);
}
