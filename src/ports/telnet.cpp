#include "ports/telnet.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

// Telnet's commands and options (RFC 854, 856, 858), and COM-PORT-OPTION's
// (RFC 2217), whose server answers each setting with 100 added.
constexpr uint8_t kTelnetIac = 255;
constexpr uint8_t kTelnetDont = 254;
constexpr uint8_t kTelnetDo = 253;
constexpr uint8_t kTelnetWont = 252;
constexpr uint8_t kTelnetWill = 251;
constexpr uint8_t kTelnetSb = 250;
constexpr uint8_t kTelnetSe = 240;
constexpr uint8_t kTelnetBinary = 0;
constexpr uint8_t kTelnetSga = 3;
constexpr uint8_t kTelnetComPort = 44;
constexpr uint8_t kComPortAnswer = 100;

static void AddNegotiation(std::string* out, uint8_t verb, uint8_t option) {
  *out += char(kTelnetIac);
  *out += char(verb);
  *out += char(option);
}

std::string StartTelnet(TelnetState* state, bool com_port) {
  *state = TelnetState();
  std::string out;
  AddNegotiation(&out, kTelnetWill, kTelnetBinary);
  AddNegotiation(&out, kTelnetDo, kTelnetBinary);
  AddNegotiation(&out, kTelnetWill, kTelnetSga);
  AddNegotiation(&out, kTelnetDo, kTelnetSga);
  if (com_port) AddNegotiation(&out, kTelnetWill, kTelnetComPort);
  state->we_binary = state->they_binary = state->we_sga = state->they_sga = true;
  state->we_com_port = com_port;
  return out;
}

// The flag of an option this end takes (*ours: on our side, DO/DONT; on
// theirs, WILL/WONT), or nullptr for one it refuses.
static bool* FindOption(TelnetState* state, uint8_t option, bool ours) {
  switch (option) {
    case kTelnetBinary:
      return ours ? &state->we_binary : &state->they_binary;
    case kTelnetSga:
      return ours ? &state->we_sga : &state->they_sga;
    case kTelnetComPort:
      return ours ? &state->we_com_port : nullptr;
    default:
      return nullptr;
  }
}

// Answers only a change, so that two ends never answer each other's
// answers for ever: an option asked for that is on, or refused that is
// off, needs no word.
static void Negotiate(TelnetState* state, uint8_t verb, uint8_t option, std::string* reply) {
  bool ours = verb == kTelnetDo || verb == kTelnetDont;
  bool wanted = verb == kTelnetDo || verb == kTelnetWill;
  bool* flag = FindOption(state, option, ours);
  uint8_t yes = ours ? kTelnetWill : kTelnetDo;
  uint8_t no = ours ? kTelnetWont : kTelnetDont;
  if (flag == nullptr) {
    if (wanted) AddNegotiation(reply, no, option);
    return;
  }
  if (*flag == wanted) return;
  *flag = wanted;
  AddNegotiation(reply, wanted ? yes : no, option);
}

// SET-CONTROL's values: flow control 1 none, 2 XON/XOFF, 3 hardware (0
// asks); DTR 8 on, 9 off (7 asks); RTS 11 on, 12 off (10 asks).
constexpr int kSetControl = 4;
constexpr int kSetDtr = 5;
constexpr int kSetRts = 6;

// The setting an answer to SET-CONTROL is about, from its value; -1 for
// one velcot does not ask about (BREAK, inbound flow control).
static int FindControlSetting(uint8_t value) {
  if (value <= 3) return kSetControl;
  if (value >= 7 && value <= 9) return kSetDtr;
  if (value >= 10 && value <= 12) return kSetRts;
  return -1;
}

// A whole subnegotiation: the server's answer to one of our settings.
static void TakeSubnegotiation(TelnetState* state) {
  if (state->sub_length < 3 || state->sub[0] != kTelnetComPort) return;
  int setting = state->sub[1] - kComPortAnswer - 1;
  if (setting < 0 || setting > kSetControl) return;
  if (setting == kSetControl) setting = FindControlSetting(state->sub[2]);
  if (setting < 0) return;
  uint32_t value = state->sub[2];
  if (setting == 0) {  // the baud rate: four bytes
    if (state->sub_length < 6) return;
    value = uint32_t(state->sub[2]) << 24 | uint32_t(state->sub[3]) << 16 |
            uint32_t(state->sub[4]) << 8 | state->sub[5];
  }
  state->answered[setting] = true;
  state->answers[setting] = value;
}

// The byte after IAC.
static void TakeCommand(TelnetState* state, uint8_t byte, uint8_t* data, size_t* out) {
  state->step = TelnetStep::kData;
  if (byte == kTelnetIac) {
    data[(*out)++] = byte;
  } else if (byte >= kTelnetWill) {
    state->verb = byte;
    state->step = TelnetStep::kOption;
  } else if (byte == kTelnetSb) {
    state->sub_length = 0;
    state->step = TelnetStep::kSub;
  }  // NOP, GA, a lone SE and the other commands carry nothing
}

