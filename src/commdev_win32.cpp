// The serial port on Windows, through the Win32 communications functions.
//
// The port's buffers are left as they are: whatever is waiting in the port
// is read like any other byte. Its read time-outs are its owner's until the
// first wait with a limit, which sets them so that a read returns the moment
// a byte arrives; the byte it takes is kept for the next ReadByte.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "commdev.h"
#include "win32_error.h"

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

struct PortState {
  HANDLE file;
  int held_byte;      // taken off the line by a wait, not yet read; or -1
  bool timeouts_set;  // the read time-outs are a wait's, of timeout_ms
  DWORD timeout_ms;
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

PortHandle OpenComPort(const char* name) {
  std::string path = MapPortName(name);
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    ReportOpenFailure(GetLastError());
    return INVALID_PORT_HANDLE;
  }
  PortState* port = static_cast<PortState*>(calloc(1, sizeof(PortState)));
  if (port == nullptr) {
    fprintf(stderr, "calloc() failed: %s\n", strerror(ENOMEM));
    CloseHandle(file);
    return INVALID_PORT_HANDLE;
  }
  port->file = file;
  port->held_byte = -1;
  return port;
}

int ConfigureComPort(PortHandle port, uint32_t baudrate, const char* mode) {
  LineFormat format;
  if (!ParseLineMode(mode, &format)) return 0;
  DCB settings;
  memset(&settings, 0, sizeof settings);
  settings.DCBlength = sizeof settings;
  settings.BaudRate = baudrate;
  settings.fBinary = 1;
  settings.ByteSize = BYTE(format.data_bits);
  settings.Parity = format.parity == 'O' ? ODDPARITY : format.parity == 'E' ? EVENPARITY : NOPARITY;
  settings.StopBits = format.stop_bits == 2 ? TWOSTOPBITS : ONESTOPBIT;
  if (!SetCommState(port->file, &settings)) {
    fprintf(stderr, "SetCommState() failed with %lu\n", GetLastError());
    return 0;
  }
  return 1;
}

// The signal that stands for the console event that asked the run to end,
// or 0: the program's one global, set by the handler below.
static volatile LONG interruption = 0;

// Runs on a thread of its own. The main thread sees the flag at its next
// port operation, or when a read's time-out runs out; one blocked in a read
// with nothing arriving (mostly waiting for a file to be announced, with
// nothing to clean up) may not for long, so after a second the process ends
// from here. Windows ends it anyway soon after a close, logoff or shutdown
// event.
static BOOL WINAPI NoteInterruption(DWORD event) {
  interruption = event == CTRL_C_EVENT ? SIGINT : event == CTRL_BREAK_EVENT ? SIGBREAK : SIGTERM;
  Sleep(1000);
  ExitProcess(128 + interruption);
  return TRUE;
}

void CatchInterrupts() {
  SetConsoleCtrlHandler(NoteInterruption, TRUE);
}

int GetInterruption() {
  return int(interruption);
}

// True, with errno set to EINTR, once the run has been asked to end.
static bool IsInterrupted() {
  if (interruption == 0) return false;
  errno = EINTR;
  return true;
}

// A call that fails, rather than moving no byte yet, means the device is
// gone (an adapter pulled out). Its Win32 code is shown, since errno can
// only approximate it.
static int ReportLostPort(const char* call) {
  DWORD error = GetLastError();
  fprintf(stderr, "%s() failed with %lu\n", call, error);
  errno = ErrnoFromWin32Error(error);
  return PORT_LOST;
}

int ReadByte(PortHandle port) {
  if (port->held_byte >= 0) {
    int byte = port->held_byte;
    port->held_byte = -1;
    return byte;
  }
  unsigned char byte;
  DWORD moved = 0;
  do {
    if (IsInterrupted()) return PORT_LOST;
    if (!ReadFile(port->file, &byte, 1, &moved, nullptr)) return ReportLostPort("ReadFile");
  } while (moved == 0);  // the port's time-out, or the last wait's
  return byte;
}

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

int WaitForByte(PortHandle port, uint32_t timeout_ms) {
  if (IsInterrupted()) return PORT_LOST;
  if (port->held_byte >= 0) return 1;
  if (!port->timeouts_set || port->timeout_ms != timeout_ms) {
    if (!SetReadTimeout(port, timeout_ms)) return ReportLostPort("SetCommTimeouts");
  }
  unsigned char byte;
  DWORD moved = 0;
  if (!ReadFile(port->file, &byte, 1, &moved, nullptr)) return ReportLostPort("ReadFile");
  if (moved == 0) return 0;
  port->held_byte = byte;
  return 1;
}

int WriteByte(PortHandle port, int byte) {
  unsigned char value = static_cast<unsigned char>(byte);
  DWORD moved = 0;
  do {
    if (IsInterrupted()) return PORT_LOST;
    if (!WriteFile(port->file, &value, 1, &moved, nullptr)) return ReportLostPort("WriteFile");
  } while (moved == 0);
  return 1;
}

int WriteBytes(PortHandle port, const uint8_t* bytes, size_t length) {
  for (size_t i = 0; i < length; i++) {
    if (WriteByte(port, bytes[i]) == PORT_LOST) return PORT_LOST;
  }
  return 1;
}

int ReadBytes(PortHandle port, uint8_t* buffer, size_t length, uint32_t silence_ms) {
  for (size_t i = 0; i < length; i++) {
    if (silence_ms != 0) {
      int waiting = WaitForByte(port, silence_ms);
      if (waiting != 1) return waiting;
    }
    int byte = ReadByte(port);
    if (byte == PORT_LOST) return PORT_LOST;
    buffer[i] = uint8_t(byte);
  }
  return 1;
}

int CloseComPort(PortHandle port) {
  int result = CloseHandle(port->file);
  free(port);
  return result;
}
