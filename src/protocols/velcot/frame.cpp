#include "protocols/velcot/frame.h"
#include "protocols/velcot/records.h"

#include <algorithm>
#include <cstring>

typedef std::chrono::steady_clock Clock;

constexpr uint8_t kSync[2] = {0xF3, 0x5C};

// The longest silence inside a frame: a character at 50 baud, with room.
constexpr uint32_t kFrameGapMs = 1000;

static FrameRead FindSilence(PortResult got) {
  return got == PortResult::kLost ? FrameRead::kLost : FrameRead::kSilent;
}

// The header's own check covers type, sequence and length.
static uint16_t CheckHeader(const uint8_t* header) {
  return uint16_t(UpdateCrc32(0, header + 2, 4));
}

static bool IsFrameHeader(const uint8_t* header) {
  return memcmp(header, kSync, 2) == 0 && GetBigEndian(header + 6, 2) == CheckHeader(header) &&
         GetBigEndian(header + 4, 2) <= kPayloadMax;
}

PortResult WriteFrame(PortHandle port, uint8_t type, uint8_t sequence, const uint8_t* payload,
                      uint16_t length) {
  uint8_t header[kHeaderSize] = {kSync[0], kSync[1], type, sequence};
  PutBigEndian(header + 4, length, 2);
  PutBigEndian(header + 6, CheckHeader(header), 2);
  uint8_t trailer[kTrailerSize];
  PutBigEndian(trailer, UpdateCrc32(UpdateCrc32(0, header + 2, 4), payload, length), 4);
  PortResult written = WriteBytes(port, header, kHeaderSize);
  if (written == PortResult::kDone) written = WriteBytes(port, payload, length);
  if (written == PortResult::kDone) written = WriteBytes(port, trailer, kTrailerSize);
  return written;
}

// INTERRUPTED as it goes on the line: it has no payload and sequence 0.
static void FormInterrupted(uint8_t* bytes) {
  uint8_t header[kHeaderSize] = {kSync[0], kSync[1], kFrameInterrupted, 0, 0, 0};
  PutBigEndian(header + 6, CheckHeader(header), 2);
  memcpy(bytes, header, kHeaderSize);
  PutBigEndian(bytes + kHeaderSize, UpdateCrc32(0, header + 2, 4), 4);
}

constexpr size_t kInterruptedSize = kHeaderSize + kTrailerSize;

// How long the last words may take to leave: a line held by flow control
// does not keep the run from ending.
constexpr uint32_t kLastWordsMs = 1000;

PortResult SayInterrupted(PortHandle port) {
  uint8_t words[kInterruptedSize];
  FormInterrupted(words);
  return WriteLastWords(port, words, kInterruptedSize, kLastWordsMs);
}

// True when INTERRUPTED lies among bytes a frame cut short took in: the
// interrupted end dropped the rest of that frame before its last words.
static bool HoldsInterrupted(const uint8_t* bytes, size_t length) {
  uint8_t words[kInterruptedSize];
  FormInterrupted(words);
  return std::search(bytes, bytes + length, words, words + kInterruptedSize) != bytes + length;
}

PortResult WriteOffsetFrame(PortHandle port, uint8_t type, uint8_t sequence, uint64_t offset) {
  uint8_t payload[8];
  PutBigEndian(payload, offset, 8);
  return WriteFrame(port, type, sequence, payload, 8);
}

// Hunts for the next frame header, byte by byte through garbage: kGot with
// the header whole, kOpening as soon as a sender's opening has come (a
// sender that started again, or the next file's), kDeclineByte, kSilent
// when a byte did not follow in time or garbage has kept coming for longer
// than wait_ms, or kLost.
static FrameRead HuntHeader(PortHandle port, uint8_t* header, uint32_t wait_ms,
                            Clock::time_point started) {
  uint8_t recent[kPreambleSize + 1] = {};
  size_t have = 0;   // header bytes so far
  size_t count = 0;  // bytes taken
  for (;;) {
    size_t wanted = have < 2 ? 1 : kHeaderSize - have;
    PortResult got = ReadBytes(port, header + have, wanted, kFrameGapMs);
    if (got == PortResult::kTimedOut && count == 1 && header[0] == kDecline) {
      return FrameRead::kDeclineByte;
    }
    if (got != PortResult::kDone) return FindSilence(got);
    count += wanted;
    if (wanted == 1) {
      memmove(recent, recent + 1, kPreambleSize);
      recent[kPreambleSize] = header[have];
      if (IsStreamOpening(recent)) return FrameRead::kOpening;
    }
    have += wanted;
    bool synced = have < 2 || memcmp(header, kSync, 2) == 0;
    if (synced && have < kHeaderSize) continue;
    if (synced && IsFrameHeader(header)) return FrameRead::kGot;
    memmove(header, header + 1, --have);  // garbage: on by one byte
    if (MillisecondsSince(started) > std::max<uint32_t>(wait_ms, 50)) return FrameRead::kSilent;
  }
}

