// The receiving end: ZRINIT until a sender's ZFILE; each file's name
// passes the receiver's rules, its data is asked for from the position
// the receiver has (its kept part's length, or 0) with ZRPOS, again after
// damage, and ZEOF at its length stores it; ZFIN ends the batch.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

#include "base/escape.h"
#include "base/progress.h"
#include "files/names.h"
#include "files/store.h"
#include "protocols/zmodem/frame.h"
#include "protocols/zmodem/link.h"
#include "protocols/zmodem/zmodem.h"

using Clock = std::chrono::steady_clock;

// After a ZEOF from before the last ZRPOS, the data asked for comes within
// this, or the ZRPOS went astray and goes again.
constexpr uint32_t kZStaleMs = 2000;

namespace {

struct ZReceiver {
  PortHandle port;
  bool escape_all = false;  // asked for in ZRINIT: bare control characters are the line's
  uint32_t stall_ms = 30000;
  ExistingFile existing = ExistingFile::kReplace;
};

// The file being received.
struct InFile {
  ZFileFacts facts;
  StoreFolder folder;
  std::string leaf;
  bool opened = false;
  bool kept = false;  // in a kept part, which stays when the file is cut off
  ReceivedFile received = {nullptr, ""};
  uint64_t written = 0;
  ProgressLine line = {"", 0};
};

}  // namespace

static bool Say(ZReceiver* r, uint8_t type, uint32_t position) {
  return WriteZ(r->port, FormZHexHeader(MakeZHeader(type, position))) &&
         FlushPort(r->port) == PortResult::kDone;
}

static bool SayInit(ZReceiver* r) {
  ZHeader init = MakeZHeader(kZRInit, 0);  // no buffer bound: the sender streams
  init.data[3] = kZCanFdx | kZCanOvio | kZCanFc32 | (r->escape_all ? kZEscCtl : 0);
  return WriteZ(r->port, FormZHexHeader(init)) && FlushPort(r->port) == PortResult::kDone;
}

static Ending EndReadingZ(ZRead got, uint32_t limit_ms) {
  if (got == ZRead::kLost) return {Reason::kPortLost};
  if (got == ZRead::kCancelled) return {Reason::kPeerCancelled};
  return {Reason::kSilent, 0, limit_ms};
}

// ---- the file ----

// Opens the file for a name: a path in its folder under this one, a plain
// name here; where the sender told its size and time, in a kept part,
// whose length the data is asked from. False after saying why not.
static bool OpenFile(ZReceiver* r, InFile* file) {
  const char* name = file->facts.name.c_str();
  file->received = {nullptr, ""};
  file->received.existing = r->existing;
  file->leaf = file->facts.name;
  if (file->facts.name.find('/') != std::string::npos) {
    if (!OpenItemFolder(name, &file->folder, &file->leaf)) return false;
    if (file->leaf.empty()) {
      ReportRefusedName(name);
      CloseItemFolder(&file->folder);
      return false;
    }
  }
  bool opened = false;
  file->kept = file->facts.sized && file->facts.timed && IsValidUtf8(name) && HasNoC1Controls(name);
  if (file->kept) {
    PruneKeptParts(file->folder, int64_t(time(nullptr)), "");
    uint32_t crc = 0;
    opened = OpenKeptPartIn(file->folder, file->leaf.c_str(), name, file->facts.size,
                            file->facts.mtime, &file->received, &file->written, &crc);
  } else if (file->folder.fd >= 0 || !file->folder.path.empty()) {
    opened = OpenFileToStoreIn(file->folder, file->leaf.c_str(), &file->received);
  } else {
    opened = OpenFileToStore(name, false, &file->received);
  }
  if (!opened) CloseItemFolder(&file->folder);
  file->opened = opened;
  return opened;
}

// Drops the file; a kept part stays when it was cut off.
static void DropFile(InFile* file, bool cut) {
  if (!file->opened) return;
  if (file->received.file != nullptr) {
    if (cut && file->kept) {
      KeepPart(file->folder, &file->received, file->written, int64_t(time(nullptr)));
    } else {
      DiscardFileIn(file->folder, &file->received);
    }
  }
  CloseItemFolder(&file->folder);
  file->opened = false;
}

