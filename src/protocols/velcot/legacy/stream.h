// stream: the exchange two velcots agree on in place of the classic one,
// after the opening and the stream field (doc/protocol.md).
//
// Frames with their own check; whole names with size, time and mode; data
// streamed in a window the receiver answers with cumulative offsets; a
// check of the whole file before the receiver moves it into place. Its
// entry points, in the order a file takes them (those of the offer and its
// answer in ../offer.h):
//   sender:   SendStreamed, then SayGoodbye once the receiver answered
//   receiver: ReadStreamOffer, then DeclineStreamed or ReceiveStreamed,
//             then AnswerStreamed
// Where the FILE frame's capabilities and ACCEPT agree on a session, the
// session (../session.h) takes over from SendStreamed and in place of
// ReceiveStreamed. Between two velcots of today only the offer runs here;
// the data path is for a velcot of release 1.0.
#ifndef VELCOT_STREAM_H
#define VELCOT_STREAM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/outcome.h"
#include "base/progress.h"
#include "base/wire.h"
#include "ports/commdev.h"
#include "protocols/velcot/offer.h"
#include "protocols/velcot/resume.h"

// The capabilities a sender offers with its FILE frame, and the answer.
struct StreamAgreement {
  uint8_t offered;    // 0: none, and the data goes out before the answer, as today
  bool answered;      // ACCEPT or DECLINE came
  uint8_t agreed;     // the bits it shares
  ResumeOffer offer;  // ACCEPT's: the receiver's kept part ({0, 0}: none)
};

// A folder item's facts, offered in place of those of a file.
struct ItemFacts {
  int64_t mtime;
  uint32_t mode;
};

// Sends one file under name (a folder item, given its facts, with no file):
// the offer and the data, until the receiver's last answer. The progress line is drawn once the
// receiver has the file open. The ending says why it stopped short; *goodbye whether to say it.
// With capabilities offered no data goes before the answer; with the
// session among those agreed it returns at the answer, nothing of the file
// sent, for the session to go on.
Ending SendStreamed(PortHandle port, FILE* file, const char* name, uint64_t size,
                    const LineTimes& times, ProgressLine* line, StreamAgreement* agreement,
                    StreamGoodbye* goodbye, const ItemFacts* facts = nullptr);

// Accepts the offer and receives its data into file up to the sender's
// closing frame. The ending is whole when the file matches the sender's
// whole-file check, which *crc then holds; kStartedAgain sets *opened.
Ending ReceiveStreamed(PortHandle port, FILE* file, uint64_t size, const LineTimes& times,
                       ProgressLine* line, uint32_t* crc, SeenOpening* opened);

// Answers the file's fate where the sender waits for it (stored, or not
// stored for a failed write, a failed check or a cancel), and lingers to
// answer again what the sender repeats. A sender's next opening seen
// meanwhile sets *opened.
void AnswerStreamed(PortHandle port, const Ending& ending, uint64_t size, uint32_t crc,
                    uint32_t stall_limit_ms, SeenOpening* opened);

#endif
