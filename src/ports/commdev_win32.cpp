// The serial port on Windows, through the Win32 communications functions;
// a line handed over on standard input and output (pipes); a network serial
// port through Winsock.
//
// The port's buffers are left as they are: whatever is waiting in the port
// is read like any other byte. Every read waits in slices, with read
// time-outs set so that it returns the moment a byte arrives; the byte a
// wait takes is kept for the next ReadByte. At close the port gets back the
// settings and time-outs it had. Pipes and sockets are read ahead into a
// buffer, in slices too.
#include <winsock2.h>
#include <ws2tcpip.h>
// after Winsock's headers, which windows.h would otherwise replace
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ports/commdev.h"
#include "ports/telnet.h"
#include "ports/win32_error.h"

// COM10 and above open only through the device namespace; "COMn" always
// does, so every COMn goes that way. Other names are used as given.
static std::string MapPortName(const char* name) {
  bool is_com = toupper(static_cast<unsigned char>(name[0])) == 'C' &&
                toupper(static_cast<unsigned char>(name[1])) == 'O' &&
                toupper(static_cast<unsigned char>(name[2])) == 'M' && name[3] >= '1' &&
                name[3] <= '9';
  for (const char* p = name + 4; is_com && *p != '\0'; p++) {
    is_com = *p >= '0' && *p <= '9';
  }
  return is_com ? std::string("\\\\.\\") + name : std::string(name);
}

// A COM port; standard input and output (-p -), pipes; a TCP connection.
enum PortKind { COMM_PORT, PIPE_PORT, NETWORK_PORT };

constexpr size_t kReadAheadSize = 4096;

struct PortState {
  PortKind kind;
  HANDLE file;                 // the COM port, or standard input
  HANDLE out;                  // standard output
  HANDLE given_in, given_out;  // the handles standard input and output had
  SOCKET socket;
  bool telnet;  // RFC 2217: Telnet around the line's data
  TelnetState telnet_state;
  size_t read_next;  // pipes and sockets: read_ahead[read_next..read_end) not taken yet
  size_t read_end;
  unsigned char read_ahead[kReadAheadSize];
  int held_byte;      // taken off the line by a wait, not yet read; or -1
  bool timeouts_set;  // the read time-outs are a wait's, of timeout_ms
  DWORD timeout_ms;
  bool settings_saved;  // original_settings and original_timeouts are to be put back
  int error;  // why the port was lost: the errno nearest its Win32 error, EINTR, or kHungUp
  DCB original_settings;
  COMMTIMEOUTS original_timeouts;
};

// The two causes users meet most get a hint.
static void ReportOpenFailure(DWORD error) {
  const char* hint = "";
  if (error == ERROR_FILE_NOT_FOUND) {
    hint = " (no such port)";
  } else if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
    hint = " (access denied: usually another program has the port open)";
  }
  fprintf(stderr, "CreateFile() failed with %lu%s\n", error, hint);
}

static PortState* MakePort(PortKind kind) {
  PortState* port = static_cast<PortState*>(calloc(1, sizeof(PortState)));
  if (port == nullptr) {
    fprintf(stderr, "calloc() failed: %s\n", strerror(ENOMEM));
    return nullptr;
  }
  port->kind = kind;
  port->file = port->out = INVALID_HANDLE_VALUE;
  port->socket = INVALID_SOCKET;
  port->held_byte = -1;
  return port;
}

// Pipes a program hands over: a console is not a serial line.
static PortHandle OpenStandardStreams() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode;
  if (GetConsoleMode(in, &mode) || GetConsoleMode(out, &mode)) {
    fprintf(stderr, "standard input or output is a console, not a serial line\n");
    return kInvalidPortHandle;
  }
  if (GetFileType(in) != FILE_TYPE_PIPE || GetFileType(out) != FILE_TYPE_PIPE) {
    fprintf(stderr, "standard input and output must be pipes\n");
    return kInvalidPortHandle;
  }
  // Copies, so that the driver may point standard output elsewhere: msvcrt
  // closes the handle a descriptor had when it is redirected.
  PortState* port = MakePort(PIPE_PORT);
  if (port == nullptr) return kInvalidPortHandle;
  HANDLE self = GetCurrentProcess();
  if (!DuplicateHandle(self, in, self, &port->file, 0, FALSE, DUPLICATE_SAME_ACCESS) ||
      !DuplicateHandle(self, out, self, &port->out, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    fprintf(stderr, "DuplicateHandle() failed with %lu\n", GetLastError());
    if (port->file != INVALID_HANDLE_VALUE) CloseHandle(port->file);
    free(port);
    return kInvalidPortHandle;
  }
  port->given_in = in;
  port->given_out = out;
  return port;
}

