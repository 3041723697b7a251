// Kermit, both ways: velcot sends files to a Kermit receiver (C-Kermit,
// U-Boot's loadb, a device's own Kermit) and takes files from a Kermit
// sender, with long packets and sliding windows where the other end offers
// them, CRC-16, repeat counts, 8th-bit prefixing on 7-bit lines, and the
// files' size and time. doc/kermit.md tells what velcot offers and accepts.
#ifndef VELCOT_PROTOCOLS_KERMIT_KERMIT_H
#define VELCOT_PROTOCOLS_KERMIT_KERMIT_H

#include <cstddef>
#include <cstdint>

#include "base/outcome.h"
#include "base/wire.h"
#include "ports/commdev.h"

struct KermitRun {
  const char* const* files;  // to send, in order
  int file_count;
  int data_bits;  // the line's: with 7, every byte's 8th bit travels as a prefix
};

// Sends the run's files in one transaction, each reported as it ends:
// kDone when the receiver took every one, kPortLost when the port was lost
// (for the driver to report), another result when a file did not go.
TransferResult SendKermitFiles(PortHandle port, const KermitRun& run, const LineTimes& times);

// Receives the files of one transaction into the current folder, each
// reported as it ends: kDone when every one was stored. heard holds what
// was already taken off the line (a Send-Init the run layer recognized),
// to be read before the port.
TransferResult ReceiveKermitFiles(PortHandle port, const KermitRun& run, const LineTimes& times,
                                  const uint8_t* heard = nullptr, size_t heard_length = 0);

// ---- what a run layer listening on the line may recognize ----

// True when bytes hold a whole Kermit Send-Init packet, its check holding
// (with the 8th bits dropped too, from a peer that sends parity): a Kermit
// sender opening a transaction.
bool IsKermitSendInit(const uint8_t* bytes, size_t length);

// True when bytes hold a whole Kermit NAK for packet 0, its check holding:
// what a Kermit receiver writes while it waits for a sender.
bool IsKermitReceiverNak(const uint8_t* bytes, size_t length);

#endif
