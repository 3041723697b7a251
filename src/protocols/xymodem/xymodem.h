// XMODEM, XMODEM-1K, YMODEM and YMODEM-g, both ways: velcot sends files to
// a receiver that asks for them with C, NAK or G (U-Boot's loadx and loady,
// lrzsz's rx and rb, a microcontroller's bootloader) and takes files from
// such a sender. doc/xymodem.md tells what velcot sends and accepts.
#ifndef VELCOT_PROTOCOLS_XYMODEM_XYMODEM_H
#define VELCOT_PROTOCOLS_XYMODEM_XYMODEM_H

#include <cstddef>
#include <cstdint>

#include "base/outcome.h"
#include "base/wire.h"
#include "ports/commdev.h"

enum class XyKind {
  kXmodem,    // one file, 128-byte blocks
  kXmodem1k,  // one file, 1024-byte blocks
  kYmodem,    // a batch: each file named in block 0, 1024-byte blocks, CRC-16
  kYmodemG,   // YMODEM without answers to blocks, for error-free lines
};

struct XyRun {
  XyKind kind;
  const char* const* files;  // to send, in order
  int file_count;
  const char* output_name;  // receiving XMODEM, which carries no name: the file's
};

// Sends the run's files, each reported as it ends: kDone when the receiver
// took every one, kPortLost when the port was lost (for the driver to
// report), another result when a file did not go.
TransferResult SendXyFiles(PortHandle port, const XyRun& run, const LineTimes& times);

// Receives a file (XMODEM) or a batch (YMODEM) into the current folder:
// kDone when every file was stored.
TransferResult ReceiveXyFiles(PortHandle port, const XyRun& run, const LineTimes& times);

// ---- what a run layer listening on the line may recognize ----

// What an X/YMODEM receiver writes while it waits for a sender: C (CRC-16),
// NAK (the 8-bit sum) or G (YMODEM-g), the same byte at least twice and
// nothing else; 0 when bytes are not that.
uint8_t FindXyReceiverAsk(const uint8_t* bytes, size_t length);

#endif