static bool IsInterrupted();

// What Winsock's error numbers mean, in the words of the POSIX build.
static const char* DescribeSocketError(int error) {
  switch (error) {
    case WSAECONNREFUSED:
      return "Connection refused";
    case WSAETIMEDOUT:
      return "Connection timed out";
    case WSAEHOSTUNREACH:
      return "No route to host";
    case WSAENETUNREACH:
      return "Network is unreachable";
    case WSAHOST_NOT_FOUND:
    case WSANO_DATA:
      return "Name or service not known";
    case WSATRY_AGAIN:
      return "Temporary failure in name resolution";
    case WSAEINTR:
      return "Interrupted";
    default:
      return nullptr;
  }
}

static void ReportConnectFailure(const NetworkAddress& address, int error) {
  const char* meaning = DescribeSocketError(error);
  if (meaning != nullptr) {
    fprintf(stderr, "Couldn't connect to %s: %s\n", address.shown.c_str(), meaning);
  } else {
    fprintf(stderr, "Couldn't connect to %s: Winsock error %d\n", address.shown.c_str(), error);
  }
}

// Waits for a non-blocking connect, in slices: 0 once connected, or a
// Winsock error.
static int FinishConnect(SOCKET socket) {
  DWORD started = GetTickCount();
  while (GetTickCount() - started < kConnectLimitMs) {
    if (IsInterrupted()) return WSAEINTR;
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(socket, &writable);
    FD_SET(socket, &failed);
    struct timeval slice = {0, 250000};
    int n = select(0, nullptr, &writable, &failed, &slice);
    if (n == SOCKET_ERROR) return WSAGetLastError();
    if (n == 0) continue;
    int error = 0;
    int length = sizeof error;
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
      return WSAGetLastError();
    return error;
  }
  return WSAETIMEDOUT;
}

// Connects to the first address of the host that answers, or says why not.
static SOCKET ConnectTo(const NetworkAddress& address) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  if (getaddrinfo(address.host.c_str(), address.service.c_str(), &hints, &found) != 0) {
    ReportConnectFailure(address, WSAGetLastError());
    return INVALID_SOCKET;
  }
  int error = WSAHOST_NOT_FOUND;
  SOCKET connected = INVALID_SOCKET;
  for (struct addrinfo* a = found; a != nullptr && connected == INVALID_SOCKET; a = a->ai_next) {
    SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) {
      error = WSAGetLastError();
      continue;
    }
    u_long nonblocking = 1;
    ioctlsocket(s, FIONBIO, &nonblocking);
    error = connect(s, a->ai_addr, int(a->ai_addrlen)) == 0 ? 0 : WSAGetLastError();
    if (error == WSAEWOULDBLOCK) error = FinishConnect(s);
    if (error == 0) {
      connected = s;
    } else {
      closesocket(s);
    }
  }
  freeaddrinfo(found);
  if (connected == INVALID_SOCKET) {
    ReportConnectFailure(address, error);
    return INVALID_SOCKET;
  }
  // Every small reply goes out at once, as on a line.
  u_long blocking = 0;
  ioctlsocket(connected, FIONBIO, &blocking);
  BOOL one = TRUE;
  setsockopt(connected, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  return connected;
}

static PortResult SendRaw(PortState* port, const uint8_t* bytes, size_t length);

static PortHandle OpenNetworkPort(const NetworkAddress& address) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    fprintf(stderr, "WSAStartup() failed\n");
    return kInvalidPortHandle;
  }
  SOCKET socket = ConnectTo(address);
  PortState* port = socket == INVALID_SOCKET ? nullptr : MakePort(NETWORK_PORT);
  if (port == nullptr) {
    if (socket != INVALID_SOCKET) closesocket(socket);
    WSACleanup();
    return kInvalidPortHandle;
  }
  port->socket = socket;
  port->telnet = address.telnet;
  if (port->telnet) {
    std::string start = StartTelnet(&port->telnet_state, true);
    SendRaw(port, reinterpret_cast<const uint8_t*>(start.data()), start.size());
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
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    ReportOpenFailure(GetLastError());
    return kInvalidPortHandle;
  }
  PortState* port = MakePort(COMM_PORT);
  if (port == nullptr) {
    CloseHandle(file);
    return kInvalidPortHandle;
  }
  port->file = file;
  port->original_settings.DCBlength = sizeof port->original_settings;
  port->settings_saved = GetCommState(file, &port->original_settings) &&
                         GetCommTimeouts(file, &port->original_timeouts);
  return port;
}

