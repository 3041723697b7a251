// The receiving end: asks for blocks (C, NAK or G) and takes them in
// order, each answered (none with G); XMODEM's one file is stored under
// the name given, YMODEM's under the name its block 0 carries, until the
// empty block 0 ends the batch.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/progress.h"
#include "files/names.h"
#include "files/store.h"
#include "protocols/xymodem/block.h"
#include "protocols/xymodem/link.h"
#include "protocols/xymodem/xymodem.h"

using Clock = std::chrono::steady_clock;

// A line that has not gone quiet this long after a damaged block is taken
// for one that never stops.
constexpr uint32_t kXyQuietMs = 200;

namespace {

struct XyReceiver {
  PortHandle port;
  XyKind kind;
  XyCheck check = XyCheck::kCrc;
  uint8_t ask = kXyAskCrc;  // what asks for a file's first block
  bool streaming = false;   // YMODEM-g
  RunTally* tally = nullptr;
};

// The file being received.
struct InFile {
  XyFileFacts facts;
  std::string shown;     // as messages name it
  bool refused = false;  // its name is not stored: its data is passed over
  bool in_folder = false;
  StoreFolder folder;
  std::string leaf;
  ReceivedFile received = {nullptr, ""};
  uint64_t written = 0;
  XyBytes held;  // without a size, the last block, for its padding to be cut at the end
  ProgressLine line = {"", 0};
};

}  // namespace

enum class Heard { kBlock, kEot, kDamaged, kQuiet, kCancelled, kLost };

// Waits at most wait_ms for a block to begin and reads it whole: its data
// and number. Any other byte first makes it damaged, as does a pause.
static Heard HearBlock(XyReceiver* r, uint32_t wait_ms, XyBytes* data, uint8_t* number) {
  bool cancel = false;
  uint8_t byte = 0;
  for (;;) {
    PortResult got = WaitForByte(r->port, cancel ? kXyPauseMs : wait_ms);
    if (got == PortResult::kTimedOut) return cancel ? Heard::kDamaged : Heard::kQuiet;
    if (got != PortResult::kDone || ReadByte(r->port, &byte) != PortResult::kDone) {
      return Heard::kLost;
    }
    if (byte == kXyCan && cancel) return Heard::kCancelled;
    if (byte == kXyCan) {
      cancel = true;
      continue;
    }
    break;
  }
  if (byte == kXyEot && !cancel) return Heard::kEot;
  if ((byte != kXySoh && byte != kXyStx) || cancel) return Heard::kDamaged;
  size_t size = byte == kXyStx ? kXyLong : kXyShort;
  XyBytes rest(CountXyBlockRest(size, r->check));
  PortResult got = ReadBytes(r->port, rest.data(), rest.size(), kXyPauseMs);
  if (got == PortResult::kLost) return Heard::kLost;
  if (got != PortResult::kDone || !ReadXyBlock(rest.data(), size, r->check, number)) {
    return Heard::kDamaged;
  }
  data->assign(rest.begin() + 2, rest.begin() + 2 + long(size));
  return Heard::kBlock;
}

static bool Say(XyReceiver* r, uint8_t byte) {
  return WriteByte(r->port, byte) == PortResult::kDone && FlushPort(r->port) == PortResult::kDone;
}

// After a damaged block: drops what still comes until the line is quiet,
// so that a block's bytes are not taken for a block's start. A line that
// never goes quiet ends the transfer.
static Ending DropUntilQuiet(XyReceiver* r) {
  PortResult got = WaitForQuietLine(r->port, kXyQuietMs, kXyBlockMs);
  if (got == PortResult::kLost) return {Reason::kPortLost};
  if (got == PortResult::kTimedOut) return {Reason::kNoProgress, 0, kXyBlockMs};
  return {Reason::kDone};
}

// ---- the file ----

static void DropFile(InFile* file) {
  if (file->received.file != nullptr) {
    if (file->in_folder) {
      DiscardFileIn(file->folder, &file->received);
    } else {
      DiscardFile(&file->received);
    }
    file->received.file = nullptr;
  }
  if (file->in_folder) CloseItemFolder(&file->folder);
  file->in_folder = false;
}

// Opens the temporary file for a name: a path as velcot's own folders
// take them, a plain name as any; false after saying why not.
static bool OpenFile(InFile* file) {
  const char* name = file->facts.name.c_str();
  file->shown = EscapeForConsole(name);
  file->line = {file->facts.name.c_str(), file->facts.sized ? file->facts.size : 0};
  if (file->facts.name.find('/') == std::string::npos) {
    return OpenFileToStore(name, false, &file->received);
  }
  file->in_folder = true;
  if (!OpenItemFolder(name, &file->folder, &file->leaf)) return false;
  if (file->leaf.empty()) {
    ReportRefusedName(name);
    return false;
  }
  return OpenFileToStoreIn(file->folder, file->leaf.c_str(), &file->received);
}

