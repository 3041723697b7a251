// frame: the frames two velcots exchange after the stream field
// (doc/protocol.md): how they are written, found among the bytes of the
// line and judged, for the exchange of one file (stream) and for the
// session of many (session).
#ifndef VELCOT_FRAME_H
#define VELCOT_FRAME_H

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "base/outcome.h"
#include "base/wire.h"
#include "ports/commdev.h"

// A frame: SYNC, a header of type, sequence and payload length with a
// 16-bit check of its own, then the payload and a CRC-32 of header and
// payload. A damaged length fails the header's check, so it cannot swallow
// the frames after it; a reader hunts for the next SYNC after garbage.
constexpr size_t kHeaderSize = 8;  // sync, type, sequence, length (2), check (2)
constexpr size_t kTrailerSize = 4;
constexpr uint32_t kDataMax = 8192;
constexpr uint16_t kPayloadMax = 8 + kDataMax;
static_assert(kLongestFrame == kHeaderSize + kPayloadMax + kTrailerSize, "longest frame");

enum FrameType : uint8_t {
  kFrameFile = 'F',     // sender: size 8, mtime 8, mode 4, name; sequence: capabilities
  kFrameAccept = 'A',   // receiver: offset 8 [CRC-32 4 of the bytes before it]; sequence: agreed
  kFrameDecline = 'N',  // receiver: the file cannot be stored; sequence: agreed
  kFrameData = 'D',     // sender: offset 8, bytes; sequence: the sender's epoch
  kFrameAck = 'K',      // receiver: offset 8, every byte before it stored
  kFrameResend = 'R',   // receiver: offset 8, send again from there; sequence: epoch seen
  kFrameEnd = 'E',      // sender: size 8, CRC-32 of the whole file 4
  kFrameCancel = 'C',   // sender: the file could not be read; drop it
  kFrameStored = 'S',   // receiver: size 8, CRC-32 4: the file is in place
  kFrameFailed = 'X',   // receiver: reason 1: the file was not stored
  kFrameBye = 'B',      // sender: the last answer arrived
  kFrameHello = 'H',    // sender, before FILE, to learn them: sequence: capabilities
  kFrameShared = 'h',   // receiver, to HELLO: sequence: the capabilities shared
  // Either end, its last words: its run was interrupted. A velcot before
  // them ignores the type, as any it does not know.
  kFrameInterrupted = 'I',
  // Receiver, right before a DECLINE (N, or n of the item in the sequence):
  // why, in UTF-8. A sender that does not know the type hears the decline.
  kFrameReason = 'y',
  // Within a session only, ignored outside one. Sequence: as said.
  kFrameSegment = 'd',       // sender: C offset 4, C bytes; sequence: transmission number
  kFrameState = 'k',         // receiver: C offset 4, ranges held beyond (8 each); last seen
  kFrameAsk = 'w',           // sender: repeat your answer for this item
  kFrameItemDone = 's',      // receiver: size 8, CRC-32 4: the item is in place
  kFrameItemFailed = 'x',    // receiver: reason 1, as X's
  kFrameItemDeclined = 'n',  // receiver: the item's name is refused
  kFrameBroken = 'z',        // receiver: the session's stream cannot be read on
  kFrameItemOffer = 'a',     // receiver: offset 8, CRC-32 4: where a waiting item goes on
};

enum FailReason : uint8_t {
  kFailedWrite = 1,      // the receiver could not write the file
  kFailedCheck = 2,      // the whole-file check did not match
  kFailedCancelled = 3,  // the sender cancelled the file
};

struct Frame {
  uint8_t type;
  uint8_t sequence;
  uint16_t length;
  uint8_t payload[kPayloadMax + kTrailerSize];  // the trailer follows while it is read
};

// What a frame reader brought.
enum class FrameRead {
  kGot,          // a whole frame that passed both checks
  kDamaged,      // the header passed its check, the payload not
  kOpening,      // the preamble and START came between frames
  kDeclineByte,  // a lone DECLINE, then silence: a receiver that read the
                 // stream field as a classic name it refused
  kSilent,       // nothing began in time, one stopped short, or garbage kept coming
  kLost,
};

PortResult WriteFrame(PortHandle port, uint8_t type, uint8_t sequence, const uint8_t* payload,
                      uint16_t length);

// A frame whose payload is one offset.
PortResult WriteOffsetFrame(PortHandle port, uint8_t type, uint8_t sequence, uint64_t offset);

// The next frame off the line, if one begins within wait_ms. *heard is set
// when any byte came.
FrameRead ReadFrame(PortHandle port, Frame* frame, uint32_t wait_ms, bool* heard);

// The last words of an end whose run was interrupted (Ctrl+C, SIGTERM, a
// console closed): the other end gives the file up at once, keeping what
// it kept of it, rather than after the stall limit. kDone once they left.
PortResult SayInterrupted(PortHandle port);

// A whole frame of a known type with a length that type takes.
bool IsWellFormed(FrameRead read, const Frame& frame);

// The size and whole-file check that END declares and STORED repeats.
void PutProof(uint8_t* payload, uint64_t size, uint32_t crc);

// ---- stalls ----

// True once limit_ms (not kNoStallLimit) has passed since then.
bool HasRunOut(uint32_t limit_ms, std::chrono::steady_clock::time_point since);

// A file that moved no further for its limit: the peer was silent for the
// stall limit, or talked without moving it for progress_limit_ms.
Ending EndStalled(uint32_t stall_limit_ms, std::chrono::steady_clock::time_point heard,
                  uint32_t progress_limit_ms);

#endif
