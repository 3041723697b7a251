// ZMODEM, both ways, as lrzsz's sz and rz speak it: velcot sends files to
// a ZMODEM receiver and takes them from a ZMODEM sender, with CRC-32 where
// both ends have it, recovery from a position (ZRPOS) after damage, and a
// receiver's kept part resumed. doc/zmodem.md tells what velcot sends and
// accepts.
#ifndef VELCOT_PROTOCOLS_ZMODEM_ZMODEM_H
#define VELCOT_PROTOCOLS_ZMODEM_ZMODEM_H

#include <cstddef>
#include <cstdint>

#include "base/outcome.h"
#include "base/wire.h"
#include "ports/commdev.h"

struct ZRun {
  const char* const* files;  // to send, in order
  int file_count;
  // Escape every control character both ways, for a line that eats some.
  bool escape_all = false;
};

// Sends the run's files in one batch, each reported as it ends: kDone when
// the receiver took every one, kPortLost when the port was lost (for the
// driver to report), another result when a file did not go. heard holds
// what was already taken off the line (a receiver's ZRINIT that the run
// layer recognized), to be read before the port.
TransferResult SendZmodemFiles(PortHandle port, const ZRun& run, const LineTimes& times,
                               const uint8_t* heard = nullptr, size_t heard_length = 0);

// Receives a batch into the current folder, each file reported as it
// ends: kDone when every one was stored. opened: the run layer already
// heard the sender's ZRQINIT.
TransferResult ReceiveZmodemFiles(PortHandle port, const ZRun& run, const LineTimes& times,
                                  bool opened = false);

// ---- what a run layer listening on the line may recognize ----

// True when bytes hold a ZMODEM sender's opening: a hex ZRQINIT header
// (which sz writes after "rz\r"), its check holding.
bool IsZmodemSenderOpening(const uint8_t* bytes, size_t length);

// True when bytes hold a ZMODEM receiver's hex ZRINIT header, its check
// holding: what rz writes while it waits for a sender.
bool IsZmodemReceiverInit(const uint8_t* bytes, size_t length);

// True when bytes end inside a hex header, before its last digit: such a
// receiver's '3' is no READY of velcot's.
bool EndsInsideZmodemHeader(const uint8_t* bytes, size_t length);

#endif