// The file's end: the time and mode it came with, and into place.
static Ending StoreWholeFile(InFile* file) {
  if (file->facts.sized && file->written != file->facts.size) return {Reason::kNotAsAnnounced};
  FILE* f = file->received.file;
  int failed = 0;
  if (file->facts.timed) {
    struct stat info;
    uint32_t mode = file->facts.moded              ? file->facts.mode & 0777
                    : fstat(fileno(f), &info) == 0 ? uint32_t(info.st_mode & 0777)
                                                   : 0644;
    failed = ApplyFileFacts(f, file->facts.mtime, mode);
  }
  if (failed == 0) failed = SyncFile(f);
  if (failed == 0) {
    failed = StoreFileIn(file->folder, &file->received, file->leaf.c_str());
    file->received.file = nullptr;
  }
  if (failed != 0) return {Reason::kWriteFailed, failed};
  ReportPlacedName(file->received, file->facts.name.c_str());
  PaceProgress(&file->line, file->written, true);
  return {Reason::kDone};
}

// Takes one ZDATA frame's subpackets from file->written on, answering
// those that ask; kStartedAgain after a damaged one, for a ZRPOS.
static Ending TakeData(ZReceiver* r, InFile* file, bool crc32, Clock::time_point* moved) {
  ZBytes data;
  for (;;) {
    uint8_t end = 0;
    ZRead got = ReadZSubpacket(r->port, kZPauseMs, crc32, r->escape_all, &data, &end);
    if (got == ZRead::kLost || got == ZRead::kCancelled) return EndReadingZ(got, 0);
    if (got != ZRead::kDone) return {Reason::kStartedAgain};
    // Data past the size told is no part of this file.
    if (file->facts.sized && data.size() > file->facts.size - file->written) {
      return {Reason::kMoreAfterLast};
    }
    if (!data.empty()) {
      int failed = WriteFileBytes(file->received.file, data.data(), data.size());
      if (failed != 0) return {Reason::kWriteFailed, failed};
      file->written += data.size();
      *moved = Clock::now();
      PaceProgress(&file->line, file->written, false);
    }
    if ((end == kZCrcQ || end == kZCrcW) && !Say(r, kZAck, uint32_t(file->written))) {
      return {Reason::kPortLost};
    }
    if (end == kZCrcE || end == kZCrcW) return {Reason::kDone};
  }
}

// Asks for the file's data from what it holds, and takes it until a ZEOF
// at that length. Every damage asks again (ZRPOS); kZRetries of them in a
// row, or the stall limit without the file growing, give it up.
static Ending ReceiveData(ZReceiver* r, InFile* file) {
  int errors = 0;
  auto moved = Clock::now();
  bool ask = true;
  bool stale_eof = false;
  for (;;) {
    if (errors > kZRetries) return {Reason::kRefused};
    if (MillisecondsSince(moved) >= r->stall_ms) return {Reason::kNoProgress, 0, r->stall_ms};
    if (ask && !Say(r, kZRPos, uint32_t(file->written))) return {Reason::kPortLost};
    ask = true;
    ZHeader header;
    bool crc32 = false;
    // Bytes that never make a header (ZPADs without end) wait no longer
    // than the stall limit allows.
    uint32_t still_ms = r->stall_ms - std::min(r->stall_ms, MillisecondsSince(moved));
    uint32_t wait_ms = std::min(stale_eof ? kZStaleMs : kZAnswerMs, still_ms);
    stale_eof = false;
    ZRead got = ReadZHeader(r->port, wait_ms, r->escape_all, &header, &crc32);
    if (got == ZRead::kLost || got == ZRead::kCancelled) return EndReadingZ(got, 0);
    if (got != ZRead::kDone) {
      errors++;
      file->line.error = true;
      continue;
    }
    uint32_t position = GetZPosition(header);
    if (header.type == kZData && position == file->written) {
      uint64_t before = file->written;
      Ending taken = TakeData(r, file, crc32, &moved);
      if (taken.reason == Reason::kDone) {
        ask = false;
        errors = 0;
        continue;
      }
      if (taken.reason != Reason::kStartedAgain) return taken;
      errors = file->written > before ? 1 : errors + 1;
      file->line.error = true;
      continue;
    }
    if (header.type == kZEof && position == file->written) return StoreWholeFile(file);
    if (header.type == kZEof) {
      // From before the last ZRPOS: the data from there follows at once,
      // unless that ZRPOS was lost, and then nothing comes.
      errors++;
      ask = false;
      stale_eof = true;
      continue;
    }
    if (header.type == kZFin) return {Reason::kNotAsAnnounced};
    if (header.type == kZFile) {
      // ZFILE again: the ZRPOS was lost.
      ZBytes info;
      uint8_t end = 0;
      got = ReadZSubpacket(r->port, kZPauseMs, crc32, r->escape_all, &info, &end);
      if (got == ZRead::kLost || got == ZRead::kCancelled) return EndReadingZ(got, 0);
    }
    errors++;
  }
}

// ---- the batch ----

enum class Next { kFile, kEnd };

