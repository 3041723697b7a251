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

#include "ports/commdev.h"

// A network port, named as pyserial names them: socket://HOST:PORT or
// tcp:HOST:PORT (raw TCP), rfc2217://HOST:PORT (Telnet and COM-PORT-OPTION).
// An IPv6 HOST goes in brackets: socket://[::1]:2000.
struct NetworkAddress {
  std::string host;
  std::string service;
  std::string shown;  // HOST:PORT as given, for messages
  bool telnet;
};

// What a port's name names: a network port, a network port without
// HOST:PORT, or anything else (a device, "-").
enum class AddressKind { kNotNetwork, kNetwork, kMalformed };
AddressKind ParseNetworkAddress(const char* name, NetworkAddress* address);

// A network port gives up on a host that does not answer after this long,
// and on an RFC 2217 server that has not answered the settings after this.
constexpr uint32_t kConnectLimitMs = 10000;
constexpr uint32_t kComPortAnswerLimitMs = 5000;

// COM-PORT-OPTION's settings, as the client sets them: SET-BAUDRATE,
// SET-DATASIZE, SET-PARITY, SET-STOPSIZE, and SET-CONTROL three times: for
// flow control, for DTR and for RTS (the last two only when asked for).
constexpr int kComPortSettings = 7;

// Where the reader stands in the connection's bytes: in the data, after
// IAC, at the option of a negotiation, inside SB, or at IAC inside SB.
enum class TelnetStep { kData, kCommand, kOption, kSub, kSubCommand };

// Where the reader stands, which options are on at each end, and the
// server's answers to the settings asked for.
struct TelnetState {
  TelnetStep step;
  uint8_t verb;    // the WILL, WONT, DO or DONT being read
  uint8_t sub[8];  // the start of a subnegotiation: option, command, value
  size_t sub_length;
  bool we_binary, they_binary, we_sga, they_sga, we_com_port;
  bool answered[kComPortSettings];
  uint32_t answers[kComPortSettings];
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

// The line's data for the connection, 0xFF doubled.
std::string EncodeTelnet(const uint8_t* in, size_t length);

// The COM-PORT-OPTION settings for a speed, format and line control.
// Clears the answers state holds.
std::string RequestComPortSettings(TelnetState* state, uint32_t baudrate, const LineFormat& format,
                                   const LineControl& control = LineControl());

// Once every setting asked for has been answered: "" when the server set
// them as asked, or why not, for a line on stderr. Before then (or when it
// refused an option it needs) *complete is false.
std::string CheckComPortAnswers(const TelnetState& state, uint32_t baudrate,
                                const LineFormat& format, bool* complete,
                                const LineControl& control = LineControl());

#endif