static int WriteData(InFile* file, const uint8_t* bytes, size_t length) {
  file->written += length;
  if (file->refused || length == 0) return 0;
  return WriteFileBytes(file->received.file, bytes, length);
}

// A block's data: up to the size announced; without one, held back until
// the next block shows it was not the last.
static Ending TakeData(InFile* file, const XyBytes& data) {
  int failed = 0;
  if (file->facts.sized) {
    uint64_t left = file->facts.size - file->written;
    if (left == 0) return {Reason::kMoreAfterLast};
    failed = WriteData(file, data.data(), size_t(std::min<uint64_t>(left, data.size())));
  } else {
    failed = WriteData(file, file->held.data(), file->held.size());
    file->held = data;
    if (!file->refused) file->line.total = file->written + data.size();  // a size unknown grows
  }
  if (failed != 0) return {Reason::kWriteFailed, failed};
  PaceProgress(&file->line, file->written + file->held.size(), false);
  return {Reason::kDone};
}

// The file's end: the held block without its SUB padding, then the time
// and mode it came with, and into place.
static Ending StoreWholeFile(InFile* file) {
  size_t kept = file->held.size();
  while (kept > 0 && file->held[kept - 1] == kXySub)
    kept--;
  int failed = WriteData(file, file->held.data(), kept);
  file->held.clear();
  if (file->facts.sized && file->written != file->facts.size) return {Reason::kNotAsAnnounced};
  if (file->refused) return {Reason::kDone};
  FILE* f = file->received.file;
  if (failed == 0 && file->facts.timed) {
    struct stat info;
    uint32_t mode = file->facts.moded              ? file->facts.mode
                    : fstat(fileno(f), &info) == 0 ? uint32_t(info.st_mode & 0777)
                                                   : 0644;
    failed = ApplyFileFacts(f, file->facts.mtime, mode);
  }
  if (failed == 0) failed = SyncFile(f);
  if (failed == 0) {
    failed = file->in_folder ? StoreFileIn(file->folder, &file->received, file->leaf.c_str())
                             : StoreFile(&file->received, file->facts.name.c_str());
    file->received.file = nullptr;
  }
  if (failed != 0) return {Reason::kWriteFailed, failed};
  PaceProgress(&file->line, file->written, true);
  return {Reason::kDone};
}

// Takes a file's data blocks from number 1 to EOT. The first is asked
// for with r->ask, the rest with ACK (or not at all, streaming); a damaged
// block with NAK, as is an early EOT. first: the run's first block, which
// the sender may be slow to send as it is being started.
static Ending ReceiveData(XyReceiver* r, InFile* file, bool first) {
  uint8_t expected = 1;
  uint8_t answer = r->ask;
  int errors = 0;
  int asks = 0;
  bool eot_seen = false;
  bool begun = false;
  auto start = Clock::now();
  for (;;) {
    if (errors > kXyRetries) return {Reason::kRefused};
    // XMODEM falls back to the 8-bit sum when C goes unanswered.
    if (!begun && answer == kXyAskCrc && ++asks > 5 &&
        (r->kind == XyKind::kXmodem || r->kind == XyKind::kXmodem1k)) {
      r->check = XyCheck::kSum;
      answer = r->ask = kXyNak;
    }
    if (answer != 0 && !Say(r, answer)) return {Reason::kPortLost};
    XyBytes data;
    uint8_t number = 0;
    Heard h = HearBlock(r, first && !begun ? kXyFirstAskMs : kXyBlockMs, &data, &number);
    if (h == Heard::kLost) return {Reason::kPortLost};
    if (h == Heard::kCancelled) return {Reason::kPeerCancelled};
    if (h == Heard::kEot) {
      // Without a size an EOT is taken at its second coming: a damaged
      // block's byte can look like one.
      if ((file->facts.sized && file->written < file->facts.size) ||
          (!file->facts.sized && !eot_seen)) {
        eot_seen = true;
        answer = kXyNak;
        errors++;
        continue;
      }
      if (!Say(r, kXyAck)) return {Reason::kPortLost};
      return StoreWholeFile(file);
    }
    eot_seen = false;
    if (h == Heard::kQuiet && first && !begun) {
      if (MillisecondsSince(start) >= kXyFirstMs) return {Reason::kSilent, 0, kXyFirstMs};
      continue;
    }
    if (h == Heard::kQuiet || h == Heard::kDamaged) {
      if (r->streaming && begun && h == Heard::kDamaged) return {Reason::kRefused, kXyStreamed};
      Ending dropped = h == Heard::kDamaged ? DropUntilQuiet(r) : Ending{Reason::kDone};
      if (dropped.reason != Reason::kDone) return dropped;
      file->line.error = begun;
      errors++;
      if (begun) answer = r->streaming ? 0 : kXyNak;
      continue;
    }
    errors = number == expected ? 0 : errors + 1;
    if (number == uint8_t(expected - 1)) {
      // Sent again: its answer was lost. Block 0 again: the header's.
      answer = r->streaming ? 0 : kXyAck;
      if (number == 0 && !begun && !r->streaming) {
        if (!Say(r, kXyAck)) return {Reason::kPortLost};
        answer = r->ask;
      }
      continue;
    }
    if (number != expected) return {Reason::kBrokeProtocol};
    if (!begun) DrawProgress(&file->line, 0, false);
    begun = true;
    Ending taken = TakeData(file, data);
    if (taken.reason != Reason::kDone) return taken;
    expected++;
    answer = r->streaming ? 0 : kXyAck;
  }
}