static PortResult FillReadAhead(PortState* port, DWORD timeout_ms, bool data_only);

// Sets the remote UART up through COM-PORT-OPTION and checks what the
// server answers, as SetCommState's refusal is checked: false after a
// line that says why.
static bool ConfigureRemotePort(PortState* port, uint32_t baudrate, const LineFormat& format,
                                const LineControl& control) {
  std::string request = RequestComPortSettings(&port->telnet_state, baudrate, format, control);
  if (SendRaw(port, reinterpret_cast<const uint8_t*>(request.data()), request.size()) !=
      PortResult::kDone) {
    return false;
  }
  DWORD started = GetTickCount();
  for (;;) {
    bool complete = false;
    std::string refusal =
        CheckComPortAnswers(port->telnet_state, baudrate, format, &complete, control);
    if (complete) {
      if (refusal.empty()) return true;
      fprintf(stderr, "%s\n", refusal.c_str());
      return false;
    }
    DWORD waited = GetTickCount() - started;
    PortResult got = waited < kComPortAnswerLimitMs
                         ? FillReadAhead(port, kComPortAnswerLimitMs - waited, false)
                         : PortResult::kTimedOut;
    // A server that refuses a client (ser2net does while another holds the
    // device) closes the connection; a Winsock call that failed has said so.
    if (got == PortResult::kLost && port->error == kHungUp) {
      fprintf(stderr, "the port server closed the connection\n");
    } else if (got == PortResult::kTimedOut) {
      fprintf(stderr, "the port server did not answer COM-PORT-OPTION's settings within 5 s\n");
    }
    if (got != PortResult::kDone) return false;
  }
}

// The DCB's flow control and modem lines: RTS/CTS makes the driver hold
// output while CTS is off and drive RTS; XON/XOFF has it stop and start on
// those characters both ways. A line not asked for is held off; the
// settings put back at close bring back what the lines were.
static void SetLineControl(const LineControl& control, const DCB& original, DCB* settings) {
  settings->fDtrControl = control.dtr == ModemLine::kOn ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  settings->fRtsControl = control.rts == ModemLine::kOn ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
  if (control.flow == FlowControl::kRtsCts) {
    settings->fOutxCtsFlow = 1;
    settings->fRtsControl = RTS_CONTROL_HANDSHAKE;
  } else if (control.flow == FlowControl::kXonXoff) {
    settings->fOutX = settings->fInX = 1;
    // XOFF goes out with this little room left in the input buffer, XON
    // once it holds this little; the port's own limits where it has them.
    settings->XoffLim = original.XoffLim != 0 ? original.XoffLim : 512;
    settings->XonLim = original.XonLim != 0 ? original.XonLim : 2048;
  }
}

bool ConfigureComPort(PortHandle port, uint32_t baudrate, const char* mode,
                      const LineControl& control) {
  LineFormat format;
  if (!ParseLineMode(mode, &format)) return false;
  if (port->telnet) return ConfigureRemotePort(port, baudrate, format, control);
  if (port->kind != COMM_PORT) {  // no speed: the stall limits come from -b all the same
    if (control.flow != FlowControl::kNone || control.dtr != ModemLine::kUnset ||
        control.rts != ModemLine::kUnset) {
      fprintf(stderr,
              "the port is a pipe or a socket, not a serial line: --flow, --dtr and --rts change "
              "nothing\n");
    }
    return true;
  }
  DCB settings;
  memset(&settings, 0, sizeof settings);
  settings.DCBlength = sizeof settings;
  settings.BaudRate = baudrate;
  settings.fBinary = 1;
  settings.ByteSize = BYTE(format.data_bits);
  settings.Parity = format.parity == 'O' ? ODDPARITY : format.parity == 'E' ? EVENPARITY : NOPARITY;
  settings.StopBits = format.stop_bits == 2 ? TWOSTOPBITS : ONESTOPBIT;
  // SetCommState fails on equal XON and XOFF characters, as documented and
  // as some drivers enforce; the usual two mean nothing while XON/XOFF flow
  // control stays off.
  settings.XonChar = 0x11;
  settings.XoffChar = 0x13;
  SetLineControl(control, port->original_settings, &settings);
  if (!SetCommState(port->file, &settings)) {
    fprintf(stderr, "SetCommState() failed with %lu\n", GetLastError());
    return false;
  }
  return true;
}

