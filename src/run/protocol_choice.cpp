#include "run/protocol_choice.h"

#include <cstdio>
#include <cstring>

#include "protocols/kermit/kermit.h"
#include "protocols/xymodem/xymodem.h"
#include "protocols/zmodem/zmodem.h"

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

TransferResult RunProtocol(PortHandle port, const ProtocolRun& run, const LineTimes& times) {
  switch (run.protocol) {
    case Protocol::kKermit: {
      KermitRun kermit = {run.files, run.file_count, run.data_bits};
      return run.file_count > 0 ? SendKermitFiles(port, kermit, times)
                                : ReceiveKermitFiles(port, kermit, times);
    }
    case Protocol::kXmodem:
    case Protocol::kXmodem1k:
    case Protocol::kYmodem:
    case Protocol::kYmodemG: {
      XyKind kind = run.protocol == Protocol::kXmodem     ? XyKind::kXmodem
                    : run.protocol == Protocol::kXmodem1k ? XyKind::kXmodem1k
                    : run.protocol == Protocol::kYmodem   ? XyKind::kYmodem
                                                          : XyKind::kYmodemG;
      XyRun xy = {kind, run.files, run.file_count, run.output_name};
      return run.file_count > 0 ? SendXyFiles(port, xy, times) : ReceiveXyFiles(port, xy, times);
    }
    case Protocol::kZmodem: {
      ZRun z = {run.files, run.file_count, run.escape_all};
      return run.file_count > 0 ? SendZmodemFiles(port, z, times)
                                : ReceiveZmodemFiles(port, z, times);
    }
    case Protocol::kVelcot:
      break;
  }
  fprintf(stderr, "This velcot does not speak that protocol yet\n");
  return TransferResult::kNotStored;
}
