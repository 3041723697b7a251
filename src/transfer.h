// transfer: the session of one file, as the driver runs it. The sender
// opens the file; both ends agree at its opening on the classic or the
// streaming exchange; the file goes through that exchange; the session
// closes it, or stores or drops what was received, and says how it ended.
#ifndef VELCOT_TRANSFER_H
#define VELCOT_TRANSFER_H

#include <cstdint>

#include "commdev.h"
#include "outcome.h"
#include "wire.h"

// Set to anything but "" or "0", this environment variable makes both ends
// speak the classic exchange only: no preamble, and READY to every START.
constexpr char kClassicVariable[] = "VELCOT_CLASSIC";

// Set to "0", this one turns compression off at this end: no codec is
// offered, or agreed to.
constexpr char kCompressionVariable[] = "VELCOT_COMPRESSION";

// How every session of a run goes.
struct SessionSettings {
  LineTimes times;            // the waits from the line's speed and format
  bool classic_only = false;  // kClassicVariable is set
  bool compression = true;    // kCompressionVariable is not "0"
};

// What a run of files has learned of its receiver, for its later openings.
struct RunMemory {
  bool plain_receiver = false;  // it shared no capabilities: none are offered again
};

// Sends one file. Once it is under way, a receiver that makes no progress
// for the stall limit ends it (kStalled); waiting for an answer to the
// opening has no limit, unless give_up_ms (0: however long it takes) runs
// out first (kUnanswered). memory, if given, carries what the run learned.
TransferResult SendFile(PortHandle port, const char* path, const SessionSettings& settings,
                        uint32_t give_up_ms = 0, RunMemory* memory = nullptr);

// Receives one file, waiting however long it takes for a sender. *opened
// carries a sender's opening from one RecvFile to the next: set on return
// when the receiver took one off the line after the file, and answered at
// once on entry.
TransferResult RecvFile(PortHandle port, const SessionSettings& settings, SeenOpening* opened);

// Waits at most wait_ms for a sender to open a file, dropping whatever
// comes before its opening, for the next RecvFile to answer at once: kDone
// with *opened set, kTimedOut when none came in time, or kLost.
PortResult AwaitSender(PortHandle port, const SessionSettings& settings, uint32_t wait_ms,
                       SeenOpening* opened);

#endif