// The signal that stands for the console event that asked the run to end,
// or 0: the program's one global, set by the handler below.
static volatile LONG interruption = 0;

// Runs on a thread of its own. The main thread sees the flag at its next
// port operation, within a read's slice at the latest, and unwinds: it ends
// the progress line, drops a partial file and puts the port back. Should it
// hang all the same, the process ends from here after three seconds;
// Windows ends it anyway soon after a close, logoff or shutdown event.
static BOOL WINAPI NoteInterruption(DWORD event) {
  interruption = event == CTRL_C_EVENT ? SIGINT : event == CTRL_BREAK_EVENT ? SIGBREAK : SIGTERM;
  Sleep(3000);
  ExitProcess(128 + interruption);
  return TRUE;
}

void CatchInterrupts() {
  SetConsoleCtrlHandler(NoteInterruption, TRUE);
}

int GetInterruption() {
  return int(interruption);
}

// True once the run has been asked to end.
static bool IsInterrupted() {
  return interruption != 0;
}

int GetPortError(PortHandle port) {
  return port->error;
}

// Notes why the port is lost.
static PortResult LosePort(PortState* port, int error) {
  port->error = error;
  return PortResult::kLost;
}

// A call that fails, rather than moving no byte yet, means the device is
// gone (an adapter pulled out). Its Win32 code is shown, since errno can
// only approximate it.
static PortResult ReportLostPort(PortState* port, const char* call) {
  DWORD error = GetLastError();
  fprintf(stderr, "%s() failed with %lu\n", call, error);
  return LosePort(port, ErrnoFromWin32Error(error));
}

// A read waits at most this long at a time, so that a run asked to end is
// seen within a quarter of a second, however long the wait.
constexpr DWORD kSliceMs = 250;

// A read then returns at once with a byte that is waiting, or as soon as one
// arrives, or with none after timeout_ms: the driver's own wait, which no
// timer tick lengthens. The write time-outs stay as they are.
static bool SetReadTimeout(PortState* port, uint32_t timeout_ms) {
  COMMTIMEOUTS timeouts;
  if (!GetCommTimeouts(port->file, &timeouts)) return false;
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
  // The driver takes 1 to MAXDWORD - 1 here.
  timeouts.ReadTotalTimeoutConstant =
      timeout_ms == 0 ? 1 : std::min<DWORD>(timeout_ms, MAXDWORD - 1);
  if (!SetCommTimeouts(port->file, &timeouts)) return false;
  port->timeouts_set = true;
  port->timeout_ms = timeout_ms;
  return true;
}

// Takes one byte off the line within timeout_ms, or however long it takes
// for INFINITE, in slices: kDone with *byte set, kTimedOut, or kLost.
static PortResult ReadWithin(PortState* port, DWORD timeout_ms, uint8_t* byte) {
  DWORD started = GetTickCount();
  for (;;) {
    if (IsInterrupted()) return LosePort(port, EINTR);
    DWORD waited = GetTickCount() - started;
    DWORD slice = kSliceMs;
    if (timeout_ms != INFINITE)
      slice = std::min<DWORD>(slice, timeout_ms - std::min(waited, timeout_ms));
    if ((!port->timeouts_set || port->timeout_ms != slice) && !SetReadTimeout(port, slice)) {
      return ReportLostPort(port, "SetCommTimeouts");
    }
    DWORD moved = 0;
    if (!ReadFile(port->file, byte, 1, &moved, nullptr)) return ReportLostPort(port, "ReadFile");
    if (moved == 1) return PortResult::kDone;
    if (timeout_ms != INFINITE && GetTickCount() - started >= timeout_ms) {
      return PortResult::kTimedOut;
    }
  }
}

// Reports a Winsock call that failed: the connection is gone.
static PortResult ReportLostSocket(PortState* port, const char* call) {
  int error = WSAGetLastError();
  fprintf(stderr, "%s() failed with %d\n", call, error);
  return LosePort(port, error == WSAECONNRESET || error == WSAECONNABORTED ? EPIPE : EIO);
}