FrameRead ReadFrame(PortHandle port, Frame* frame, uint32_t wait_ms, bool* heard) {
  auto started = Clock::now();
  PortResult waiting = WaitForByte(port, wait_ms);
  if (waiting != PortResult::kDone) return FindSilence(waiting);
  *heard = true;
  uint8_t header[kHeaderSize];
  FrameRead hunted = HuntHeader(port, header, wait_ms, started);
  if (hunted != FrameRead::kGot) return hunted;
  frame->type = header[2];
  frame->sequence = header[3];
  frame->length = uint16_t(GetBigEndian(header + 4, 2));
  // The payload and the trailer in one piece, zeroed, so that what a frame
  // cut short took in can be searched.
  uint8_t* trailer = frame->payload + frame->length;
  memset(frame->payload, 0, size_t(frame->length) + kTrailerSize);
  PortResult got = ReadBytes(port, frame->payload, frame->length + kTrailerSize, kFrameGapMs);
  uint32_t crc = UpdateCrc32(UpdateCrc32(0, header + 2, 4), frame->payload, frame->length);
  if (got == PortResult::kDone && crc == GetBigEndian(trailer, 4)) return FrameRead::kGot;
  if (got != PortResult::kLost &&
      HoldsInterrupted(frame->payload, size_t(frame->length) + kTrailerSize)) {
    *frame = {kFrameInterrupted, 0, 0, {}};
    return FrameRead::kGot;
  }
  return got == PortResult::kDone ? FrameRead::kDamaged : FindSilence(got);
}

namespace {

// The payload lengths each type may have.
struct FrameShape {
  uint8_t type;
  uint16_t shortest, longest;
};

}  // namespace
constexpr FrameShape kFrameShapes[] = {
    {kFrameFile, 21, 20 + kStreamNameMax},
    {kFrameAccept, 8, 12},
    {kFrameDecline, 0, 0},
    {kFrameData, 9, kPayloadMax},
    {kFrameAck, 8, 8},
    {kFrameResend, 8, 8},
    {kFrameEnd, 12, 12},
    {kFrameCancel, 0, 0},
    {kFrameStored, 12, 12},
    {kFrameFailed, 1, 1},
    {kFrameBye, 0, 0},
    {kFrameHello, 0, 0},
    {kFrameShared, 0, 0},
    {kFrameInterrupted, 0, 0},
    {kFrameReason, 1, kStreamNameMax},
    {kFrameSegment, 5, 4 + kDataMax},
    {kFrameState, 4, 4 + 8 * 16},
    {kFrameAsk, 0, 0},
    {kFrameItemDone, 12, 12},
    {kFrameItemFailed, 1, 1},
    {kFrameItemDeclined, 0, 0},
    {kFrameBroken, 0, 0},
    {kFrameItemOffer, 12, 12},
};

bool IsWellFormed(FrameRead read, const Frame& frame) {
  if (read != FrameRead::kGot) return false;
  for (const FrameShape& shape : kFrameShapes) {
    if (shape.type == frame.type)
      return frame.length >= shape.shortest && frame.length <= shape.longest;
  }
  return false;
}

void PutProof(uint8_t* payload, uint64_t size, uint32_t crc) {
  PutBigEndian(payload, size, 8);
  PutBigEndian(payload + 8, crc, 4);
}

// ---- stalls ----

bool HasRunOut(uint32_t limit_ms, Clock::time_point since) {
  return limit_ms != kNoStallLimit && MillisecondsSince(since) >= limit_ms;
}

Ending EndStalled(uint32_t stall_limit_ms, Clock::time_point heard, uint32_t progress_limit_ms) {
  if (HasRunOut(stall_limit_ms, heard)) return {Reason::kSilent, 0, stall_limit_ms};
  return {Reason::kNoProgress, 0, progress_limit_ms};
}