// ZRINIT, again every kZOpeningMs of silence, until a sender's ZFILE tells
// of a file or ZFIN ends the batch (answered with ZFIN, then "OO" read).
static Ending AwaitFile(ZReceiver* r, bool first, ZFileFacts* facts, Next* next) {
  uint32_t limit_ms = first ? kZFirstMs : kZAnswerMs * 3;
  auto start = Clock::now();
  bool say = true;
  int errors = 0;
  for (;;) {
    uint32_t waited = MillisecondsSince(start);
    if (waited >= limit_ms) return {Reason::kSilent, 0, limit_ms};
    if (errors > kZRetries) return {Reason::kRefused};
    if (say && !SayInit(r)) return {Reason::kPortLost};
    say = true;
    ZHeader header;
    bool crc32 = false;
    ZRead got = ReadZHeader(r->port, std::min(kZOpeningMs, limit_ms - waited), r->escape_all,
                            &header, &crc32);
    if (got == ZRead::kLost || got == ZRead::kCancelled) return EndReadingZ(got, 0);
    if (got == ZRead::kQuiet) continue;
    if (got == ZRead::kDamaged) {
      errors++;
      continue;
    }
    if (header.type == kZSInit || header.type == kZFile) {
      ZBytes data;
      uint8_t end = 0;
      got = ReadZSubpacket(r->port, kZPauseMs, crc32, r->escape_all, &data, &end);
      if (got == ZRead::kLost || got == ZRead::kCancelled) return EndReadingZ(got, 0);
      if (got != ZRead::kDone) {
        errors++;
        if (!Say(r, kZNak, 0)) return {Reason::kPortLost};
        say = false;
        continue;
      }
      if (header.type == kZSInit) {
        // The sender escapes every control character; the attention
        // string is not needed, as velcot reads while it writes.
        if (GetZFlags(header) & kZEscCtl) r->escape_all = true;
        if (!Say(r, kZAck, 0)) return {Reason::kPortLost};
        say = false;
        continue;
      }
      if (!ReadZFileInfo(data.data(), data.size(), facts)) return {Reason::kBrokeProtocol};
      *next = Next::kFile;
      return {Reason::kDone};
    }
    if (header.type == kZFin) {
      if (!Say(r, kZFin, 0)) return {Reason::kPortLost};
      // "OO" may come, or not: it only ends the sender's part.
      uint8_t over[2];
      ReadBytes(r->port, over, sizeof over, 1000);
      *next = Next::kEnd;
      return {Reason::kDone};
    }
    // ZRQINIT again, or the last file's ZEOF whose ZRINIT was lost: ZRINIT.
    if (header.type != kZRqInit && header.type != kZEof) errors++;
  }
}

TransferResult ReceiveZmodemFiles(PortHandle port, const ZRun& run, const LineTimes& times,
                                  bool opened) {
  ZReceiver r;
  r.port = port;
  r.escape_all = run.escape_all;
  r.existing = times.existing;
  if (times.stall_limit_ms != kNoStallLimit) r.stall_ms = times.stall_limit_ms;
  bool failed = false;
  Ending ending = {Reason::kDone};
  bool said = true;  // why the run ended was said with its file
  for (bool first = !opened;; first = false) {
    ZFileFacts facts;
    Next next = Next::kEnd;
    ending = AwaitFile(&r, first, &facts, &next);
    said = false;
    if (ending.reason != Reason::kDone || next == Next::kEnd) break;
    InFile file;
    file.facts = facts;
    if (!OpenFile(&r, &file)) {
      // Its name's refusal said why; the batch goes on.
      failed = true;
      if (!Say(&r, kZSkip, 0)) {
        ending = {Reason::kPortLost};
        break;
      }
      continue;
    }
    file.line = {file.facts.name.c_str(), file.facts.sized ? file.facts.size : 0, times.tally};
    DrawProgress(&file.line, file.written, false);
    ending = ReceiveData(&r, &file);
    bool cut = ending.reason == Reason::kPortLost || ending.reason == Reason::kPeerCancelled ||
               ending.reason == Reason::kSilent || ending.reason == Reason::kNoProgress;
    if (ending.reason != Reason::kDone) DropFile(&file, cut);
    failed = ReportZEnding(&file.line, ending, false, file.facts.name.c_str()) !=
                 TransferResult::kDone ||
             failed;
    said = true;
    DropFile(&file, false);
    if (ending.reason != Reason::kDone) break;
  }
  bool whole = ending.reason == Reason::kDone;
  if (!whole) {
    if (!said) ReportZEnding(nullptr, ending, false, nullptr);
    CancelZTransfer(port, ending);
  }
  if (GetInterruption() == 0) FlushPort(port);
  if (ending.reason == Reason::kPortLost) return TransferResult::kPortLost;
  return whole && !failed ? TransferResult::kDone : TransferResult::kNotStored;
}