static PortResult SendRaw(PortState* port, const uint8_t* bytes, size_t length) {
  while (length > 0) {
    if (IsInterrupted()) return LosePort(port, EINTR);
    DWORD moved = 0;
    if (port->kind == NETWORK_PORT) {
      int n = send(port->socket, reinterpret_cast<const char*>(bytes), int(length), 0);
      if (n == SOCKET_ERROR) return ReportLostSocket(port, "send");
      moved = DWORD(n);
    } else if (!WriteFile(port->out, bytes, DWORD(length), &moved, nullptr)) {
      return ReportLostPort(port, "WriteFile");
    }
    bytes += moved;
    length -= moved;
  }
  return PortResult::kDone;
}

// Reads what the pipe or the socket has after the bytes read ahead, waiting
// at most one slice: kDone (whether or not any came), or kLost (kHungUp
// when the other end closed).
static PortResult ReadSlice(PortState* port, DWORD slice_ms) {
  unsigned char* buffer = port->read_ahead + port->read_end;
  size_t room = kReadAheadSize - port->read_end;
  if (port->kind == NETWORK_PORT) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(port->socket, &readable);
    struct timeval slice = {long(slice_ms / 1000), long(slice_ms % 1000) * 1000};
    int ready = select(0, &readable, nullptr, nullptr, &slice);
    if (ready == SOCKET_ERROR) return ReportLostSocket(port, "select");
    if (ready == 0) return PortResult::kDone;
    int n = recv(port->socket, reinterpret_cast<char*>(buffer), int(room), 0);
    if (n == SOCKET_ERROR) return ReportLostSocket(port, "recv");
    if (n == 0) return LosePort(port, kHungUp);
    port->read_end += size_t(n);
    return PortResult::kDone;
  }
  // An anonymous pipe has no time-outs: it is looked at every millisecond.
  DWORD started = GetTickCount();
  for (;;) {
    DWORD waiting = 0;
    if (!PeekNamedPipe(port->file, nullptr, 0, nullptr, &waiting, nullptr)) {
      if (GetLastError() != ERROR_BROKEN_PIPE) return ReportLostPort(port, "PeekNamedPipe");
      return LosePort(port, kHungUp);
    }
    if (waiting > 0) {
      DWORD moved = 0;
      if (!ReadFile(port->file, buffer, std::min<DWORD>(waiting, DWORD(room)), &moved, nullptr))
        return ReportLostPort(port, "ReadFile");
      port->read_end += moved;
      return PortResult::kDone;
    }
    if (GetTickCount() - started >= slice_ms) return PortResult::kDone;
    Sleep(1);
  }
}

// Waits at most timeout_ms (INFINITE: for ever), in slices, until bytes of
// the line are read ahead (any byte at all, Telnet commands included, when
// not data_only): kDone, kTimedOut, or kLost.
static PortResult FillReadAhead(PortState* port, DWORD timeout_ms, bool data_only) {
  DWORD started = GetTickCount();
  if (port->read_next == port->read_end) port->read_next = port->read_end = 0;
  for (;;) {
    if (port->read_next < port->read_end) return PortResult::kDone;
    if (IsInterrupted()) return LosePort(port, EINTR);
    DWORD waited = GetTickCount() - started;
    if (timeout_ms != INFINITE && waited >= timeout_ms) return PortResult::kTimedOut;
    DWORD slice = kSliceMs;
    if (timeout_ms != INFINITE) slice = std::min<DWORD>(slice, timeout_ms - waited);
    size_t from = port->read_end;
    PortResult read = ReadSlice(port, slice);
    if (read != PortResult::kDone) return read;
    size_t n = port->read_end - from;
    if (n == 0 || !port->telnet) continue;
    std::string reply;
    unsigned char* fresh = port->read_ahead + from;
    port->read_end = from + DecodeTelnet(&port->telnet_state, fresh, n, fresh, &reply);
    if (!reply.empty()) {
      read = SendRaw(port, reinterpret_cast<const uint8_t*>(reply.data()), reply.size());
      if (read != PortResult::kDone) return read;
    }
    if (!data_only) return PortResult::kDone;
  }
}

PortResult ReadByte(PortHandle port, uint8_t* byte) {
  if (port->kind != COMM_PORT) {
    PortResult read = FillReadAhead(port, INFINITE, true);
    if (read == PortResult::kDone) *byte = port->read_ahead[port->read_next++];
    return read;
  }
  if (port->held_byte >= 0) {
    *byte = uint8_t(port->held_byte);
    port->held_byte = -1;
    return PortResult::kDone;
  }
  return ReadWithin(port, INFINITE, byte);
}

