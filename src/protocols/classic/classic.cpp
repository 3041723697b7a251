#include "protocols/classic/classic.h"

#include <algorithm>
#include <cstring>

#include "files/store.h"

// ---- on the line ----

PortResult WriteNumber(PortHandle port, uint32_t value, int bytes) {
  uint8_t encoded[4];
  PutBigEndian(encoded, value, bytes);
  return WriteBytes(port, encoded, size_t(bytes));
}

PortResult ReadNumber(PortHandle port, int bytes, uint32_t limit_ms, uint32_t* value) {
  uint8_t encoded[4];
  PortResult got = ReadBytes(port, encoded, size_t(bytes), limit_ms);
  if (got == PortResult::kDone) *value = uint32_t(GetBigEndian(encoded, bytes));
  return got;
}

PortResult WriteSummedBlock(PortHandle port, const uint8_t* bytes, uint16_t length,
                            uint16_t checksum) {
  uint8_t framed[kBlockSize + 2];
  memcpy(framed, bytes, length);
  PutBigEndian(framed + length, checksum, 2);
  return WriteBytes(port, framed, length + 2u);
}

PortResult ReadSummedBlock(PortHandle port, uint8_t* buffer, uint16_t length, uint32_t limit_ms,
                           uint16_t* checksum) {
  uint8_t framed[kBlockSize + 2];
  PortResult got = ReadBytes(port, framed, length + 2u, limit_ms);
  if (got != PortResult::kDone) return got;
  memcpy(buffer, framed, length);
  *checksum = uint16_t(GetBigEndian(framed + length, 2));
  return got;
}

// The length of the block at done: 1024, or what is left of the file.
static uint16_t FindBlockLength(uint32_t size, uint32_t done) {
  return uint16_t(size - done < kBlockSize ? size - done : kBlockSize);
}

// ---- sender ----

namespace {

// A block of the file ready to go out: its bytes and their checksum, or
// why the file could not fill it (ReadFileBytes).
struct OutgoingBlock {
  uint8_t bytes[kBlockSize];
  uint16_t length;
  uint16_t checksum;
  int unread;
};

}  // namespace

static void ReadOutgoingBlock(FILE* file, uint16_t length, OutgoingBlock* block) {
  size_t got = 0;
  block->unread = ReadFileBytes(file, block->bytes, length, &got);
  block->length = length;
  block->checksum = GenerateChecksum(block->bytes, length);
}

Ending SendClassic(PortHandle port, FILE* file, uint32_t size, const LineTimes& times,
                   ProgressLine* line) {
  uint32_t stall_limit_ms = times.stall_limit_ms;
  uint32_t answer = 0;
  PortResult got = WriteNumber(port, size, 4);
  if (got == PortResult::kDone) got = ReadNumber(port, 1, stall_limit_ms, &answer);
  if (got != PortResult::kDone) return EndReading(got, stall_limit_ms);
  // Any answer but ACCEPT declines the file.
  if (answer != kAccept) return {Reason::kDeclined};
  line->begun = true;
  // Each block until it passes. The block at done is on its way before the
  // progress line is drawn and the next block is read and summed; a refused
  // block goes out again as it was. A block the file cannot fill never goes
  // out, so the receiver cannot store a file that is not this one: it gives
  // it up when its stall limit runs out.
  OutgoingBlock blocks[2];
  int current = 0;
  bool next_read = false;  // blocks[1 - current] holds the block after the current one
  if (size > 0) ReadOutgoingBlock(file, FindBlockLength(size, 0), &blocks[current]);
  uint32_t done = 0;
  int refusals = 0;
  for (;;) {
    const OutgoingBlock& block = blocks[current];
    if (done < size && block.unread == 0 &&
        (WriteSummedBlock(port, block.bytes, block.length, block.checksum) != PortResult::kDone ||
         FlushPort(port) != PortResult::kDone)) {
      return {Reason::kPortLost};
    }
    DrawProgress(line, done, refusals > 0);
    if (done == size) return {Reason::kDone};
    if (block.unread != 0) return {Reason::kWithdrawn, block.unread};
    uint32_t next = done + block.length;
    if (!next_read && next < size) {
      ReadOutgoingBlock(file, FindBlockLength(size, next), &blocks[1 - current]);
      next_read = true;
    }
    uint32_t reply;
    got = ReadNumber(port, 2, stall_limit_ms, &reply);
    if (got != PortResult::kDone) return EndReading(got, stall_limit_ms);
    refusals = reply == kReplyOk ? 0 : refusals + 1;
    if (refusals == kMaxRefusals) {
      DrawProgress(line, done, true);
      return {Reason::kRefused};
    }
    if (refusals == 0) {
      done = next;
      current = 1 - current;
      next_read = false;
    }
  }
}

