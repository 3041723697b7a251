// What both ends of an X/YMODEM transfer do on the line: the bounds on
// every wait, the cancel both ways, and the end of a transfer given up.
#ifndef VELCOT_PROTOCOLS_XYMODEM_LINK_H
#define VELCOT_PROTOCOLS_XYMODEM_LINK_H

#include <cstdint>

#include "base/outcome.h"
#include "ports/commdev.h"
#include "protocols/xymodem/block.h"

// A block (or EOT) goes again, or is asked for again, at most this many
// times in a row before the transfer is given up.
constexpr int kXyRetries = 10;

// The first ask or block may take this long to come: the other end is
// being started by hand.
constexpr uint32_t kXyFirstMs = 60000;

// Until then a receiver asks every 2 s, so that a sender started late
// begins soon; once more than 5 asks for CRC-16 went unanswered, XMODEM
// asks for the 8-bit sum, which older senders know alone.
constexpr uint32_t kXyFirstAskMs = 2000;

// A sender waits this long for the answer to a block; a receiver this long
// for a block to begin, and a block begun may pause this long.
constexpr uint32_t kXyAnswerMs = 10000;
constexpr uint32_t kXyBlockMs = 5000;
constexpr uint32_t kXyPauseMs = 1000;

// CAN CAN cancels; more make sure of it, U-Boot needing three.
constexpr uint8_t kXyCancel[8] = {kXyCan, kXyCan, kXyCan, kXyCan, kXyCan, kXyCan, kXyCan, kXyCan};

// A kRefused ending's error when one block failed while they streamed
// (YMODEM-g), which cannot send it again.
constexpr int kXyStreamed = 1;

// Ends a transfer given up: the cancel for the other end, unless it
// cancelled or the port is gone; once the run was asked to end (Ctrl+C),
// as last words.
void CancelXyTransfer(PortHandle port, const Ending& ending);

// Says why a file ended, as ReportEnding does, and a block refused
// kXyRetries times (kRefused) as such: its result.
TransferResult ReportXyEnding(ProgressLine* line, const Ending& ending, bool sending,
                              const char* shown);

#endif