PortResult WaitForByte(PortHandle port, uint32_t timeout_ms) {
  if (IsInterrupted()) return LosePort(port, EINTR);
  if (port->kind != COMM_PORT) {
    return FillReadAhead(port, std::min<DWORD>(timeout_ms, INFINITE - 1), true);
  }
  if (port->held_byte >= 0) return PortResult::kDone;
  uint8_t byte;
  PortResult read = ReadWithin(port, std::min<DWORD>(timeout_ms, INFINITE - 1), &byte);
  if (read == PortResult::kDone) port->held_byte = byte;
  return read;
}

PortResult WriteByte(PortHandle port, uint8_t byte) {
  if (port->kind != COMM_PORT) return WriteBytes(port, &byte, 1);
  DWORD moved = 0;
  do {
    if (IsInterrupted()) return LosePort(port, EINTR);
    if (!WriteFile(port->file, &byte, 1, &moved, nullptr)) return ReportLostPort(port, "WriteFile");
  } while (moved == 0);
  return PortResult::kDone;
}

PortResult WriteBytes(PortHandle port, const uint8_t* bytes, size_t length) {
  if (port->kind != COMM_PORT && !port->telnet) return SendRaw(port, bytes, length);
  if (port->kind != COMM_PORT) {
    std::string encoded = EncodeTelnet(bytes, length);
    return SendRaw(port, reinterpret_cast<const uint8_t*>(encoded.data()), encoded.size());
  }
  while (length > 0) {
    if (IsInterrupted()) return LosePort(port, EINTR);
    DWORD moved = 0;
    if (!WriteFile(port->file, bytes, DWORD(length), &moved, nullptr)) {
      return ReportLostPort(port, "WriteFile");
    }
    bytes += moved;  // a write time-out may have moved only some
    length -= moved;
  }
  return PortResult::kDone;
}

PortResult WriteLastWords(PortHandle port, const uint8_t* bytes, size_t length, uint32_t limit_ms) {
  std::string words = port->telnet ? EncodeTelnet(bytes, length)
                                   : std::string(reinterpret_cast<const char*>(bytes), length);
  if (port->kind == NETWORK_PORT) {
    int n = send(port->socket, words.data(), int(words.size()), 0);
    return n == int(words.size()) ? PortResult::kDone : PortResult::kLost;
  }
  if (port->kind != COMM_PORT) {
    DWORD moved = 0;
    return WriteFile(port->out, words.data(), DWORD(words.size()), &moved, nullptr)
               ? PortResult::kDone
               : PortResult::kLost;
  }
  // What the driver still holds would only delay them; the write gives up
  // at the limit, as a line held by flow control would keep it waiting.
  PurgeComm(port->file, PURGE_TXCLEAR | PURGE_TXABORT);
  COMMTIMEOUTS timeouts;
  if (GetCommTimeouts(port->file, &timeouts)) {
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = std::max<DWORD>(limit_ms, 1);
    SetCommTimeouts(port->file, &timeouts);
  }
  DWORD moved = 0;
  if (!WriteFile(port->file, words.data(), DWORD(words.size()), &moved, nullptr)) {
    return PortResult::kLost;
  }
  return moved == words.size() ? PortResult::kDone : PortResult::kTimedOut;
}

PortResult ReadBytes(PortHandle port, uint8_t* buffer, size_t length, uint32_t silence_ms) {
  for (size_t i = 0; i < length; i++) {
    PortResult got = silence_ms == 0 ? PortResult::kDone : WaitForByte(port, silence_ms);
    if (got == PortResult::kDone) got = ReadByte(port, &buffer[i]);
    if (got != PortResult::kDone) return got;
  }
  return PortResult::kDone;
}

PortResult FlushPort(PortHandle port) {
  // Every byte was written at once.
  return IsInterrupted() ? LosePort(port, EINTR) : PortResult::kDone;
}

void CloseComPort(PortHandle port) {
  if (port->kind == NETWORK_PORT) {
    closesocket(port->socket);
    WSACleanup();
  } else if (port->kind == PIPE_PORT) {  // the copies: standard input and output stay open
    CloseHandle(port->file);
    CloseHandle(port->out);
  } else {
    if (port->settings_saved) {
      SetCommState(port->file, &port->original_settings);
      SetCommTimeouts(port->file, &port->original_timeouts);
    }
    CloseHandle(port->file);
  }
  free(port);
}

bool IsLineStream(PortHandle port, FILE* stream) {
  if (port->kind != PIPE_PORT) return false;  // a COM port opened by name is ours alone
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  return handle == port->given_out || handle == port->given_in;
}
