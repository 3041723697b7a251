// wire: what both exchanges share on the line: the bytes that open every
// file and how a receiver judges them, byte order, the checksums, and the
// times that the line's speed sets. doc/protocol.md describes the bytes,
// doc/design.md why the times are what they are.
#ifndef VELCOT_WIRE_H
#define VELCOT_WIRE_H

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "ports/commdev.h"

// ---- the opening of every file ----

constexpr uint8_t kStart = 0x99;        // sender: a file follows
constexpr uint8_t kReady = 0x33;        // receiver: go on in the classic exchange
constexpr uint8_t kReadyStream = 0xC5;  // receiver, after the preamble: stream
constexpr uint8_t kAccept = 0xCC;       // classic receiver: the file is created
constexpr uint8_t kDecline = 0x55;      // receiver: it cannot take the file

// Written before each START by a sender that offers the streaming exchange;
// a classic receiver drops it with the rest of what comes before START.
constexpr size_t kPreambleSize = 4;
constexpr uint8_t kPreamble[kPreambleSize] = {0x16, 'V', 'C', 'T'};

// True for a velcot sender's opening at bytes: the preamble and START.
bool IsStreamOpening(const uint8_t* bytes);

// The field after READY: a name, NUL-filled; after READY_STREAM, the stream
// field, which no classic name field can be.
constexpr size_t kNameFieldSize = 12;
constexpr uint8_t kStreamField[kNameFieldSize] = {0, 'V', 'E', 'L', 'C', 'O', 'T', 1, 0, 0, 0, 0};

// The longest burst taken for a sender's opening right after a file, with
// room for the preamble and START; and the bytes of a burst a receiver keeps.
constexpr uint32_t kOpeningMaxLength = 8;

// A sender that has no answer writes START again after kQuickStartMs,
// kQuickStarts times; then only after a stall limit and a quarter.
constexpr uint32_t kQuickStartMs = 1000;
constexpr uint32_t kQuickStarts = 10;

// The classic exchange's block; the stall limit counts rounds of one.
constexpr uint16_t kBlockSize = 1024;

// Both ends give a file up once one block, or the data at one offset, has
// been refused this many times in a row (doc/design.md).
constexpr int kMaxRefusals = 50;

// A stall limit of 0: the readers wait for ever.
constexpr uint32_t kNoStallLimit = 0;

// The longest run the streaming exchange puts on the line at once: a frame
// of header, offset, the most data, and CRC-32.
constexpr uint32_t kLongestFrame = 8 + 8 + 8192 + 4;

// What a receiver took off the line of a sender's opening, for the next
// file to answer: START alone (a classic sender, or a velcot sender whose
// preamble was lost), or the preamble and START.
// kOther: a sender of another protocol, as the caller's recognizer took
// the bytes heard.
enum class SeenOpening { kNone, kClassic, kStream, kOther };

// What a receiver waiting for an opening may also take: a burst of bytes
// that recognize calls another protocol's sender's opening, handed on in
// heard (up to kOtherOpeningMax bytes, the last that came).
constexpr size_t kOtherOpeningMax = 256;
struct OtherOpening {
  bool (*recognize)(const uint8_t* bytes, size_t length);
  uint8_t heard[kOtherOpeningMax];
  size_t length;
};

// Waits at most limit_ms (kForEver: however long it takes) for a sender's
// opening, dropping whatever comes before it (noise, what a sender not yet
// listening left): kDone with *seen set, kTimedOut, or kLost. The line
// counts as quiet after a byte once quiet_ms have passed.
constexpr uint32_t kForEver = 0;
PortResult WaitForOpening(PortHandle port, uint32_t quiet_ms, uint32_t limit_ms, SeenOpening* seen,
                          OtherOpening* other = nullptr);

// After the last answer of a classic file whose blocks were all full,
// watches for watch_ms for a sender out of step: true when one came. Out of
// step, a sender took the answer for a refusal and sends a whole block at
// once; in step, it writes its opening for its next file (then *opened is
// set) and waits, or writes nothing. A port lost meanwhile showed nothing.
bool WatchForSender(PortHandle port, uint32_t watch_ms, uint32_t quiet_ms, SeenOpening* opened);

// Reads the field that follows READY, dropping a velcot sender's openings
// written again ahead of it: kDone, kTimedOut after limit_ms of silence, or
// kLost.
PortResult ReadNameField(PortHandle port, uint8_t* field, uint32_t limit_ms);

// True for the field a streaming sender writes after READY_STREAM. Byte 0
// damaged on the way still counts: no classic name holds the rest.
bool IsStreamField(const uint8_t* field);

