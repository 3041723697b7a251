// commdev: the only code that touches the serial port.
//
// Every operation is synchronous and blocking and takes the port handle by
// value; whatever state a platform needs lives behind that handle.
#ifndef VELCOT_COMMDEV_H
#define VELCOT_COMMDEV_H

#include <cstddef>
#include <cstdint>

// The open port, whatever the platform needs to move bytes: on Windows its
// handle and the byte a wait took off the line; elsewhere its descriptor,
// the bytes read ahead and those not yet handed to the driver, and the
// settings to put back when it is closed.
struct PortState;
typedef PortState* PortHandle;
#define INVALID_PORT_HANDLE (static_cast<PortHandle>(nullptr))

#ifndef _WIN32
// A line that is already open as a descriptor (a socket to a terminal
// server, one end of a socketpair): bytes only, nothing to configure.
// CloseComPort closes the descriptor. INVALID_PORT_HANDLE when out of memory.
PortHandle AdoptPortDescriptor(int fd);
#endif

// Returned by ReadByte and WriteByte when the port has gone away (unplugged,
// hung up): a persistent device error, already reported on stderr; or, with
// errno EINTR, once the run has been asked to end (see CatchInterrupts).
#define PORT_LOST (-1)

// Catches the requests to end the run (Ctrl+C, SIGTERM and SIGHUP; on
// Windows the console's control events) in the program's one global flag.
// Once one has come, every port operation returns PORT_LOST with errno
// EINTR, so the run unwinds, puts the port back and ends.
void CatchInterrupts();

// The signal that asked the run to end (SIGINT for Ctrl+C), or 0.
int GetInterruption();

// Opens an existing device exclusively; INVALID_PORT_HANDLE on failure, after
// a line on stderr that says why.
PortHandle OpenComPort(const char* name);

// Sets speed and line format from a mode string such as "8N1".
// Returns 1 when configured, 0 when not.
int ConfigureComPort(PortHandle port, uint32_t baudrate, const char* mode);

// Waits for the next byte from the line: 0..255, or PORT_LOST.
int ReadByte(PortHandle port);

// Waits at most timeout_ms for a byte to arrive, without taking it: 1 when
// one is waiting, 0 when the time ran out, or PORT_LOST.
int WaitForByte(PortHandle port, uint32_t timeout_ms);

// Hands one byte (the low 8 bits) to the line: 1 when written, or PORT_LOST.
// The POSIX port collects bytes and hands them to the driver in one call
// before it next reads or waits, when its buffer is full, and on close, so
// their order on the line is the same and no reply waits behind them.
int WriteByte(PortHandle port, int byte);

// Bulk moves: a frame or a block in one call.
int WriteBytes(PortHandle port, const uint8_t* bytes, size_t length);  // 1, or PORT_LOST
// 1 once all length bytes have come; 0 when the line was silent for silence_ms first
// (0 = wait for ever); PORT_LOST when the port is gone or the run interrupted (EINTR).
int ReadBytes(PortHandle port, uint8_t* buffer, size_t length, uint32_t silence_ms);

// Hands over what is still collected, puts back the settings the port had
// when it was opened, and closes it.
int CloseComPort(PortHandle port);

// A mode string such as "8N1": data bits, parity, stop bits.
struct LineFormat {
  int data_bits;  // the first character's code minus '0', as a byte: not range-checked here
  char parity;    // 'N', 'O' or 'E'
  int stop_bits;  // 1 or 2
};

// False for a string that is not three characters, or names a parity other
// than none, odd or even, or stop bits other than 1 or 2.
inline bool ParseLineMode(const char* mode, LineFormat* format) {
  if (mode[0] == '\0' || mode[1] == '\0' || mode[2] == '\0' || mode[3] != '\0') return false;
  format->data_bits = static_cast<unsigned char>(mode[0] - '0');
  switch (mode[1]) {
    case 'N':
    case 'n':
      format->parity = 'N';
      break;
    case 'O':
    case 'o':
      format->parity = 'O';
      break;
    case 'E':
    case 'e':
      format->parity = 'E';
      break;
    default:
      return false;
  }
  if (mode[2] != '1' && mode[2] != '2') return false;
  format->stop_bits = mode[2] - '0';
  return true;
}

#endif