// Waits for YMODEM's block 0, asking with r->ask: the next file's facts,
// or the end of the batch.
static Ending ReceiveHeader(XyReceiver* r, bool first, XyHeader* header, XyFileFacts* facts) {
  auto start = Clock::now();
  int errors = 0;
  for (;;) {
    if (errors > kXyRetries) return {Reason::kRefused};
    if (!Say(r, r->ask)) return {Reason::kPortLost};
    XyBytes data;
    uint8_t number = 0;
    Heard h = HearBlock(r, first ? kXyFirstAskMs : kXyBlockMs, &data, &number);
    if (h == Heard::kLost) return {Reason::kPortLost};
    if (h == Heard::kCancelled) return {Reason::kPeerCancelled};
    if (h == Heard::kBlock && number == 0) {
      *header = ReadYmodemHeader(data.data(), data.size(), facts);
      if (*header == XyHeader::kInvalid) return {Reason::kBrokeProtocol};
      if (*header == XyHeader::kEndOfBatch || !r->streaming) {
        if (!Say(r, kXyAck)) return {Reason::kPortLost};
      }
      return {Reason::kDone};
    }
    if (h == Heard::kBlock) return {Reason::kBrokeProtocol};
    if (h == Heard::kQuiet && first) {
      if (MillisecondsSince(start) >= kXyFirstMs) return {Reason::kSilent, 0, kXyFirstMs};
      continue;
    }
    errors++;
    // The last file's EOT again: its ACK was lost.
    if (h == Heard::kEot && !Say(r, kXyAck)) return {Reason::kPortLost};
    Ending dropped = h == Heard::kDamaged ? DropUntilQuiet(r) : Ending{Reason::kDone};
    if (dropped.reason != Reason::kDone) return dropped;
  }
}

TransferResult ReceiveXyFiles(PortHandle port, const XyRun& run, const LineTimes& times) {
  XyReceiver r;
  r.port = port;
  r.kind = run.kind;
  r.tally = times.tally;
  r.streaming = run.kind == XyKind::kYmodemG;
  r.ask = r.streaming ? kXyAskG : kXyAskCrc;
  bool ymodem = run.kind == XyKind::kYmodem || r.streaming;
  bool failed = false;
  Ending ending = {Reason::kDone};
  bool said = false;  // why the run ended was said with its file
  InFile file;
  for (bool first = true;; first = false) {
    file = InFile();
    said = false;
    if (ymodem) {
      XyHeader header = XyHeader::kFile;
      ending = ReceiveHeader(&r, first, &header, &file.facts);
      if (ending.reason != Reason::kDone || header == XyHeader::kEndOfBatch) break;
    } else {
      file.facts.name = run.output_name != nullptr ? run.output_name : "";
    }
    file.refused = !OpenFile(&file);
    file.line.tally = times.tally;
    ending = ReceiveData(&r, &file, first && !ymodem);
    if (file.refused) {
      // Its name's refusal said why; the batch goes on.
      failed = true;
      EndProgress(&file.line);
    } else {
      failed = ReportXyEnding(&file.line, ending, false, file.facts.name.c_str()) !=
                   TransferResult::kDone ||
               failed;
    }
    DropFile(&file);
    said = true;
    if (!ymodem || ending.reason != Reason::kDone) break;
  }
  bool whole = ending.reason == Reason::kDone;
  if (!whole) {
    if (!said) ReportXyEnding(nullptr, ending, false, nullptr);
    CancelXyTransfer(port, ending);
  }
  if (GetInterruption() == 0) FlushPort(port);
  if (ending.reason == Reason::kPortLost) return TransferResult::kPortLost;
  return whole && !failed ? TransferResult::kDone : TransferResult::kNotStored;
}
