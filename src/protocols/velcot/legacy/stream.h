// stream: the exchange two velcots agree on in place of the classic one,
// after the opening and the stream field (doc/protocol.md).
//
// Frames with their own check; whole names with size, time and mode; data
// streamed in a window the receiver answers with cumulative offsets; a
// check of the whole file before the receiver moves it into place. Its
// entry points, in the order a file takes them:
//   sender:   SendStreamed, then SayGoodbye once the receiver answered
//   receiver: ReadStreamOffer, then DeclineStreamed or ReceiveStreamed,
//             then AnswerStreamed
// Where the FILE frame's capabilities and ACCEPT agree on a session, the
// session (session.h) takes over from SendStreamed and in place of
// ReceiveStreamed.
#ifndef VELCOT_STREAM_H
#define VELCOT_STREAM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "ports/commdev.h"
#include "base/outcome.h"
#include "base/progress.h"
#include "protocols/velcot/resume.h"
#include "base/wire.h"

// The longest name the exchange carries, in bytes of UTF-8.
constexpr size_t kStreamNameMax = 255;

// Capabilities: the sender offers its own in the FILE frame's sequence
// byte, and the receiver answers, in ACCEPT's or DECLINE's, those it shares.
// 0 either way is today's exchange, which every velcot speaks. The codecs'
// bits (codec.h) go only with the session's.
constexpr uint8_t kCapabilitySession = 0x01;
// A cut file goes on from what the receiver kept of it (resume.h).
constexpr uint8_t kCapabilityResume = 0x08;
// Names may be relative paths, and items folders (doc/protocol.md,
// "Folders"): only within a session.
constexpr uint8_t kCapabilityPaths = 0x10;

// What this end can do: the session, paths and, with compression, its
// codecs.
uint8_t ListCapabilities(bool compression);

// The receiver's answer to the offered bits: those it has, codecs only
// within a session.
uint8_t AgreeCapabilities(uint8_t offered, uint8_t own);

// The name a file is offered under: its base name in UTF-8, or "" (false)
// when no receiver would store it: the file then goes classically.
bool FormStreamName(const char* path, char* name);

// What the sender's goodbye needs: whether it is due (the receiver gave its
// last answer) and how long the line must first be quiet, when answers to
// frames sent again may still be on their way (0: at once).
struct StreamGoodbye {
  bool due;
  uint32_t quiet_ms;
};

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
                    uint32_t stall_limit_ms, ProgressLine* line, StreamAgreement* agreement,
                    StreamGoodbye* goodbye, const ItemFacts* facts = nullptr);

// Tells the receiver the last answer arrived: kDone, or kLost. The line
// is given a few quiet_ms to fall quiet first, as the answers still on
// their way come within one; bytes that keep coming after that are not
// theirs (keystrokes, a console's chatter), and the goodbye goes anyway.
PortResult SayGoodbye(PortHandle port, const StreamGoodbye& goodbye);

// The offer a receiver reads: the file's facts, and a name for it with any
// NUL in it turned into a control byte that no receiver stores.
struct StreamOffer {
  uint8_t capabilities;  // the sender's
  uint64_t size;
  int64_t mtime;
  uint32_t mode;
  char name[kStreamNameMax + 1];
};

// Reads the offer after the stream field, answering each HELLO before it
// with the capabilities it shares with own. The ending is kDone once it
// has come; kStartedAgain sets *opened.
Ending ReadStreamOffer(PortHandle port, uint32_t stall_limit_ms, StreamOffer* offer,
                       SeenOpening* opened, uint8_t own);

// A sender's HELLO, before its first FILE frame: sent each retry time of an
// offer, three times in all, until the receiver answers the capabilities
// it shares (*shared). kTimedOut: a receiver that does not know HELLO.
PortResult SayHello(PortHandle port, uint8_t offered, uint32_t stall_limit_ms, uint8_t* shared);

// Declines the offer, answering the capabilities agreed, and declines it
// again while the sender repeats it, until the line is quiet: kDone once
// the first DECLINE is out, or kLost. A sender's next opening meanwhile
// sets *opened. The receiver stays in receive mode.
PortResult DeclineStreamed(PortHandle port, uint8_t agreed, uint32_t stall_limit_ms,
                           SeenOpening* opened);

// Accepts the offer and receives its data into file up to the sender's
// closing frame. The ending is whole when the file matches the sender's
// whole-file check, which *crc then holds; kStartedAgain sets *opened.
Ending ReceiveStreamed(PortHandle port, FILE* file, uint64_t size, const LineTimes& times,
                       ProgressLine* line, uint32_t* crc, SeenOpening* opened);

// How long a request for data waits for it before it is sent again.
constexpr uint32_t kResendAgainMs = 500;

// How long a receiver lingers after its last answer while the line is
// quiet, to answer what the sender repeats: longer than a sender waits for
// that answer before it sends something again, which its retry time,
// doubled at each silence, may make half the stall limit.
uint32_t ComputeLingerQuiet(uint32_t stall_limit_ms);

// Answers the file's fate where the sender waits for it (stored, or not
// stored for a failed write, a failed check or a cancel), and lingers to
// answer again what the sender repeats. A sender's next opening seen
// meanwhile sets *opened.
void AnswerStreamed(PortHandle port, const Ending& ending, uint64_t size, uint32_t crc,
                    uint32_t stall_limit_ms, SeenOpening* opened);

#endif
