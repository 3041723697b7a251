// commdev: the only code that touches the serial port.
//
// Every operation is synchronous and blocking and takes the port handle by
// value; whatever state a platform needs lives behind that handle.
#ifndef VELCOT_COMMDEV_H
#define VELCOT_COMMDEV_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

// The open port, whatever the platform needs to move bytes: on Windows its
// handle and the byte a wait took off the line; elsewhere its descriptor,
// the bytes read ahead and those not yet handed to the driver, and the
// settings to put back when it is closed.
struct PortState;
typedef PortState* PortHandle;
constexpr PortHandle kInvalidPortHandle = nullptr;

#ifndef _WIN32
// A line that is already open as a descriptor (a socket to a terminal
// server, one end of a socketpair): bytes only, nothing to configure.
// CloseComPort closes the descriptor. kInvalidPortHandle when out of memory.
PortHandle AdoptPortDescriptor(int fd);
#endif

// What a port operation came to. A lost port (unplugged, hung up, or a run
// asked to end: see CatchInterrupts) stays lost; the port keeps why.
enum class PortResult {
  kDone,      // the bytes moved, or one is waiting
  kTimedOut,  // the time allowed passed with the line silent
  kLost,
};

// Why the port was lost: an errno value (EINTR once the run was asked to
// end), or kHungUp when the other end closed (a line hung up, a pipe or a
// connection closed).
constexpr int kHungUp = 0;
int GetPortError(PortHandle port);

// The reason a lost port is reported with: "hung up", or the error's text.
inline const char* DescribePortLoss(PortHandle port) {
  return GetPortError(port) != kHungUp ? strerror(GetPortError(port)) : "hung up";
}

// Catches the requests to end the run (Ctrl+C, SIGTERM and SIGHUP; on
// Windows the console's control events) in the program's one global flag.
// Once one has come, every port operation returns kLost (error EINTR), so
// the run unwinds, puts the port back and ends. A request the run was
// started to ignore (nohup; on Windows a Ctrl+C ignored by the parent)
// stays ignored.
void CatchInterrupts();

// The signal that asked the run to end (SIGINT for Ctrl+C), or 0.
int GetInterruption();

// Opens a port; kInvalidPortHandle on failure, after a line on stderr that
// says why. A name is one of:
// - "-": standard input and output, as a terminal program, socat or ssh
//   hands a line over; not locked (that program holds it), and left open
//   at close;
// - "socket://HOST:PORT" or "tcp:HOST:PORT": a TCP connection whose bytes
//   are the line's (a network serial server in raw mode);
// - "rfc2217://HOST:PORT": a Telnet connection to a network serial server,
//   BINARY both ways, whose UART COM-PORT-OPTION sets up (RFC 2217);
// - any other: a device, opened exclusively.
PortHandle OpenComPort(const char* name);

// Flow control, and the modem lines DTR and RTS while velcot holds the
// port. A line not asked for is held off on a port of this machine, and
// left as the server has it over RFC 2217; one asked for is put back as it
// was when the port closes. RTS/CTS flow control drives RTS itself.
enum class FlowControl { kNone, kRtsCts, kXonXoff };
enum class ModemLine { kUnset, kOff, kOn };
struct LineControl {
  FlowControl flow = FlowControl::kNone;
  ModemLine dtr = ModemLine::kUnset;
  ModemLine rts = ModemLine::kUnset;
};

// Sets speed and line format from a mode string such as "8N1", and the
// line control. False, after a line on stderr when the platform refused,
// when not configured. A pipe or a socket has no speed: it takes any valid
// mode string (and says once that it has no line control, if some was
// asked for, as a pseudo-terminal says it has no modem lines). An RFC 2217
// server must set what was asked, as a driver must.
bool ConfigureComPort(PortHandle port, uint32_t baudrate, const char* mode,
                      const LineControl& control = LineControl());

// True when what is written to stream goes onto the line: standard output
// of "-", or a terminal that is the port itself (a board's console).
bool IsLineStream(PortHandle port, FILE* stream);

// Waits for the next byte from the line: kDone with *byte set, or kLost.
PortResult ReadByte(PortHandle port, uint8_t* byte);

// Waits at most timeout_ms for a byte to arrive, without taking it: kDone
// when one is waiting, kTimedOut, or kLost.
PortResult WaitForByte(PortHandle port, uint32_t timeout_ms);

// Hands one byte to the line: kDone, or kLost. The POSIX port collects
// bytes and hands them to the driver in one call before it next reads or
// waits, when its buffer is full, and on close (unless the run was asked to
// end), so their order on the line is the same and no reply waits behind
// them.
PortResult WriteByte(PortHandle port, uint8_t byte);

// Hands length bytes to the line, in order: kDone, or kLost. The POSIX port
// collects them as WriteByte does.
PortResult WriteBytes(PortHandle port, const uint8_t* bytes, size_t length);

// Reads length bytes: kDone once all have come; kTimedOut when the line was
// silent for silence_ms before they had (silence_ms 0 waits for ever); kLost.
// On a paced line the POSIX port does not wake for every character: once
// bytes arrive it sleeps while most of the rest travel, sized from the
// line's speed.
PortResult ReadBytes(PortHandle port, uint8_t* buffer, size_t length, uint32_t silence_ms);

// Hands the bytes collected by WriteByte to the driver now, rather than
// when the port next reads or waits: kDone, or kLost. Where nothing is
// collected (Windows writes at once) it does nothing.
PortResult FlushPort(PortHandle port);

// A protocol's cancel, once the run has been asked to end (or the port
// was otherwise lost): drops what was collected and not yet sent, writes
// these few bytes and waits at most limit_ms for them to leave, so that the
// other end hears the run is over. kDone, kTimedOut when they could not go
// in time, or kLost. Every other write fails once the run was asked to end.
PortResult WriteLastWords(PortHandle port, const uint8_t* bytes, size_t length, uint32_t limit_ms);

// Lets what is still collected leave the line (on POSIX, drops it instead
// once the run has been asked to end), puts back the settings the port had
// when it was opened without echoing what still arrives, and closes it.
void CloseComPort(PortHandle port);

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

// Bits a character takes on the line: a start bit, the data bits, a parity
// bit if any, and the stop bits.
inline uint32_t CountBitsPerCharacter(const LineFormat& format) {
  return 1 + uint32_t(format.data_bits) + (format.parity != 'N' ? 1 : 0) +
         uint32_t(format.stop_bits);
}

#endif
