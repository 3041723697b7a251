// protocol_choice: which protocol a run speaks. velcot's own (its exchanges
// between velcots, and the classic one with any other peer) is the default;
// the others reach peers that cannot run velcot: bootloaders, lrzsz,
// C-Kermit.
#ifndef VELCOT_PROTOCOL_CHOICE_H
#define VELCOT_PROTOCOL_CHOICE_H

#include "base/outcome.h"
#include "base/wire.h"
#include "ports/commdev.h"

enum class Protocol { kVelcot, kXmodem, kXmodem1k, kYmodem, kYmodemG, kKermit, kZmodem };

// The protocol a --protocol value names; false for a name velcot does not
// speak.
bool ParseProtocolName(const char* name, Protocol* protocol);

// The names ParseProtocolName takes, for messages and the help text.
constexpr char kProtocolNames[] = "velcot, xmodem, xmodem-1k, ymodem, ymodem-g, kermit, zmodem";

// A run in a protocol other than velcot's own.
struct ProtocolRun {
  Protocol protocol;
  const char* const* files;  // to send, in order; none: receive
  int file_count;
  const char* output_name;  // -o: the name a file that arrives without one is stored under
  int data_bits = 8;        // the line's, from its mode: Kermit prefixes the 8th bit over 7
  bool escape_all = false;  // ZMODEM: escape every control character, for a line that eats some
};

// Sends or receives the run's files, each reported as it ends: kDone when
// every file arrived, kPortLost when the port was lost (for the driver to
// report), another result when a file did not.
TransferResult RunProtocol(PortHandle port, const ProtocolRun& run, const LineTimes& times);

#endif
