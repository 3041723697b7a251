// The serial port on Windows, through the Win32 communications functions.
//
// The port's buffers are left as they are: whatever is waiting in the port
// is read like any other byte. Every read waits in slices, with read
// time-outs set so that it returns the moment a byte arrives; the byte a
// wait takes is kept for the next ReadByte. At close the port gets back the
// settings and time-outs it had.
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
  bool settings_saved;  // original_settings and original_timeouts are to be put back
  int error;            // why the port was lost: the errno nearest its Win32 error, or EINTR
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
  port->original_settings.DCBlength = sizeof port->original_settings;
  port->settings_saved = GetCommState(file, &port->original_settings) &&
                         GetCommTimeouts(file, &port->original_timeouts);
  return port;
}

bool ConfigureComPort(PortHandle port, uint32_t baudrate, const char* mode) {
  LineFormat format;
  if (!ParseLineMode(mode, &format)) return false;
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

// A run asked to end loses the port.
static PortResult LoseToInterruption(PortState* port) {
  port->error = EINTR;
  return PortResult::kLost;
}

// A call that fails, rather than moving no byte yet, means the device is
// gone (an adapter pulled out). Its Win32 code is shown, since errno can
// only approximate it.
static PortResult ReportLostPort(PortState* port, const char* call) {
  DWORD error = GetLastError();
  fprintf(stderr, "%s() failed with %lu\n", call, error);
  port->error = ErrnoFromWin32Error(error);
  return PortResult::kLost;
}

// A read waits at most this long at a time, so that a run asked to end is
// seen within a quarter of a second, however long the wait.
#define SLICE_MS 250

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
    if (IsInterrupted()) return LoseToInterruption(port);
    DWORD waited = GetTickCount() - started;
    DWORD slice = SLICE_MS;
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

PortResult ReadByte(PortHandle port, uint8_t* byte) {
  if (port->held_byte >= 0) {
    *byte = uint8_t(port->held_byte);
    port->held_byte = -1;
    return PortResult::kDone;
  }
  return ReadWithin(port, INFINITE, byte);
}

PortResult WaitForByte(PortHandle port, uint32_t timeout_ms) {
  if (IsInterrupted()) return LoseToInterruption(port);
  if (port->held_byte >= 0) return PortResult::kDone;
  uint8_t byte;
  PortResult read = ReadWithin(port, std::min<DWORD>(timeout_ms, INFINITE - 1), &byte);
  if (read == PortResult::kDone) port->held_byte = byte;
  return read;
}

PortResult WriteByte(PortHandle port, uint8_t byte) {
  DWORD moved = 0;
  do {
    if (IsInterrupted()) return LoseToInterruption(port);
    if (!WriteFile(port->file, &byte, 1, &moved, nullptr)) return ReportLostPort(port, "WriteFile");
  } while (moved == 0);
  return PortResult::kDone;
}

PortResult WriteBytes(PortHandle port, const uint8_t* bytes, size_t length) {
  while (length > 0) {
    if (IsInterrupted()) return LoseToInterruption(port);
    DWORD moved = 0;
    if (!WriteFile(port->file, bytes, DWORD(length), &moved, nullptr)) {
      return ReportLostPort(port, "WriteFile");
    }
    bytes += moved;  // a write time-out may have moved only some
    length -= moved;
  }
  return PortResult::kDone;
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
  return IsInterrupted() ? LoseToInterruption(port) : PortResult::kDone;
}

void CloseComPort(PortHandle port) {
  if (port->settings_saved) {
    SetCommState(port->file, &port->original_settings);
    SetCommTimeouts(port->file, &port->original_timeouts);
  }
  CloseHandle(port->file);
  free(port);
}
