// outcome: what became of one file: the result the driver acts on, and the
// one message that says why a file ended as it did.
#ifndef VELCOT_OUTCOME_H
#define VELCOT_OUTCOME_H

#include <cstdint>
#include <string>

#include "base/progress.h"
#include "ports/commdev.h"

// What became of one file, for the driver to go on or stop.
enum class TransferResult {
  kDone,             // sent, or received and stored
  kSkipped,          // sender: the file was not offered, or withheld after the opening
  kDeclined,         // the receiver declined the file, and a classic one left receive mode
  kNotStored,        // the exchange completed, the file was not stored
  kPortLost,         // the port went away (see DescribePortLoss)
  kStalled,          // the peer made no progress for the stall limit; the exchange is lost
  kRefused,          // one block was refused too often; the exchange is lost
  kOutOfStep,        // receiver: the sender was out of step; the file is given up
  kWithdrawn,        // sender: the file could not be read to its end; it fell silent
  kUnanswered,       // sender: no receiver answered the opening in the time allowed
  kPeerInterrupted,  // the other end's run was interrupted, and it said so
};

// Why a file's exchange ended: each reason has one message and one result.
enum class Reason {
  kDone,
  kPortLost,       // the driver reports the port
  kDeclined,       // sender: the receiver declined the file
  kSilent,         // the peer was silent for the stall limit
  kNoProgress,     // the peer talked without moving the file for the stall limit
  kRefused,        // one block was refused kMaxRefusals times in a row
  kWentOn,         // receiver: another block came where a refused one was due
  kMoreAfterLast,  // receiver: more came after the last block of the file
  kWithdrawn,      // sender: the file yielded less than announced; it fell silent
  kCancelled,      // the sender could not read the file whole, and said so
  kCheckFailed,    // the copy received failed the whole-file check
  kWriteFailed,    // the receiver could not write or store the file
  kStartedAgain,   // receiver: the sender opened another exchange meanwhile
  kPeerCancelled,  // the other end cancelled the file (a protocol's cancel)
  // receiver: the file's data did not come to the size its sender announced
  kNotAsAnnounced,
  // the other end sent what its protocol does not allow there
  kBrokeProtocol,
  // the other end's run was interrupted (Ctrl+C, SIGTERM), and it said so
  kPeerInterrupted,
};

// A file to send that ended before its size (it shrank, or changed while
// it was sent), in place of an errno.
constexpr int kEndedEarly = -1;

struct Ending {
  Reason reason = Reason::kDone;
  int error = 0;          // kWithdrawn, kCancelled, kWriteFailed: an errno, or for the
                          // first two kEndedEarly (a file that changed while it was sent);
                          // kPeerInterrupted at the receiver: 1 when a part was kept
  uint32_t limit_ms = 0;  // kSilent, kNoProgress: how long
  bool whole = false;     // receiver: the file came whole and in step: it is stored
  std::string why = "";   // kDeclined: the reason the receiver gave, if any
};

// What a reader that did not get its bytes ends a file with: silence for
// limit_ms, or a lost port.
Ending EndReading(PortResult got, uint32_t limit_ms);

// Ends the file's progress line (line may be nullptr), says why the file
// ended (a decline on the output, failures on the error stream, nothing for
// success or a lost port), and returns its result. sending tells which end
// this is; shown is the file as messages name it (escaped here for the
// console), nullptr for a file whose name has not come yet.
TransferResult ReportEnding(ProgressLine* line, const Ending& ending, bool sending,
                            const char* shown);

#endif
