// telnet: the names of network ports, and a serial line inside a Telnet
// connection, as network serial servers (ser2net, RFC 2217 device servers)
// offer one: the data with 0xFF doubled, the options a server negotiates,
// and RFC 2217's COM-PORT-OPTION, which sets the remote UART up. Bytes in,
// bytes out: the port code moves them.
#ifndef VELCOT_TELNET_H
#define VELCOT_TELNET_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "commdev.h"

// A network port, named as pyserial names them: socket://HOST:PORT or
// tcp:HOST:PORT (raw TCP), rfc2217://HOST:PORT (Telnet and COM-PORT-OPTION).
// An IPv6 HOST goes in brackets: socket://[::1]:2000.
struct NetworkAddress {
  std::string host;
  std::string service;
  std::string shown;  // HOST:PORT as given, for messages
  bool telnet;
};

// 1 for a network port's name, 0 for any other name (a device), -1 for a
// network port's name without HOST:PORT.
int ParseNetworkAddress(const char* name, NetworkAddress* address);

#define TELNET_IAC 255
#define TELNET_DONT 254
#define TELNET_DO 253
#define TELNET_WONT 252
#define TELNET_WILL 251
#define TELNET_SB 250
#define TELNET_SE 240
#define TELNET_BINARY 0
#define TELNET_SGA 3
#define TELNET_COM_PORT 44

// COM-PORT-OPTION's settings, as the client sets them (the server answers
// each with 100 added): SET-BAUDRATE, SET-DATASIZE, SET-PARITY,
// SET-STOPSIZE, SET-CONTROL.
#define COM_PORT_SETTINGS 5
#define COM_PORT_ANSWER 100

// Where the reader stands in the connection's bytes, which options are on
// at each end, and the server's answers to the settings asked for.
struct TelnetState {
  int step;        // 0 data; 1 after IAC; 2 option of a negotiation; 3 inside SB; 4 IAC inside SB
  uint8_t verb;    // the WILL, WONT, DO or DONT being read
  uint8_t sub[8];  // the start of a subnegotiation: option, command, value
  size_t sub_length;
  bool we_binary, they_binary, we_sga, they_sga, we_com_port;
  bool answered[COM_PORT_SETTINGS];
  uint32_t answers[COM_PORT_SETTINGS];
};

// The client's opening: BINARY both ways (so that a server passes every
// byte through untouched), SUPPRESS-GO-AHEAD both ways, and, when
// com_port, COM-PORT-OPTION. Sets state to match.
std::string StartTelnet(TelnetState* state, bool com_port);

// Takes what came on the connection: the line's data goes to data (which
// may be in itself; the count is returned), and the answers to the
// server's negotiation are appended to reply. Options other than those of
// StartTelnet are refused; COM-PORT-OPTION's answers are kept in state.
size_t DecodeTelnet(TelnetState* state, const uint8_t* in, size_t length, uint8_t* data,
                    std::string* reply);

// The line's data for the connection, 0xFF doubled; out has room for
// twice length. Returns the bytes written.
size_t EncodeTelnet(const uint8_t* in, size_t length, uint8_t* out);

// The COM-PORT-OPTION settings for a speed and format, no flow control.
// Clears the answers state holds.
std::string RequestComPortSettings(TelnetState* state, uint32_t baudrate, const LineFormat& format);

// Once every setting has been answered: "" when the server set them as
// asked, or why not, for a line on stderr. Before then (or when it
// refused an option it needs) *complete is false.
std::string CheckComPortAnswers(const TelnetState& state, uint32_t baudrate,
                                const LineFormat& format, bool* complete);

#endif
