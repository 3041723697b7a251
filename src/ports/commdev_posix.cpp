// The serial port on POSIX systems, through termios; a line handed over
// on standard input and output; a network serial port over TCP.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ports/commdev.h"
#include "ports/telnet.h"
#ifdef __linux__
#include "ports/commdev_linux.h"
#endif

// "COMn" names the n-th serial port, as on the systems the name comes from;
// every other name is a device path used as given.
static std::string MapPortName(const char* name) {
  if (strncmp(name, "COM", 3) != 0 || name[3] < '1' || name[3] > '9') return name;
  char* end = nullptr;
  unsigned long n = strtoul(name + 3, &end, 10);
  if (*end != '\0' || n > 256) return name;
  return "/dev/ttyS" + std::to_string(n - 1);
}

// One read takes whatever the driver has, up to this much; collected writes
// go out in one call once this much is waiting.
constexpr size_t kPortBufferSize = 4096;

// A device opened by name; standard input and output (-p -); a TCP
// connection, or a descriptor adopted as one: bytes only.
enum PortKind { DEVICE_PORT, STANDARD_PORT, NETWORK_PORT };

struct PortState {
  int fd;        // read from, and written to unless write_fd differs
  int write_fd;  // for standard streams, a copy of standard output
  PortKind kind;
  bool telnet;  // RFC 2217: Telnet around the line's data
  TelnetState telnet_state;
  bool settings_saved;  // original_settings are to be put back
  struct termios original_settings;
  int serial_flags;  // to be put back, or -1
  int error;         // why the port was lost: an errno value, or kHungUp
  // DTR and RTS as they were, of those asked for (modem_asked), to be put
  // back; or -1.
  int modem_lines;
  int modem_asked;
  bool last_words;  // WriteLastWords spoke: what the driver holds is theirs alone
  // A character's time on the line at the speed set, for ReadBytes to sleep
  // by; 0 while unknown, and for good once the line has brought bytes faster
  // than that.
  uint64_t char_ns;
  size_t read_next;  // read_ahead[read_next..read_end) not taken yet
  size_t read_end;
  size_t write_count;  // to_write[0..write_count) not handed over yet
  unsigned char read_ahead[kPortBufferSize];
  unsigned char to_write[kPortBufferSize];
};

PortHandle AdoptPortDescriptor(int fd) {
  PortState* port = static_cast<PortState*>(calloc(1, sizeof(PortState)));
  if (port == nullptr) return kInvalidPortHandle;
  port->fd = fd;
  port->write_fd = fd;
  port->kind = NETWORK_PORT;
  port->serial_flags = -1;
  port->modem_lines = -1;
  return port;
}

// The two causes users meet most get a hint.
static void ReportOpenFailure(const char* call, const std::string& path, int error) {
  const char* hint = "";
  if (error == EACCES || error == EPERM) {
    hint =
        " (this user may not use the port: add it to the port's group, usually dialout, "
        "and log in again)";
  } else if (error == EBUSY || error == EWOULDBLOCK) {
    hint = " (another program has the port open)";
  }
  fprintf(stderr, "%s(%s) failed: %s%s\n", call, path.c_str(), strerror(error), hint);
}

static int OpenExclusively(const std::string& path) {
  // Non-blocking open: a port waiting for carrier must not hang us here.
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return ReportOpenFailure("open", path, errno), -1;
  // Exclusive: another velcot, or any program that locks the port, keeps it.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ReportOpenFailure("flock", path, errno);
    close(fd);
    return -1;
  }
  // A file, or a device other than a terminal, has no line to set up.
  if (!isatty(fd)) {
    fprintf(stderr, "%s is not a serial port: %s\n", path.c_str(), strerror(errno));
    close(fd);
    return -1;
  }
  ioctl(fd, TIOCEXCL);
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    ReportOpenFailure("fcntl", path, errno);
    close(fd);
    return -1;
  }
  return fd;
}

// The line a terminal program, socat or ssh hands over: copies of standard
// input and output, so that the driver may point those elsewhere. No lock:
// the program that handed the line over holds it.
static PortHandle OpenStandardStreams() {
  int in = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
  int out = in < 0 ? -1 : fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  PortHandle port = out < 0 ? kInvalidPortHandle : AdoptPortDescriptor(in);
  if (port == kInvalidPortHandle) {
    ReportOpenFailure("dup", "-", out < 0 ? errno : ENOMEM);
    if (in >= 0) close(in);
    if (out >= 0) close(out);
    return kInvalidPortHandle;
  }
  port->write_fd = out;
  port->kind = STANDARD_PORT;
  port->settings_saved = isatty(in) && tcgetattr(in, &port->original_settings) == 0;
  return port;
}

