// transfer: the opening of a file, as the driver runs it. The sender
// opens the file; both ends agree at its opening on the classic or the
// streaming exchange, and between velcots on a session of files back to
// back; the file goes through that exchange; the opening closes it, or
// stores or drops what was received, and says how it ended.
#ifndef VELCOT_TRANSFER_H
#define VELCOT_TRANSFER_H

#include <cstdint>
#include <deque>

#include "base/outcome.h"
#include "base/wire.h"
#include "ports/commdev.h"
#include "protocols/velcot/session.h"

// Set to anything but "" or "0", this environment variable makes both ends
// speak the classic exchange only: no preamble, and READY to every START.
constexpr char kClassicVariable[] = "VELCOT_CLASSIC";

// Set to "0", this one turns compression off at this end: no codec is
// offered, or agreed to.
constexpr char kCompressionVariable[] = "VELCOT_COMPRESSION";

// How every opening of a run goes, whichever exchange it agrees on.
struct RunSettings {
  LineTimes times;            // the waits from the line's speed and format
  bool classic_only = false;  // kClassicVariable is set
  bool compression = true;    // kCompressionVariable is not "0"
  // --start typed the receiver's command into the far end's shell: its
  // first openings may come back echoed while that receiver starts.
  bool start_typed = false;
  // --escape-all: a ZMODEM peer heard gets every control character escaped.
  bool escape_all = false;
};

// The files of a run still to be sent, and what the run learned so far.
struct SendRun {
  std::deque<PendingFile> pending;
  bool plain_receiver = false;  // it shared no capabilities: none are offered again
  bool learned = false;         // what it shares is known: shared
  uint8_t shared = 0;
  bool failed = false;  // a file was not sent, or not stored
};

// Sends the file at the front of run->pending in one opening and, where the
// receiver agrees to a session, the files after it back to back. Files
// are taken off pending as they end, and reported; a file that was not
// sent sets run->failed. The result tells how the opening ended, for the
// next one: kDone when it ended in order; kUnanswered leaves the file at
// the front of pending. Once the opening is under way, a receiver that
// makes no progress for the stall limit ends it (kStalled); waiting for an
// answer to the opening has no limit, unless give_up_ms (0: however long it
// takes) runs out first.
TransferResult SendFiles(PortHandle port, SendRun* run, const RunSettings& settings,
                         uint32_t give_up_ms = 0);

// The message of a sender whose openings came back echoed.
constexpr char kEchoMessage[] =
    "the other end echoes what velcot sends: a shell, not a receiver; start velcot there first";

// Sends one file, alone in its run: kNotStored when a session ended in
// order without storing it.
TransferResult SendFile(PortHandle port, const char* path, const RunSettings& settings,
                        uint32_t give_up_ms = 0);

// Receives one file, waiting however long it takes for a sender. *opened
// carries a sender's opening from one RecvFile to the next: set on return
// when the receiver took one off the line after the file, and answered at
// once on entry. A Kermit or ZMODEM sender's opening (kOther, with its
// bytes in *other) hands the line to a receiver of that protocol, which
// takes its files.
TransferResult RecvFile(PortHandle port, const RunSettings& settings, SeenOpening* opened,
                        OtherOpening* other = nullptr);

// Waits at most wait_ms for a sender to open a file, dropping whatever
// comes before its opening, for the next RecvFile to answer at once: kDone
// with *opened set, kTimedOut when none came in time, or kLost. Given
// other, a Kermit sender's Send-Init or a ZMODEM sender's ZRQINIT counts
// as an opening (kOther), its bytes kept there.
PortResult AwaitSender(PortHandle port, const RunSettings& settings, uint32_t wait_ms,
                       SeenOpening* opened, OtherOpening* other = nullptr);

#endif
