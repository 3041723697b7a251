// The serial port on Windows, through the Win32 communications functions.
//
// The port's time-outs and buffers are left as they are: a read waits as
// the port's owner configured it, and whatever is waiting in the port is
// read like any other byte.
#include <windows.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
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

PortHandle OpenComPort(const char* name) {
  return CreateFileA(MapPortName(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                     OPEN_EXISTING, 0, nullptr);
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
  if (!SetCommState(port, &settings)) {
    fprintf(stderr, "SetCommState() failed with %lu\n", GetLastError());
    return 0;
  }
  return 1;
}

// The signal that stands for the console event that asked the run to end,
// or 0: the program's one global, set by the handler below.
static volatile LONG interruption = 0;

// Runs on a thread of its own. The main thread sees the flag at its next
// port operation; one blocked in a read with nothing arriving (waiting for
// a file to be announced, with nothing to clean up) would not, so after a
// second the process ends from here. Windows ends it anyway soon after a
// close, logoff or shutdown event.
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
  unsigned char byte;
  DWORD moved = 0;
  do {
    if (IsInterrupted()) return PORT_LOST;
    if (!ReadFile(port, &byte, 1, &moved, nullptr)) return ReportLostPort("ReadFile");
  } while (moved == 0);  // a time-out the port was set up with
  return byte;
}

int WaitForByte(PortHandle port, uint32_t timeout_ms) {
  // The port's time-outs are its owner's, so the wait looks at the input
  // queue instead of reading with a time-out of its own. Sleep(1) may last
  // a whole timer tick, so the time is taken from the clock.
  DWORD start = GetTickCount();
  for (;;) {
    if (IsInterrupted()) return PORT_LOST;
    DWORD errors = 0;
    COMSTAT status;
    if (!ClearCommError(port, &errors, &status)) return ReportLostPort("ClearCommError");
    if (status.cbInQue > 0) return 1;
    if (GetTickCount() - start >= timeout_ms) return 0;
    Sleep(1);
  }
}

int WriteByte(PortHandle port, int byte) {
  unsigned char value = static_cast<unsigned char>(byte);
  DWORD moved = 0;
  do {
    if (IsInterrupted()) return PORT_LOST;
    if (!WriteFile(port, &value, 1, &moved, nullptr)) return ReportLostPort("WriteFile");
  } while (moved == 0);
  return 1;
}

int CloseComPort(PortHandle port) {
  return CloseHandle(port);
}
