// The sending end: waits for the receiver to ask (C, NAK or G), then per
// file YMODEM's block 0, the data blocks each answered (none with G), and
// EOT until it is acknowledged; a batch ends with the empty block 0.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "base/progress.h"
#include "files/names.h"
#include "files/store.h"
#include "protocols/xymodem/block.h"
#include "protocols/xymodem/link.h"
#include "protocols/xymodem/xymodem.h"

using Clock = std::chrono::steady_clock;

namespace {

struct XySender {
  PortHandle port;
  XyKind kind;
  XyCheck check = XyCheck::kCrc;
  bool streaming = false;  // the receiver asked with G: no answers to blocks
  RunTally* tally = nullptr;
};

}  // namespace

enum class Heard { kAck, kNak, kAsk, kCancelled, kQuiet, kLost };

// Waits at most wait_ms for the receiver's answer, passing over any other
// byte: ACK, NAK, an ask (C or G), or CAN CAN.
static Heard HearAnswer(XySender* s, uint32_t wait_ms, uint8_t* byte) {
  auto start = Clock::now();
  bool cancel = false;
  for (;;) {
    uint32_t waited = MillisecondsSince(start);
    if (waited >= wait_ms) return Heard::kQuiet;
    PortResult got = WaitForByte(s->port, wait_ms - waited);
    if (got == PortResult::kTimedOut) return Heard::kQuiet;
    if (got != PortResult::kDone || ReadByte(s->port, byte) != PortResult::kDone) {
      return Heard::kLost;
    }
    if (*byte == kXyCan && cancel) return Heard::kCancelled;
    cancel = *byte == kXyCan;
    if (*byte == kXyAck) return Heard::kAck;
    if (*byte == kXyNak) return Heard::kNak;
    if (*byte == kXyAskCrc || *byte == kXyAskG) return Heard::kAsk;
  }
}

// Waits for the receiver to ask for a file's first block (block 0 or 1):
// takes the check and whether it streams from how it asked.
static Ending AwaitAsk(XySender* s, uint32_t limit_ms) {
  uint8_t byte = 0;
  auto start = Clock::now();
  for (;;) {
    uint32_t waited = MillisecondsSince(start);
    if (waited >= limit_ms) return {Reason::kSilent, 0, limit_ms};
    Heard h = HearAnswer(s, limit_ms - waited, &byte);
    if (h == Heard::kLost) return {Reason::kPortLost};
    if (h == Heard::kCancelled) return {Reason::kPeerCancelled};
    if (h == Heard::kAsk || h == Heard::kNak) break;
  }
  s->check = byte == kXyNak ? XyCheck::kSum : XyCheck::kCrc;
  s->streaming = byte == kXyAskG;
  return {Reason::kDone};
}

// True when the receiver cancelled while blocks stream: CAN CAN waiting.
static bool IsCancelWaiting(XySender* s, Ending* ending) {
  uint8_t byte = 0;
  bool cancel = false;
  while (WaitForByte(s->port, 0) == PortResult::kDone) {
    if (ReadByte(s->port, &byte) != PortResult::kDone) {
      *ending = {Reason::kPortLost};
      return true;
    }
    if (byte == kXyCan && cancel) {
      *ending = {Reason::kPeerCancelled};
      return true;
    }
    cancel = byte == kXyCan;
  }
  return false;
}

// Sends a block until it is acknowledged, again after a NAK or silence.
// An ask that comes meanwhile was written before the block arrived: taken
// for a NAK, the block sent again would be acknowledged twice, the second
// time as if for the next. Streaming, the block is not answered.
static Ending SendBlock(XySender* s, const XyBytes& block, bool answered, ProgressLine* line) {
  for (int tries = 0;; tries++) {
    if (tries > kXyRetries) return {Reason::kRefused};
    if (WriteBytes(s->port, block.data(), block.size()) != PortResult::kDone) {
      return {Reason::kPortLost};
    }
    if (!answered) {
      Ending ending;
      return IsCancelWaiting(s, &ending) ? ending : Ending{Reason::kDone};
    }
    auto sent = Clock::now();
    for (;;) {
      uint32_t waited = MillisecondsSince(sent);
      uint8_t byte = 0;
      Heard h = HearAnswer(s, waited < kXyAnswerMs ? kXyAnswerMs - waited : 0, &byte);
      if (h == Heard::kLost) return {Reason::kPortLost};
      if (h == Heard::kCancelled) return {Reason::kPeerCancelled};
      if (h == Heard::kAck) return {Reason::kDone};
      if (h == Heard::kNak || h == Heard::kQuiet) break;
    }
    if (line != nullptr) line->error = true;
  }
}

// EOT until the receiver acknowledges it (some NAK the first).
static Ending EndData(XySender* s) {
  const XyBytes eot = {kXyEot};
  Ending ending = SendBlock(s, eot, true, nullptr);
  return ending;
}