// ---- receiver ----

// A refused block comes again; a copy that differs from the refused one
// only where the line damaged one of them differs in a few bytes, while two
// blocks of a file differ in most (doc/design.md).
uint16_t ComputeWentOnLimit(uint16_t length) {
  return std::max<uint16_t>(length / 16, 4);
}

// Appends a block that passed.
static Ending AppendBlock(FILE* file, const uint8_t* block, uint16_t length) {
  int failed = WriteFileBytes(file, block, length);
  return failed == 0 ? Ending{Reason::kDone} : Ending{Reason::kWriteFailed, failed};
}

// Puts what has been written on the line now, ahead of drawing and storing.
static PortResult SendNow(PortHandle port, PortResult written) {
  return written == PortResult::kDone ? FlushPort(port) : written;
}

// Receives, checks, answers and stores the blocks of one file, all but the
// answer to the last one, which waits until the file is on the disk. Each
// answer goes out before the progress line is drawn and the block stored.
// Once a block has failed its check kMaxRefusals times in a row, that last
// refusal is answered too; another block where a refused one was due, or a
// failed write, is not answered.
static Ending ReceiveBlocks(PortHandle port, FILE* file, uint32_t size, uint32_t limit_ms,
                            ProgressLine* line) {
  uint8_t block[kBlockSize];
  uint8_t refused[kBlockSize];
  int refusals = 0;
  for (uint32_t done = 0; done < size;) {
    uint16_t n = FindBlockLength(size, done);
    uint16_t received;
    PortResult got = ReadSummedBlock(port, block, n, limit_ms, &received);
    if (got != PortResult::kDone) return EndReading(got, limit_ms);
    if (refusals > 0 && CountDifferences(block, refused, n) > ComputeWentOnLimit(n)) {
      return {Reason::kWentOn};
    }
    uint16_t computed = GenerateChecksum(block, n);
    bool good = computed == received;
    if (good && done + n == size) return AppendBlock(file, block, n);
    PortResult answered = SendNow(port, WriteNumber(port, MakeReplyWord(received, computed), 2));
    if (answered != PortResult::kDone) return {Reason::kPortLost};
    if (good) done += n;
    refusals = good ? 0 : refusals + 1;
    DrawProgress(line, done, !good);
    if (!good) memcpy(refused, block, n);
    Ending appended = good ? AppendBlock(file, block, n) : Ending{};
    if (appended.reason != Reason::kDone) return appended;
    if (refusals == kMaxRefusals) return {Reason::kRefused};
  }
  return {Reason::kDone};
}

Ending ReceiveClassic(PortHandle port, FILE* file, uint32_t size, const LineTimes& times,
                      ProgressLine* line, SeenOpening* opened) {
  if (size > 0) {
    if (SendNow(port, WriteByte(port, kAccept)) != PortResult::kDone) return {Reason::kPortLost};
    DrawProgress(line, 0, false);
    Ending received = ReceiveBlocks(port, file, size, times.stall_limit_ms, line);
    if (received.reason != Reason::kDone) return received;
  }
  // Every block has arrived and been written: its data goes on the disk,
  // the last answer goes out (the last block's reply, or for an empty file
  // ACCEPT), and where every block was a full one the line is watched, as a
  // sender out of step would have ended one block early and unseen. A port
  // lost meanwhile shows at the next read.
  int write_error = SyncFile(file);
  if (write_error != 0) return {Reason::kWriteFailed, write_error};
  PortResult answered = size > 0 ? WriteNumber(port, kReplyOk, 2) : WriteByte(port, kAccept);
  if (SendNow(port, answered) != PortResult::kDone) return {Reason::kPortLost};
  DrawProgress(line, size, false);
  if (size % kBlockSize == 0 &&
      WatchForSender(port, times.watch_ms, times.opening_quiet_ms, opened)) {
    return {Reason::kMoreAfterLast};
  }
  return {Reason::kDone, 0, 0, true};
}
