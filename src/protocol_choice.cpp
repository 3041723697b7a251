#include "protocol_choice.h"

#include <cstdio>
#include <cstring>

bool ParseProtocolName(const char* name, Protocol* protocol) {
  static const struct {
    const char* name;
    Protocol protocol;
  } kNames[] = {
      {"velcot", Protocol::kVelcot},      {"xmodem", Protocol::kXmodem},
      {"xmodem-1k", Protocol::kXmodem1k}, {"ymodem", Protocol::kYmodem},
      {"ymodem-g", Protocol::kYmodemG},   {"kermit", Protocol::kKermit},
      {"zmodem", Protocol::kZmodem},
  };
  for (const auto& entry : kNames) {
    if (strcmp(name, entry.name) == 0) {
      *protocol = entry.protocol;
      return true;
    }
  }
  return false;
}

TransferResult RunProtocol(PortHandle, const ProtocolRun& run, const LineTimes&) {
  switch (run.protocol) {
    case Protocol::kXmodem:
    case Protocol::kXmodem1k:
    case Protocol::kYmodem:
    case Protocol::kYmodemG:
    case Protocol::kKermit:
    case Protocol::kZmodem:
    case Protocol::kVelcot:
      break;
  }
  fprintf(stderr, "This velcot does not speak that protocol yet\n");
  return TransferResult::kNotStored;
}