static PortResult QueueBytes(PortHandle port, const uint8_t* bytes, size_t length);

static bool IsInterrupted();

// Waits for a non-blocking connect: 0 once connected, or an errno.
static int FinishConnect(int fd) {
  struct pollfd wanted = {fd, POLLOUT, 0};
  int n;
  while ((n = poll(&wanted, 1, int(kConnectLimitMs))) < 0 && errno == EINTR && !IsInterrupted()) {
  }
  if (n < 0) return errno;
  if (n == 0) return ETIMEDOUT;
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

// Connects to the first address of the host that answers: the descriptor,
// or -1 after a line on stderr that says why the last one failed.
static int ConnectTo(const NetworkAddress& address) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  int lookup = getaddrinfo(address.host.c_str(), address.service.c_str(), &hints, &found);
  if (lookup != 0) {
    fprintf(stderr, "Couldn't connect to %s: %s\n", address.shown.c_str(),
            lookup == EAI_SYSTEM ? strerror(errno) : gai_strerror(lookup));
    return -1;
  }
  int error = ENOENT;
  int fd = -1;
  for (struct addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) {
      error = errno;
      continue;
    }
    error = connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
    if (error == EINPROGRESS) error = FinishConnect(fd);
    if (error != 0) {
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  if (fd < 0) {
    fprintf(stderr, "Couldn't connect to %s: %s\n", address.shown.c_str(), strerror(error));
    return -1;
  }
  // Blocking from here on; every small reply goes out at once, as on a line.
  int one = 1;
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

static PortHandle OpenNetworkPort(const NetworkAddress& address) {
  int fd = ConnectTo(address);
  if (fd < 0) return kInvalidPortHandle;
  PortHandle port = AdoptPortDescriptor(fd);
  if (port == kInvalidPortHandle) {
    ReportOpenFailure("calloc", address.shown, ENOMEM);
    close(fd);
    return kInvalidPortHandle;
  }
  port->telnet = address.telnet;
  if (port->telnet) {
    std::string start = StartTelnet(&port->telnet_state, true);
    QueueBytes(port, reinterpret_cast<const uint8_t*>(start.data()), start.size());
  }
  return port;
}

PortHandle OpenComPort(const char* name) {
  if (strcmp(name, "-") == 0) return OpenStandardStreams();
  NetworkAddress address;
  AddressKind kind = ParseNetworkAddress(name, &address);
  if (kind == AddressKind::kMalformed) {
    fprintf(stderr, "Couldn't connect to %s: not HOST:PORT\n", name);
    return kInvalidPortHandle;
  }
  if (kind == AddressKind::kNetwork) return OpenNetworkPort(address);
  std::string path = MapPortName(name);
  int fd = OpenExclusively(path);
  if (fd < 0) return kInvalidPortHandle;
  PortHandle port = AdoptPortDescriptor(fd);
  if (port == kInvalidPortHandle) {
    ReportOpenFailure("calloc", path, ENOMEM);
    close(fd);
    return kInvalidPortHandle;
  }
  port->kind = DEVICE_PORT;
  port->settings_saved = tcgetattr(fd, &port->original_settings) == 0;
  return port;
}

static speed_t FindStandardSpeed(uint32_t baudrate) {
  static const struct {
    uint32_t rate;
    speed_t code;
  } kRates[] = {
      {50, B50},           {75, B75},           {110, B110},         {134, B134},
      {150, B150},         {200, B200},         {300, B300},         {600, B600},
      {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
      {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
      {115200, B115200},   {230400, B230400},
#ifdef B460800
      {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600},
      {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
      {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
#endif
  };
  for (const auto& entry : kRates) {
    if (entry.rate == baudrate) return entry.code;
  }
  return B0;
}

// Data bits, parity and stop bits on a raw, 8-bit clean line: no flow
// control unless asked for, no translation, no echo, no signals, parity
// generated but not checked, reads wait for one byte. A break (a peer
// powering down, a line left floating low) is dropped instead of read as a
// NUL that would put the exchange out of step; a char with a framing or
// parity error is passed on as it came, for the block checksum to judge.
static bool BuildSettings(const LineFormat& format, FlowControl flow, struct termios* settings) {
  static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  if (format.data_bits < 5 || format.data_bits > 8) return false;
  memset(settings, 0, sizeof *settings);
  settings->c_iflag = IGNBRK;
  settings->c_cflag = CREAD | CLOCAL | kSizes[format.data_bits - 5];
  if (format.parity != 'N') settings->c_cflag |= PARENB;
  if (format.parity == 'O') settings->c_cflag |= PARODD;
  if (format.stop_bits == 2) settings->c_cflag |= CSTOPB;
  if (flow == FlowControl::kRtsCts) settings->c_cflag |= CRTSCTS;
  if (flow == FlowControl::kXonXoff) {
    settings->c_iflag |= IXON | IXOFF;
    settings->c_cc[VSTART] = 0x11;
    settings->c_cc[VSTOP] = 0x13;
  }
  settings->c_cc[VMIN] = 1;
  settings->c_cc[VTIME] = 0;
  return true;
}

// Two UARTs whose rates differ by up to 2% still frame each other's chars.
static bool IsRateCloseEnough(uint32_t actual, uint32_t wanted) {
  uint64_t difference = actual > wanted ? actual - wanted : wanted - actual;
  return difference * 50 <= wanted;
}

// Applies the settings and reads the speed back, which is what the driver
// set: some drivers accept a rate they cannot make and silently keep
// another, and many report the rate their clock really divides down to
// (cp210x and pl2303: 115384 for 115200). Returns that rate, or 0 with
// errno set when the platform refuses the settings.
static uint32_t ApplySettings(int fd, struct termios* settings, uint32_t baudrate) {
  speed_t code = FindStandardSpeed(baudrate);
#ifdef __linux__
  if (code == B0) code = B38400;  // replaced by the exact rate below
#else
  if (code == B0) code = speed_t(baudrate);  // BSD: speeds are plain rates
#endif
  if (cfsetispeed(settings, code) != 0 || cfsetospeed(settings, code) != 0 ||
      tcsetattr(fd, TCSANOW, settings) != 0) {
    return 0;
  }
#ifdef __linux__
  return FindStandardSpeed(baudrate) == B0 ? SetCustomSpeed(fd, baudrate) : GetSpeed(fd);
#else
  struct termios applied;
  if (tcgetattr(fd, &applied) != 0) return 0;
  return uint32_t(cfgetospeed(&applied));
#endif
}

// False, after saying so, when the line would not run at the rate asked
// for: the driver kept another, or (Linux) the UART's clock divides down
// to another, which some drivers report as the rate asked for.
static bool IsRateMade(int fd, uint32_t wanted, uint32_t reported) {
  if (!IsRateCloseEnough(reported, wanted)) {
    fprintf(stderr, "the driver set %lu baud when %lu was asked\n",
            static_cast<unsigned long>(reported), static_cast<unsigned long>(wanted));
    return false;
  }
#ifdef __linux__
  uint32_t made = FindDivisorRate(fd, reported);
  if (made != 0 && !IsRateCloseEnough(made, wanted)) {
    fprintf(stderr, "the UART's clock makes %lu baud for %lu\n", static_cast<unsigned long>(made),
            static_cast<unsigned long>(wanted));
    return false;
  }
#else
  (void)fd;
#endif
  return true;
}

// DTR and RTS as asked, held off where not; RTS/CTS flow control keeps
// RTS raised for the other end to send. Those asked for are noted, as they
// were, to be put back at close. A pseudo-terminal has no modem lines:
// said when some were asked for.
static bool SetModemLines(PortHandle port, const LineControl& control) {
  int on = control.dtr == ModemLine::kOn ? TIOCM_DTR : 0;
  if (control.rts == ModemLine::kOn || control.flow == FlowControl::kRtsCts) on |= TIOCM_RTS;
  int off = (TIOCM_DTR | TIOCM_RTS) & ~on;
  int asked = (control.dtr != ModemLine::kUnset ? TIOCM_DTR : 0) |
              (control.rts != ModemLine::kUnset ? TIOCM_RTS : 0);
  int lines = 0;
  if (asked != 0 && port->modem_lines < 0 && ioctl(port->fd, TIOCMGET, &lines) == 0) {
    port->modem_lines = lines;
    port->modem_asked = asked;
  }
  if ((on == 0 || ioctl(port->fd, TIOCMBIS, &on) == 0) &&
      (off == 0 || ioctl(port->fd, TIOCMBIC, &off) == 0)) {
    return true;
  }
  if (errno != ENOTTY && errno != EINVAL) return false;
  if (asked != 0) {
    fprintf(stderr, "the port has no modem lines (%s): --dtr and --rts change nothing\n",
            strerror(errno));
  }
  return true;
}

// Puts back the modem lines asked for as they were.
static void PutModemLinesBack(PortHandle port) {
  if (port->modem_lines < 0) return;
  int on = port->modem_lines & port->modem_asked;
  int off = port->modem_asked & ~port->modem_lines;
  if (on != 0) ioctl(port->fd, TIOCMBIS, &on);
  if (off != 0) ioctl(port->fd, TIOCMBIC, &off);
}

// Sets the line up: the rate the driver reports, or 0 with errno set.
static uint32_t SetUpLine(PortHandle port, const LineFormat& format, uint32_t baudrate,
                          const LineControl& control) {
  struct termios settings;
  if (!BuildSettings(format, control.flow, &settings)) {
    errno = EINVAL;  // a data-bit count the platform has no setting for
    return 0;
  }
  uint32_t reported = ApplySettings(port->fd, &settings, baudrate);
  return reported != 0 && SetModemLines(port, control) ? reported : 0;
}

// A pipe or a socket carries bytes only: line control asked for is said to
// change nothing.
static void NoteNoLineControl(const LineControl& control) {
  if (control.flow == FlowControl::kNone && control.dtr == ModemLine::kUnset &&
      control.rts == ModemLine::kUnset) {
    return;
  }
  fprintf(stderr,
          "the port is a pipe or a socket, not a serial line: --flow, --dtr and --rts change "
          "nothing\n");
}

static PortResult FlushWrites(PortHandle port);
static PortResult FillReadAhead(PortHandle port);
static PortResult PollLine(PortHandle port, int timeout_ms);
static int64_t ReadClockNs();

// A server that refuses a client (ser2net does while another holds the
// device) closes the connection while the settings are asked for: false.
static bool ReportServerGone(PortHandle port) {
  if (GetPortError(port) == kHungUp) {
    fprintf(stderr, "the port server closed the connection\n");
  } else {
    fprintf(stderr, "lost the connection to the port server: %s\n", DescribePortLoss(port));
  }
  return false;
}

// Sets the remote UART up through COM-PORT-OPTION and checks what the
// server answers, as the speed a driver reports is checked: false after a
// line that says why.
static bool ConfigureRemotePort(PortHandle port, uint32_t baudrate, const LineFormat& format,
                                const LineControl& control) {
  std::string request = RequestComPortSettings(&port->telnet_state, baudrate, format, control);
  PortResult sent =
      QueueBytes(port, reinterpret_cast<const uint8_t*>(request.data()), request.size());
  if (sent == PortResult::kDone) sent = FlushWrites(port);
  if (sent != PortResult::kDone) return ReportServerGone(port);
  // The line's own bytes that come meanwhile stay read ahead.
  int64_t start_ns = ReadClockNs();
  for (;;) {
    bool complete = false;
    std::string refusal =
        CheckComPortAnswers(port->telnet_state, baudrate, format, &complete, control);
    if (complete) {
      if (refusal.empty()) return true;
      fprintf(stderr, "%s\n", refusal.c_str());
      return false;
    }
    int64_t left = int64_t(kComPortAnswerLimitMs) - (ReadClockNs() - start_ns) / 1000000;
    PortResult ready = left > 0 ? PollLine(port, int(left)) : PortResult::kTimedOut;
    if (ready == PortResult::kDone) ready = FillReadAhead(port);
    if (ready == PortResult::kLost) return ReportServerGone(port);
    if (left <= 0) {
      fprintf(stderr, "the port server did not answer COM-PORT-OPTION's settings within 5 s\n");
      return false;
    }
  }
}

bool ConfigureComPort(PortHandle port, uint32_t baudrate, const char* mode,
                      const LineControl& control) {
  LineFormat format;
  if (!ParseLineMode(mode, &format)) return false;
  if (port->telnet) return ConfigureRemotePort(port, baudrate, format, control);
  // A pipe or a socket has no speed: the stall limits come from -b all the same.
  if (port->kind != DEVICE_PORT && !isatty(port->fd)) {
    NoteNoLineControl(control);
    return true;
  }
  uint32_t reported = SetUpLine(port, format, baudrate, control);
  if (reported == 0) {
    fprintf(stderr, "the port refused %lu baud %s: %s\n", static_cast<unsigned long>(baudrate),
            mode, strerror(errno));
    return false;
  }
  if (!IsRateMade(port->fd, baudrate, reported)) return false;
#ifdef __linux__
  if (port->serial_flags < 0) port->serial_flags = RequestLowLatency(port->fd);
#endif
  port->char_ns = uint64_t(CountBitsPerCharacter(format)) * 1000000000 / std::max(baudrate, 1u);
  return true;
}

// The signal that asked the run to end, or 0: the program's one global,
// set by the handler below.
static volatile sig_atomic_t interruption = 0;

static void NoteInterruption(int signal) {
  interruption = signal;
}

void CatchInterrupts() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = NoteInterruption;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked read or wait returns
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    // One that was ignored when the run began (nohup, a background job of a
    // shell without job control) stays ignored.
    struct sigaction current;
    if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    sigaction(signal, &action, nullptr);
  }
}

int GetInterruption() {
  return interruption;
}

// True once the run has been asked to end. (A signal that comes between
// this check and a blocking read is seen when the read returns: with the
// next byte, or at the next signal.)
static bool IsInterrupted() {
  return interruption != 0;
}

int GetPortError(PortHandle port) {
  return port->error;
}

// Notes why the port is lost.
static PortResult LosePort(PortHandle port, int error) {
  port->error = error;
  return PortResult::kLost;
}

// Hands the collected bytes to the driver.
static PortResult FlushWrites(PortHandle port) {
  size_t done = 0;
  while (done < port->write_count) {
    ssize_t n = write(port->write_fd, port->to_write + done, port->write_count - done);
    if (n > 0) {
      done += size_t(n);
    } else if (n < 0 && errno == EINTR && !IsInterrupted()) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {  // a non-blocking descriptor handed over
      struct pollfd room = {port->write_fd, POLLOUT, 0};
      poll(&room, 1, -1);
    } else {
      port->write_count = 0;
      return LosePort(port, n == 0 ? kHungUp : errno);
    }
  }
  port->write_count = 0;
  return PortResult::kDone;
}

// Takes the Telnet commands out of what was just read, and answers them.
static PortResult DecodeReadAhead(PortHandle port, size_t from) {
  std::string reply;
  uint8_t* fresh = port->read_ahead + from;
  port->read_end =
      from + DecodeTelnet(&port->telnet_state, fresh, port->read_end - from, fresh, &reply);
  if (reply.empty()) return PortResult::kDone;
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(reply.data());
  PortResult queued = QueueBytes(port, bytes, reply.size());
  return queued == PortResult::kDone ? FlushWrites(port) : queued;
}

// Waits for bytes and takes all the driver has, after those read ahead. On
// a Telnet connection they may all turn out to be commands.
static PortResult FillReadAhead(PortHandle port) {
  if (port->read_next == port->read_end) port->read_next = port->read_end = 0;
  size_t room = sizeof port->read_ahead - port->read_end;
  if (room == 0) return PortResult::kDone;
  for (;;) {
    ssize_t n = read(port->fd, port->read_ahead + port->read_end, room);
    if (n > 0) {
      size_t from = port->read_end;
      port->read_end += size_t(n);
      return port->telnet ? DecodeReadAhead(port, from) : PortResult::kDone;
    }
    if (n < 0 && errno == EINTR && !IsInterrupted()) continue;
    if (n < 0 && errno == EAGAIN) {  // a non-blocking descriptor handed over
      if (PollLine(port, -1) == PortResult::kLost) return PortResult::kLost;
      continue;
    }
    // A terminal whose other side closed answers a read with 0 or EIO,
    // whichever of the hang-up's two steps the read meets first.
    bool hung_up = n == 0 || (errno == EIO && port->kind != NETWORK_PORT);
    return LosePort(port, hung_up ? kHungUp : errno);
  }
}

// Moves up to length bytes read ahead into buffer; returns how many.
static size_t TakeReadAhead(PortHandle port, uint8_t* buffer, size_t length) {
  size_t n = std::min(length, port->read_end - port->read_next);
  memcpy(buffer, port->read_ahead + port->read_next, n);
  port->read_next += n;
  return n;
}

PortResult FlushPort(PortHandle port) {
  if (IsInterrupted()) return LosePort(port, EINTR);
  return port->write_count > 0 ? FlushWrites(port) : PortResult::kDone;
}

// Before any read or wait: a run asked to end stops here, and the collected
// bytes go out, so that no answer waits behind them.
static PortResult TurnToReading(PortHandle port) {
  return FlushPort(port);
}

// Waits at most timeout_ms (-1: for ever) until the driver has bytes:
// kDone, kTimedOut, or kLost.
static PortResult PollLine(PortHandle port, int timeout_ms) {
  struct pollfd wanted = {port->fd, POLLIN, 0};
  for (;;) {
    int n = poll(&wanted, 1, timeout_ms);
    if (n > 0) return PortResult::kDone;  // a byte, or a hang-up that the next read reports
    if (n == 0) return PortResult::kTimedOut;
    if (errno != EINTR || IsInterrupted()) return LosePort(port, errno);
  }
}

static int64_t ReadClockNs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Waits at most timeout_ms (-1: for ever) until bytes of the line are read
// ahead: kDone, kTimedOut, or kLost. Telnet commands that come meanwhile
// are answered, and are no bytes of the line.
static PortResult AwaitData(PortHandle port, int timeout_ms) {
  int64_t start_ns = ReadClockNs();
  while (port->read_next == port->read_end) {
    int left = timeout_ms;
    if (timeout_ms > 0) {
      left = int(std::max<int64_t>(timeout_ms - (ReadClockNs() - start_ns) / 1000000, 0));
    }
    PortResult ready = PollLine(port, left);
    if (ready == PortResult::kDone) ready = FillReadAhead(port);
    if (ready != PortResult::kDone) return ready;
    if (left == 0 && port->read_next == port->read_end) return PortResult::kTimedOut;
  }
  return PortResult::kDone;
}

PortResult ReadByte(PortHandle port, uint8_t* byte) {
  PortResult ready = TurnToReading(port);
  // Without Telnet every byte is data: a read that blocks is the wait.
  if (ready == PortResult::kDone && port->read_next == port->read_end) {
    ready = port->telnet ? AwaitData(port, -1) : FillReadAhead(port);
  }
  if (ready == PortResult::kDone) *byte = port->read_ahead[port->read_next++];
  return ready;
}

PortResult WaitForByte(PortHandle port, uint32_t timeout_ms) {
  PortResult turned = TurnToReading(port);
  if (turned != PortResult::kDone) return turned;
  return AwaitData(port, timeout_ms > INT_MAX ? INT_MAX : int(timeout_ms));
}

// What is left of silence_ms once the line has been quiet for quiet_ns, as
// a poll time-out: -1 for ever when silence_ms is 0.
static int CountSilenceLeft(uint32_t silence_ms, int64_t quiet_ns) {
  if (silence_ms == 0) return -1;
  int64_t left_ms = int64_t(silence_ms) - quiet_ns / 1000000;
  return int(std::min<int64_t>(std::max<int64_t>(left_ms, 0), INT_MAX));
}

// Sleeps for ns nanoseconds: kDone, or kLost once the run is asked to end.
static PortResult SleepFor(PortHandle port, uint64_t ns) {
  struct timespec left = {time_t(ns / 1000000000), long(ns % 1000000000)};
  while (nanosleep(&left, &left) != 0) {
    if (errno != EINTR) break;  // not slept: the reader only wakes sooner
    if (IsInterrupted()) return LosePort(port, EINTR);
  }
  return PortResult::kDone;
}

// True when one arrival after a wait brought more than the line could have
// carried meanwhile. A paced line hands over at once only what its UART's
// FIFO or a USB adapter's packet held (62 characters on an FTDI chip) and
// what piled up while the driver or the pty was held up: on a busy machine
// that happens for milliseconds (allowed 5 ms).
static bool IsFasterThanLine(uint64_t char_ns, size_t arrived, int64_t waited_ns) {
  return arrived > (uint64_t(waited_ns) + 5000000) / char_ns + 64;
}

// Sleeps while most of the coming characters travel, so that a read wakes a
// few times a block rather than once a character. It wakes while the last
// few are still on the way, so that none waits for the reader: it allows
// for a line up to 1/32 faster than the speed set (the two ends' clocks may
// differ by a few percent) and for a sleep that ends up to a quarter of a
// millisecond late (a timer's slack, 50 us on Linux, and the wake-up).
static PortResult SleepWhileArriving(PortHandle port, size_t coming) {
  uint64_t margin = std::max<uint64_t>(4, 250000 / port->char_ns);
  uint64_t surely = coming - coming / 32;
  return surely > margin ? SleepFor(port, (surely - margin) * port->char_ns) : PortResult::kDone;
}

// Takes what has already come, then each arrival as it comes. Bytes that
// arrive while the reader waits (fresh) tell that the line is busy from
// then on: had the driver or an adapter been holding any, it would have
// handed them over with these. So the sleep is sized from that moment, not
// from bytes that were waiting, which may have come long before.
PortResult ReadBytes(PortHandle port, uint8_t* buffer, size_t length, uint32_t silence_ms) {
  PortResult ready = TurnToReading(port);
  if (ready != PortResult::kDone) return ready;
  size_t got = TakeReadAhead(port, buffer, length);
  int64_t heard_ns = ReadClockNs();  // since then the line has been quiet, at the most
  while (got < length) {
    int64_t asked_ns = ReadClockNs();
    ready = AwaitData(port, 0);
    bool fresh = ready == PortResult::kTimedOut;
    if (fresh) ready = AwaitData(port, CountSilenceLeft(silence_ms, asked_ns - heard_ns));
    if (ready != PortResult::kDone) return ready;
    size_t arrived = TakeReadAhead(port, buffer + got, length - got);
    got += arrived;
    heard_ns = ReadClockNs();
    if (!fresh || port->char_ns == 0) continue;
    if (IsFasterThanLine(port->char_ns, arrived, heard_ns - asked_ns)) {
      port->char_ns = 0;  // an unpaced line, a socket: no sleeping from now on
    } else if (got < length) {
      ready = SleepWhileArriving(port, length - got);
      if (ready != PortResult::kDone) return ready;
    }
  }
  return PortResult::kDone;
}

// Collects bytes as they go on the connection.
static PortResult QueueBytes(PortHandle port, const uint8_t* bytes, size_t length) {
  while (length > 0) {
    if (port->write_count == sizeof port->to_write) {
      PortResult flushed = FlushWrites(port);
      if (flushed != PortResult::kDone) return flushed;
    }
    size_t n = std::min(length, sizeof port->to_write - port->write_count);
    memcpy(port->to_write + port->write_count, bytes, n);
    port->write_count += n;
    bytes += n;
    length -= n;
  }
  return PortResult::kDone;
}

PortResult WriteBytes(PortHandle port, const uint8_t* bytes, size_t length) {
  if (IsInterrupted()) return LosePort(port, EINTR);
  if (!port->telnet) return QueueBytes(port, bytes, length);
  std::string encoded = EncodeTelnet(bytes, length);
  return QueueBytes(port, reinterpret_cast<const uint8_t*>(encoded.data()), encoded.size());
}

PortResult WriteByte(PortHandle port, uint8_t byte) {
  return WriteBytes(port, &byte, 1);
}

PortResult WriteLastWords(PortHandle port, const uint8_t* bytes, size_t length, uint32_t limit_ms) {
  port->write_count = 0;
  bool terminal = port->kind != NETWORK_PORT && isatty(port->write_fd);
  // What the driver still holds would only delay them.
  if (terminal) tcflush(port->write_fd, TCOFLUSH);
  std::string words = port->telnet ? EncodeTelnet(bytes, length)
                                   : std::string(reinterpret_cast<const char*>(bytes), length);
  // Non-blocking, so that a line held by flow control cannot keep the run
  // from ending; the descriptor's flags go back as they were.
  int flags = fcntl(port->write_fd, F_GETFL);
  if (flags >= 0) fcntl(port->write_fd, F_SETFL, flags | O_NONBLOCK);
  int64_t deadline_ns = ReadClockNs() + int64_t(limit_ms) * 1000000;
  PortResult result = PortResult::kDone;
  size_t done = 0;
  while (done < words.size() && result == PortResult::kDone) {
    ssize_t n = write(port->write_fd, words.data() + done, words.size() - done);
    int64_t left_ms = (deadline_ns - ReadClockNs()) / 1000000;
    if (n > 0) {
      done += size_t(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR) && left_ms > 0) {
      struct pollfd room = {port->write_fd, POLLOUT, 0};
      poll(&room, 1, int(left_ms));
    } else {
      result =
          n < 0 && errno != EAGAIN && errno != EINTR ? PortResult::kLost : PortResult::kTimedOut;
    }
  }
  if (flags >= 0) fcntl(port->write_fd, F_SETFL, flags);
  port->last_words = result == PortResult::kDone;
  // A closing port drops what the driver holds once the run was asked to
  // end: the words leave first.
  int queued = 0;
  while (terminal && result == PortResult::kDone && ioctl(port->write_fd, TIOCOUTQ, &queued) == 0 &&
         queued > 0 && ReadClockNs() < deadline_ns) {
    struct timespec pause = {0, 2000000};
    nanosleep(&pause, nullptr);
  }
  return result;
}

// The settings the port had, which usually echo. A USB adapter's driver
// takes milliseconds to apply them (control transfers), and what arrives
// meanwhile is echoed if echo is already on: the line's settings go back
// first with echo off, what came meanwhile is dropped, then echo alone.
static void PutSettingsBack(PortHandle port) {
  struct termios quiet = port->original_settings;
  quiet.c_lflag &= ~(ECHO | ECHONL);
  tcsetattr(port->fd, TCSANOW, &quiet);
  if (quiet.c_lflag == port->original_settings.c_lflag) return;
  tcflush(port->fd, TCIFLUSH);
  tcsetattr(port->fd, TCSANOW, &port->original_settings);
}

// What is still to go out leaves first, at the speed it was sent at, unless
// the run was asked to end: then it is dropped, as a drain at 300 baud can
// last half a minute. What is waiting to be read is discarded before the
// settings go back, and the port closed at once, so that bytes still
// arriving are not sent back to the peer.
void CloseComPort(PortHandle port) {
  bool interrupted = IsInterrupted();
  if (!interrupted) {
    FlushWrites(port);
    if (port->kind != NETWORK_PORT) tcdrain(port->write_fd);  // a signal meanwhile ends it
  }
  if (port->kind == STANDARD_PORT && port->write_fd != port->fd) close(port->write_fd);
  if (port->kind == NETWORK_PORT || !isatty(port->fd)) {
    close(port->fd);
    free(port);
    return;
  }
#ifdef __linux__
  if (port->serial_flags >= 0) RestoreSerialFlags(port->fd, port->serial_flags);
#endif
  // Exclusive use outlives us while another process holds the terminal open
  // (a virtual cable does), and would keep the next run out.
  if (port->kind == DEVICE_PORT) ioctl(port->fd, TIOCNXCL);
  PutModemLinesBack(port);
  // Output is dropped only when interrupted: on a pseudo-terminal what was
  // drained may still wait for the other side to read it. Interrupted, a
  // sender may still be sending: what was echoed meanwhile goes too.
  // A protocol's last words stay, unless a driver still holds them (a line
  // held by flow control) and would keep the close waiting: a
  // pseudo-terminal says none are held while its other side has yet to read
  // them.
  int queued = 0;
  bool held = ioctl(port->fd, TIOCOUTQ, &queued) == 0 && queued > 0;
  int discarded = interrupted && (!port->last_words || held) ? TCIOFLUSH : TCIFLUSH;
  tcflush(port->fd, discarded);
  if (port->settings_saved) PutSettingsBack(port);
  if (interrupted) tcflush(port->fd, discarded);
  close(port->fd);
  free(port);
}

// The device a terminal descriptor reaches. One opened as /dev/console (a
// board's shell often is) reaches the UART behind it, which Linux names.
static dev_t FindTerminalDevice(int fd, const struct stat& info) {
#ifdef TIOCGDEV
  unsigned int device = 0;  // encoded as st_rdev is
  if (ioctl(fd, TIOCGDEV, &device) == 0) return dev_t(device);
#endif
  (void)fd;
  return info.st_rdev;
}

// Two descriptors of one terminal, or of one pipe, socket or file.
static bool IsSameFile(int a, int b) {
  struct stat first, second;
  if (fstat(a, &first) != 0 || fstat(b, &second) != 0) return false;
  if (S_ISCHR(first.st_mode) && S_ISCHR(second.st_mode)) {
    return FindTerminalDevice(a, first) == FindTerminalDevice(b, second);
  }
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

bool IsLineStream(PortHandle port, FILE* stream) {
  int fd = fileno(stream);
  return fd >= 0 && (IsSameFile(fd, port->fd) || IsSameFile(fd, port->write_fd));
}