// The name a file goes under: its last part, in UTF-8 from Windows.
static std::string FormSentName(const char* path) {
#ifdef _WIN32
  return ConvertNameToUtf8(FindBaseName(path));
#else
  return FindBaseName(path);
#endif
}

// One file: its block 0 (YMODEM), its data, EOT.
static Ending SendOneFile(XySender* s, const char* path, FILE* file, uint64_t size,
                          ProgressLine* line, bool first_file) {
  bool ymodem = s->kind == XyKind::kYmodem || s->kind == XyKind::kYmodemG;
  Ending ending = AwaitAsk(s, first_file ? kXyFirstMs : kXyAnswerMs * kXyRetries);
  if (ending.reason != Reason::kDone) return ending;
  if (ymodem) {
    XyFileFacts facts;
    facts.name = FormSentName(path);
    facts.size = size;
    struct stat info;
    if (fstat(fileno(file), &info) == 0) {
      facts.mtime = int64_t(info.st_mtime);
      facts.mode = uint32_t(info.st_mode & 0777);
    }
    XyBytes header = FormYmodemHeader(facts);
    ending = SendBlock(s, FormXyBlock(0, header.data(), header.size(), header.size(), s->check),
                       !s->streaming, line);
    // The receiver asks again for the data.
    if (ending.reason == Reason::kDone) ending = AwaitAsk(s, kXyAnswerMs * kXyRetries);
    if (ending.reason != Reason::kDone) return ending;
  }
  // 1024-byte blocks but for XMODEM, and for a tail that fits in 128.
  size_t room = s->kind == XyKind::kXmodem ? kXyShort : kXyLong;
  DrawProgress(line, 0, false);
  uint64_t sent = 0;
  uint8_t number = 1;
  XyBytes data(kXyLong);
  while (sent < size) {
    uint64_t left = size - sent;
    size_t block_size = left <= kXyShort ? kXyShort : room;
    size_t want = size_t(std::min<uint64_t>(left, block_size));
    size_t got = 0;
    int failed = ReadFileBytes(file, data.data(), want, &got);
    if (failed != 0) return {Reason::kWithdrawn, failed};
    ending = SendBlock(s, FormXyBlock(number, data.data(), want, block_size, s->check),
                       !s->streaming, line);
    if (ending.reason != Reason::kDone) return ending;
    number++;
    sent += want;
    PaceProgress(line, sent, false);
  }
  ending = EndData(s);
  if (ending.reason != Reason::kDone) return ending;
  PaceProgress(line, size, true);
  return {Reason::kDone};
}

TransferResult SendXyFiles(PortHandle port, const XyRun& run, const LineTimes& times) {
  XySender s;
  s.port = port;
  s.kind = run.kind;
  s.tally = times.tally;
  bool ymodem = run.kind == XyKind::kYmodem || run.kind == XyKind::kYmodemG;
  bool failed = false;
  bool first = true;
  int i = 0;
  Ending ending = {Reason::kDone};
  for (; i < run.file_count; i++) {
    const char* path = run.files[i];
    uint64_t size = 0;
    FILE* file = OpenFileToSend(path, &size);
    if (file == nullptr) {
      failed = true;
      continue;
    }
    ProgressLine line = {path, size, times.tally};
    ending = SendOneFile(&s, path, file, size, &line, first);
    fclose(file);
    first = false;
    TransferResult result = ReportXyEnding(&line, ending, true, path);
    failed = failed || result != TransferResult::kDone;
    if (ending.reason != Reason::kDone) {
      i++;
      break;
    }
  }
  if (ending.reason != Reason::kDone) {
    CancelXyTransfer(port, ending);
    if (ending.reason == Reason::kPortLost) return TransferResult::kPortLost;
    for (; i < run.file_count; i++)
      fprintf(stderr, "file %s not sent\n", run.files[i]);
    return TransferResult::kNotStored;
  }
  if (ymodem && !first) {
    // The end of the batch: its loss leaves every file stored.
    XyBytes end = FormYmodemHeader(XyFileFacts());
    Ending closed = AwaitAsk(&s, kXyAnswerMs);
    XyBytes block = FormXyBlock(0, end.data(), end.size(), end.size(), s.check);
    for (int tries = 0; closed.reason == Reason::kDone && tries < 3; tries++) {
      if (WriteBytes(port, block.data(), block.size()) != PortResult::kDone) {
        closed = {Reason::kPortLost};
        break;
      }
      uint8_t byte = 0;
      Heard h = HearAnswer(&s, kXyBlockMs, &byte);
      if (h == Heard::kLost) closed = {Reason::kPortLost};
      if (h != Heard::kNak && h != Heard::kAsk) break;
    }
    FlushPort(port);
    if (closed.reason == Reason::kPortLost && GetInterruption() != 0) {
      CancelXyTransfer(port, closed);
      return TransferResult::kPortLost;
    }
  }
  return failed ? TransferResult::kNotStored : TransferResult::kDone;
}