size_t DecodeTelnet(TelnetState* state, const uint8_t* in, size_t length, uint8_t* data,
                    std::string* reply) {
  size_t out = 0;
  for (size_t i = 0; i < length; i++) {
    uint8_t byte = in[i];
    switch (state->step) {
      case TelnetStep::kData:
        if (byte == kTelnetIac) {
          state->step = TelnetStep::kCommand;
        } else {
          data[out++] = byte;
        }
        break;
      case TelnetStep::kCommand:
        TakeCommand(state, byte, data, &out);
        break;
      case TelnetStep::kOption:
        Negotiate(state, state->verb, byte, reply);
        state->step = TelnetStep::kData;
        break;
      case TelnetStep::kSub:
        if (byte == kTelnetIac) {
          state->step = TelnetStep::kSubCommand;
        } else if (state->sub_length < sizeof state->sub) {
          state->sub[state->sub_length++] = byte;
        }
        break;
      case TelnetStep::kSubCommand:
        if (byte == kTelnetIac) {
          if (state->sub_length < sizeof state->sub) state->sub[state->sub_length++] = byte;
          state->step = TelnetStep::kSub;
          break;
        }
        TakeSubnegotiation(state);
        if (byte == kTelnetSe) {
          state->step = TelnetStep::kData;
          break;
        }
        TakeCommand(state, byte, data, &out);  // an unterminated one ends at the next command
        break;
    }
  }
  return out;
}

std::string EncodeTelnet(const uint8_t* in, size_t length) {
  std::string out;
  out.reserve(length);
  for (size_t i = 0; i < length; i++) {
    out += char(in[i]);
    if (in[i] == kTelnetIac) out += char(kTelnetIac);
  }
  return out;
}

static void AddSetting(std::string* out, uint8_t command, const uint8_t* value, size_t length) {
  *out += char(kTelnetIac);
  *out += char(kTelnetSb);
  *out += char(kTelnetComPort);
  *out += char(command);
  *out += EncodeTelnet(value, length);
  *out += char(kTelnetIac);
  *out += char(kTelnetSe);
}

// A modem line's SET-CONTROL value: on, off, or 0 when not asked for.
static uint32_t FindLineValue(ModemLine line, uint32_t on) {
  return line == ModemLine::kOn ? on : line == ModemLine::kOff ? on + 1 : 0;
}

// RFC 2217's codes: parity 1 none, 2 odd, 3 even; stop size 1 or 2; and
// SET-CONTROL's above. 0 for a setting not asked for.
static uint32_t FindWanted(int setting, uint32_t baudrate, const LineFormat& format,
                           const LineControl& control) {
  switch (setting) {
    case 0:
      return baudrate;
    case 1:
      return uint32_t(format.data_bits);
    case 2:
      return format.parity == 'O' ? 2 : format.parity == 'E' ? 3 : 1;
    case 3:
      return uint32_t(format.stop_bits);
    case kSetControl:
      return control.flow == FlowControl::kRtsCts    ? 3
             : control.flow == FlowControl::kXonXoff ? 2
                                                     : 1;
    case kSetDtr:
      return FindLineValue(control.dtr, 8);
    default:
      return FindLineValue(control.rts, 11);
  }
}

std::string RequestComPortSettings(TelnetState* state, uint32_t baudrate, const LineFormat& format,
                                   const LineControl& control) {
  std::string out;
  const uint8_t rate[4] = {uint8_t(baudrate >> 24), uint8_t(baudrate >> 16), uint8_t(baudrate >> 8),
                           uint8_t(baudrate)};
  AddSetting(&out, 1, rate, 4);
  for (int setting = 1; setting < kComPortSettings; setting++) {
    uint8_t value = uint8_t(FindWanted(setting, baudrate, format, control));
    if (value != 0) AddSetting(&out, uint8_t(std::min(setting, kSetControl) + 1), &value, 1);
  }
  for (bool& answered : state->answered)
    answered = false;
  return out;
}

std::string CheckComPortAnswers(const TelnetState& state, uint32_t baudrate,
                                const LineFormat& format, bool* complete,
                                const LineControl& control) {
  static const char* const kNames[kComPortSettings] = {
      "baud rate", "data size", "parity", "stop size", "flow control", "DTR", "RTS"};
  *complete = true;
  if (!state.we_com_port) return "the port server refuses COM-PORT-OPTION (RFC 2217)";
  if (!state.we_binary || !state.they_binary) return "the port server refuses Telnet BINARY";
  for (int setting = 0; setting < kComPortSettings; setting++) {
    if (!state.answered[setting] && FindWanted(setting, baudrate, format, control) != 0) {
      *complete = false;
      return "";
    }
  }
  for (int setting = 0; setting < kComPortSettings; setting++) {
    uint32_t wanted = FindWanted(setting, baudrate, format, control);
    if (wanted != 0 && state.answers[setting] != wanted) {
      char text[96];
      snprintf(text, sizeof text, "the port server set %s %lu when %lu was asked", kNames[setting],
               static_cast<unsigned long>(state.answers[setting]),
               static_cast<unsigned long>(wanted));
      return text;
    }
  }
  return "";
}

AddressKind ParseNetworkAddress(const char* name, NetworkAddress* address) {
  static const struct {
    const char* prefix;
    bool telnet;
  } kSchemes[] = {{"socket://", false}, {"tcp:", false}, {"rfc2217://", true}};
  std::string text;
  for (const auto& scheme : kSchemes) {
    size_t length = strlen(scheme.prefix);
    if (strncmp(name, scheme.prefix, length) != 0) continue;
    text = name + length;
    address->telnet = scheme.telnet;
    address->shown = text;
    size_t colon = text.rfind(':');
    bool no_port = colon == std::string::npos || colon == 0 || colon + 1 == text.size();
    if (no_port) return AddressKind::kMalformed;
    address->host = text.substr(0, colon);
    address->service = text.substr(colon + 1);
    if (address->host.size() > 2 && address->host.front() == '[' && address->host.back() == ']') {
      address->host = address->host.substr(1, address->host.size() - 2);
    } else if (address->host.find(':') != std::string::npos) {
      return AddressKind::kMalformed;  // an IPv6 address takes brackets
    }
    return AddressKind::kNetwork;
  }
  return AddressKind::kNotNetwork;
}