// The same, or the field with up to two bytes damaged: what follows
// READY_STREAM, which only a velcot sender's opening gets, is taken so.
bool IsDamagedStreamField(const uint8_t* field);

// Reads and drops bytes until none has arrived for quiet_ms: kDone;
// kTimedOut once limit_ms (not kForEver) have passed without such a
// quiet, as a console's chatter or keystrokes never stop; or kLost.
PortResult WaitForQuietLine(PortHandle port, uint32_t quiet_ms, uint32_t limit_ms);

// ---- byte order and checksums ----

// The bytes in which a and b, of length bytes each, differ.
size_t CountDifferences(const uint8_t* a, const uint8_t* b, size_t length);

// Integers of 2, 4 or 8 bytes go most significant byte first.
void PutBigEndian(uint8_t* at, uint64_t value, int bytes);
uint64_t GetBigEndian(const uint8_t* at, int bytes);

// A varint: base 128, most significant group first, every byte but the
// last with its top bit set. Writes its 1 to 10 bytes at at; their count.
constexpr size_t kVarintMax = 10;
size_t PutVarint(uint8_t* at, uint64_t value);

// The classic block check: a 16-bit sum of byte pairs taken low byte
// first; an odd last byte counts as a high byte.
uint16_t GenerateChecksum(const uint8_t* bytes, uint16_t length);

// The classic receiver's answer to a block: 0xFFFF exactly when the
// checksums agree.
uint16_t MakeReplyWord(uint16_t received, uint16_t computed);

// The standard CRC-32 (of zlib and ZMODEM): crc of what came before, 0 to
// start, and the next bytes.
uint32_t UpdateCrc32(uint32_t crc, const uint8_t* bytes, size_t length);

// CRC-16 with polynomial 0x1021, most significant bit first, from 0: the
// check of XMODEM, YMODEM and ZMODEM's 16-bit frames. crc of what came
// before, 0 to start.
uint16_t UpdateCrc16(uint16_t crc, const uint8_t* bytes, size_t length);

// ---- times from the line's speed ----

// How long a file in progress may go without the peer moving it: 30 s, or
// four rounds of a block, its checksum and its reply at the line's speed
// if that is longer. kNoStallLimit for a line that never moves.
uint32_t ComputeStallLimit(uint32_t baudrate, const LineFormat& format);

// How long the line must stay quiet after a 0x99 for it to be a sender's
// START: a sender writes START and waits, while a 0x99 in data is followed
// at once by more.
uint32_t ComputeOpeningQuiet(uint32_t baudrate, const LineFormat& format);

// How long a receiver watches the line after the last answer of a file
// whose size is a multiple of 1024, for the block that a sender out of
// step puts there at once.
uint32_t ComputeWatchTime(uint32_t baudrate, const LineFormat& format);

// How long the line must have been quiet before a receiver that gave an
// exchange up waits for START again; shorter than the second between a
// waiting sender's STARTs, so that the next one is answered.
uint32_t ComputeQuietTime(uint32_t baudrate, const LineFormat& format);

struct RunTally;

// The waits on the line, computed once for a run.
// What a receiver does with a file whose name is taken by one it has
// (--existing): replaces it, as ever; keeps it and declines the new one; or
// stores the new one under the first free name of name.1, name.2, ...
enum class ExistingFile { kReplace, kKeep, kRename };

struct LineTimes {
  uint32_t stall_limit_ms;    // ComputeStallLimit, or kNoStallLimit
  uint32_t opening_quiet_ms;  // ComputeOpeningQuiet
  uint32_t watch_ms;          // ComputeWatchTime
  uint32_t frame_ms = 0;      // the line time of the longest streaming frame
  uint32_t quiet_ms = 0;      // ComputeQuietTime
  uint32_t line_rate = 0;     // bytes per second at the configured rate; 0 none
  // What the run moved, for its summary: the progress lines made with it
  // add to it (progress.h). None when no summary is kept.
  RunTally* tally = nullptr;
  // Not a time, but what every receiver of the run needs as well.
  ExistingFile existing = ExistingFile::kReplace;
};
LineTimes ComputeLineTimes(uint32_t baudrate, const LineFormat& format);

// The stall limit in quarters, at most UINT32_MAX: five of them is how
// long a receiver that gave an exchange up may still read a dead one.
uint32_t ScaleStallLimit(uint32_t stall_limit_ms, uint32_t quarters);

// The milliseconds since start, by the steady clock.
uint32_t MillisecondsSince(std::chrono::steady_clock::time_point start);

#endif
