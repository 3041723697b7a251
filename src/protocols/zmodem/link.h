// What both ends of a ZMODEM transfer share on the line: the bounds on
// every wait, and the end of a transfer given up.
#ifndef VELCOT_PROTOCOLS_ZMODEM_LINK_H
#define VELCOT_PROTOCOLS_ZMODEM_LINK_H

#include <cstdint>

#include "base/outcome.h"
#include "ports/commdev.h"
#include "protocols/zmodem/frame.h"

// A header goes again, or a position is asked for again, at most this
// many times in a row before the transfer is given up.
constexpr int kZRetries = 10;

// The other end's first header may take this long: it is being started by
// hand. Until then the opening header goes again every kZOpeningMs, as a
// first one may be lost while the other end starts.
constexpr uint32_t kZFirstMs = 60000;
constexpr uint32_t kZOpeningMs = 2000;

// A header's answer comes within kZAnswerMs; a subpacket's bytes each
// within kZPauseMs of the one before.
constexpr uint32_t kZAnswerMs = 10000;
constexpr uint32_t kZPauseMs = 5000;

// Writes bytes whole: false when the port was lost.
bool WriteZ(PortHandle port, const ZBytes& bytes);

// Ends a transfer given up: the cancel for the other end, unless it
// cancelled or the port is gone; once the run was asked to end (Ctrl+C),
// as last words.
void CancelZTransfer(PortHandle port, const Ending& ending);

// Says why a file ended, as ReportEnding does, and data refused or asked
// for again kZRetries times (kRefused) as such: its result.
TransferResult ReportZEnding(ProgressLine* line, const Ending& ending, bool sending,
                             const char* shown);

#endif
