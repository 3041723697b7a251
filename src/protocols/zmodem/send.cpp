// The sending end: "rz\r" and ZRQINIT until the receiver's ZRINIT tells
// its check and buffer; per file ZFILE, the data from the position the
// receiver asks (ZRPOS, again after damage), ZEOF until ZRINIT; ZFIN and
// "OO" end the batch.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>

#include "base/progress.h"
#include "files/names.h"
#include "files/store.h"
#include "protocols/zmodem/frame.h"
#include "protocols/zmodem/link.h"
#include "protocols/zmodem/zmodem.h"

using Clock = std::chrono::steady_clock;

namespace {

struct ZSender {
  PortHandle port;
  bool crc32 = false;       // the receiver has CRC-32
  bool full_duplex = true;  // it reads while it writes to its disk
  uint32_t buffer = 0;      // what it takes between answers; 0: no bound
  bool ignore_controls = false;
  ZEscaper escaper;
};

}  // namespace

// The receiver answers ZEOF as soon as the file is on its disk; a ZEOF
// damaged on the way goes again after this.
constexpr uint32_t kZEofMs = 3000;

// Positions travel in 32 bits.
constexpr uint64_t kZLargest = UINT32_MAX;

static bool WriteHeader(ZSender* s, uint8_t type, uint32_t position) {
  return WriteZ(s->port, FormZBinHeader(MakeZHeader(type, position), s->crc32, &s->escaper));
}

// Waits at most wait_ms for a header, passing over damaged ones; ZRead
// kQuiet when none came.
static ZRead Hear(ZSender* s, uint32_t wait_ms, ZHeader* header) {
  auto start = Clock::now();
  for (;;) {
    uint32_t waited = MillisecondsSince(start);
    if (waited >= wait_ms) return ZRead::kQuiet;
    bool crc32 = false;
    ZRead got = ReadZHeader(s->port, wait_ms - waited, s->ignore_controls, header, &crc32);
    if (got != ZRead::kDamaged) return got;
  }
}

static Ending EndHearing(ZRead got, uint32_t waited_ms) {
  if (got == ZRead::kLost) return {Reason::kPortLost};
  if (got == ZRead::kCancelled) return {Reason::kPeerCancelled};
  return {Reason::kSilent, 0, waited_ms};
}

static void TakeReceiverInit(ZSender* s, const ZHeader& init) {
  uint8_t flags = GetZFlags(init);
  s->crc32 = (flags & kZCanFc32) != 0;
  s->full_duplex = (flags & kZCanFdx) != 0 && (flags & kZCanOvio) != 0;
  s->buffer = uint32_t(init.data[0]) | uint32_t(init.data[1]) << 8;
  if (flags & kZEscCtl) s->escaper.escape_all = true;
}

// Until the receiver's ZRINIT: "rz\r" (which starts a terminal's receiver)
// and ZRQINIT, again every kZOpeningMs. Then, to escape every control
// character, ZSINIT asks the receiver to do the same.
static Ending OpenBatch(ZSender* s, const ZRun& run, const uint8_t* heard, size_t heard_length) {
  ZHeader header;
  bool got_init = heard != nullptr && FindZHexHeader(heard, heard_length, kZRInit, &header);
  auto start = Clock::now();
  while (!got_init) {
    uint32_t waited = MillisecondsSince(start);
    if (waited >= kZFirstMs) return {Reason::kSilent, 0, kZFirstMs};
    ZBytes opening = {'r', 'z', '\r'};
    ZBytes request = FormZHexHeader(MakeZHeader(kZRqInit, 0));
    opening.insert(opening.end(), request.begin(), request.end());
    if (!WriteZ(s->port, opening)) return {Reason::kPortLost};
    ZRead got = Hear(s, std::min(kZOpeningMs, kZFirstMs - waited), &header);
    if (got == ZRead::kLost || got == ZRead::kCancelled) return EndHearing(got, 0);
    if (got != ZRead::kDone) continue;
    if (header.type == kZRInit) got_init = true;
    // An answer to a challenge, which some receivers make.
    if (header.type == kZChallenge &&
        !WriteZ(s->port,
                FormZHexHeader(
                    {kZAck, {header.data[0], header.data[1], header.data[2], header.data[3]}}))) {
      return {Reason::kPortLost};
    }
  }
  TakeReceiverInit(s, header);
  if (!run.escape_all || s->escaper.escape_all) return {Reason::kDone};
  s->escaper.escape_all = true;
  ZHeader sinit = MakeZHeader(kZSInit, 0);
  sinit.data[3] = kZEscCtl;
  for (int tries = 0; tries <= kZRetries; tries++) {
    ZBytes bytes = FormZBinHeader(sinit, s->crc32, &s->escaper);
    const uint8_t attention = 0;  // none
    AppendZSubpacket(&bytes, &attention, 1, kZCrcW, s->crc32, &s->escaper);
    if (!WriteZ(s->port, bytes)) return {Reason::kPortLost};
    ZRead got = Hear(s, kZAnswerMs, &header);
    if (got == ZRead::kLost || got == ZRead::kCancelled) return EndHearing(got, 0);
    if (got == ZRead::kDone && header.type == kZAck) return {Reason::kDone};
  }
  return {Reason::kRefused};
}

// Puts the file's read position at position.
static int SeekFile(FILE* file, uint64_t position) {
#ifdef _WIN32
  fpos_t at = fpos_t(position);  // a 64-bit count of bytes in MinGW's C library
  return fsetpos(file, &at) == 0 ? 0 : errno;
#else
  return fseeko(file, off_t(position), SEEK_SET) == 0 ? 0 : errno;
#endif
}

// The CRC-32 of the file's first length bytes, for a receiver's ZCRC.
static uint32_t MeasureFileCrc(FILE* file, uint64_t length) {
  uint32_t crc = 0;
  uint8_t chunk[8192];
  if (SeekFile(file, 0) != 0) return 0;
  for (uint64_t done = 0; done < length;) {
    size_t want = size_t(std::min<uint64_t>(sizeof chunk, length - done));
    size_t got = 0;
    ReadFileBytes(file, chunk, want, &got);
    if (got == 0) break;
    crc = UpdateCrc32(crc, chunk, got);
    done += got;
  }
  return crc;
}

namespace {

struct OutFile {
  const char* path;
  FILE* file;
  uint64_t size;
  ProgressLine* line;
};

}  // namespace

// After a header that moves the data: where the receiver wants it from.
// kDone with *position for ZRPOS; otherwise how the file ends.
static Ending HearPosition(ZSender* s, OutFile* out, const ZHeader& header, uint64_t* position) {
  if (header.type == kZRPos) {
    *position = GetZPosition(header);
    if (*position > out->size) return {Reason::kBrokeProtocol};
    return {Reason::kDone};
  }
  if (header.type == kZSkip) return {Reason::kDeclined};
  if (header.type == kZFErr || header.type == kZAbort || header.type == kZCan) {
    return {Reason::kPeerCancelled};
  }
  if (header.type == kZCrc) {
    uint32_t crc = MeasureFileCrc(out->file, out->size);
    if (!WriteHeader(s, kZCrc, crc)) return {Reason::kPortLost};
  }
  return {Reason::kStartedAgain};  // anything else: not an answer
}

// A subpacket's end: ZCRCE ends the data, ZCRCW waits for the buffer to
// empty, ZCRCG streams on.
static uint8_t ChooseEnd(const ZSender& s, uint64_t after, uint64_t size, uint32_t unanswered) {
  if (after == size) return kZCrcE;
  if (!s.full_duplex) return kZCrcW;
  if (s.buffer != 0 && unanswered + kZSubpacket > s.buffer) return kZCrcW;
  return kZCrcG;
}

// What came back while data streams: kDone to go on, kStartedAgain with
// *position for a ZRPOS, or how the file ends.
static Ending HearWhileStreaming(ZSender* s, OutFile* out, uint64_t* position) {
  // A few headers at most: bytes that never stop coming back (an echo)
  // must not hold the data back for ever.
  for (int count = 0; count < 4 && WaitForByte(s->port, 0) == PortResult::kDone; count++) {
    ZHeader header;
    bool crc32 = false;
    ZRead got = ReadZHeader(s->port, 100, s->ignore_controls, &header, &crc32);
    if (got == ZRead::kLost || got == ZRead::kCancelled) return EndHearing(got, 0);
    if (got != ZRead::kDone || header.type == kZAck) continue;
    Ending heard = HearPosition(s, out, header, position);
    if (heard.reason == Reason::kDone) return {Reason::kStartedAgain};
    if (heard.reason != Reason::kStartedAgain) return heard;
  }
  return {Reason::kDone};
}

// The data from position on, then ZEOF, until the receiver's ZRINIT says
// it has the file. A ZRPOS takes the data back to its position; kZRetries
// of them in a row without the data getting further give the file up.
static Ending SendData(ZSender* s, OutFile* out, uint64_t position) {
  int retries = 0;
  uint64_t furthest = position;  // the furthest position asked for
  uint8_t chunk[kZSubpacket];
  for (;;) {
    if (retries > kZRetries) return {Reason::kRefused};
    int failed = SeekFile(out->file, position);
    if (failed != 0) return {Reason::kWithdrawn, failed};
    uint64_t sent = position;
    uint64_t asked = position;
    bool again = false;
    if (sent < out->size) {
      if (!WriteHeader(s, kZData, uint32_t(sent))) return {Reason::kPortLost};
      uint32_t unanswered = 0;
      while (sent < out->size && !again) {
        size_t want = size_t(std::min<uint64_t>(kZSubpacket, out->size - sent));
        size_t got = 0;
        failed = ReadFileBytes(out->file, chunk, want, &got);
        if (failed != 0) return {Reason::kWithdrawn, failed};
        uint8_t end = ChooseEnd(*s, sent + want, out->size, unanswered);
        ZBytes bytes;
        bytes.reserve(want * 2 + 16);
        AppendZSubpacket(&bytes, chunk, want, end, s->crc32, &s->escaper);
        if (!WriteZ(s->port, bytes)) return {Reason::kPortLost};
        sent += want;
        unanswered += uint32_t(want);
        PaceProgress(out->line, sent, false);
        Ending heard = {Reason::kDone};
        if (end == kZCrcW) {
          // Waits for ZACK; silence asks for the data from the last answer.
          ZHeader header;
          ZRead read = Hear(s, kZAnswerMs, &header);
          if (read == ZRead::kLost || read == ZRead::kCancelled) return EndHearing(read, 0);
          if (read == ZRead::kQuiet) {
            heard = {Reason::kStartedAgain};
            asked = sent - unanswered;
          } else if (header.type != kZAck) {
            heard = HearPosition(s, out, header, &asked);
            if (heard.reason == Reason::kDone) heard = {Reason::kStartedAgain};
          }
          unanswered = 0;
        } else {
          heard = HearWhileStreaming(s, out, &asked);
        }
        if (heard.reason == Reason::kStartedAgain) {
          again = true;
        } else if (heard.reason != Reason::kDone) {
          return heard;
        }
      }
    }
    if (!again) {
      // The data is out: ZEOF until the receiver has the file.
      if (!WriteHeader(s, kZEof, uint32_t(out->size))) return {Reason::kPortLost};
      ZHeader header;
      ZRead read = Hear(s, kZEofMs, &header);
      if (read == ZRead::kLost || read == ZRead::kCancelled) return EndHearing(read, 0);
      if (read == ZRead::kDone && header.type == kZRInit) return {Reason::kDone};
      if (read == ZRead::kDone) {
        Ending heard = HearPosition(s, out, header, &asked);
        if (heard.reason != Reason::kDone && heard.reason != Reason::kStartedAgain) return heard;
      }
      if (read == ZRead::kQuiet) asked = out->size;
    }
    out->line->error = true;
    // Only a position beyond the furthest asked for counts as progress.
    retries = asked > furthest ? 0 : retries + 1;
    furthest = std::max(furthest, asked);
    position = asked;
  }
}

// The name a file goes under: its last part, in UTF-8 from Windows.
static std::string FormSentName(const char* path) {
#ifdef _WIN32
  return ConvertNameToUtf8(FindBaseName(path));
#else
  return FindBaseName(path);
#endif
}

// One file: ZFILE until the receiver asks for its data from a position,
// then the data.
static Ending SendOneFile(ZSender* s, OutFile* out, int files_left, uint64_t bytes_left) {
  ZFileFacts facts;
  facts.name = FormSentName(out->path);
  facts.size = out->size;
  struct stat info;
  if (fstat(fileno(out->file), &info) == 0) {
    facts.mtime = int64_t(info.st_mtime);
    facts.mode = uint32_t(info.st_mode & 0777) | 0100000;  // a regular file, as sz says
  }
  ZHeader zfile = MakeZHeader(kZFile, 0);
  zfile.data[3] = kZcBin;
  ZBytes info_bytes = FormZFileInfo(facts, files_left, bytes_left);
  uint64_t position = 0;
  for (int tries = 0;; tries++) {
    if (tries > kZRetries) return {Reason::kSilent, 0, kZAnswerMs};
    ZBytes bytes = FormZBinHeader(zfile, s->crc32, &s->escaper);
    AppendZSubpacket(&bytes, info_bytes.data(), info_bytes.size(), kZCrcW, s->crc32, &s->escaper);
    if (!WriteZ(s->port, bytes)) return {Reason::kPortLost};
    ZHeader header;
    ZRead read = Hear(s, kZAnswerMs, &header);
    if (read == ZRead::kLost || read == ZRead::kCancelled) return EndHearing(read, 0);
    if (read != ZRead::kDone) continue;
    Ending heard = HearPosition(s, out, header, &position);
    if (heard.reason == Reason::kDone) break;
    if (heard.reason != Reason::kStartedAgain) return heard;
    // ZCRC's answer went: the receiver answers ZFILE again.
    if (header.type == kZCrc) tries--;
  }
  DrawProgress(out->line, position, false);
  Ending ending = SendData(s, out, position);
  if (ending.reason == Reason::kDone) PaceProgress(out->line, out->size, true);
  return ending;
}

// ZFIN until the receiver's ZFIN, then "OO": its loss leaves every file
// stored.
static Ending CloseBatch(ZSender* s) {
  for (int tries = 0; tries < 3; tries++) {
    if (!WriteZ(s->port, FormZHexHeader(MakeZHeader(kZFin, 0)))) return {Reason::kPortLost};
    ZHeader header;
    ZRead read = Hear(s, kZOpeningMs * 2, &header);
    if (read == ZRead::kLost) return {Reason::kPortLost};
    if (read == ZRead::kDone && header.type == kZFin) {
      const ZBytes over = {'O', 'O'};
      if (!WriteZ(s->port, over)) return {Reason::kPortLost};
      break;
    }
    if (read == ZRead::kCancelled) break;
  }
  FlushPort(s->port);
  return {Reason::kDone};
}

TransferResult SendZmodemFiles(PortHandle port, const ZRun& run, const LineTimes& times,
                               const uint8_t* heard, size_t heard_length) {
  ZSender s;
  s.port = port;
  s.ignore_controls = run.escape_all;
  Ending ending = OpenBatch(&s, run, heard, heard_length);
  bool failed = false;
  int i = 0;
  if (ending.reason != Reason::kDone) {
    ReportZEnding(nullptr, ending, true, nullptr);
    failed = true;
  }
  // What is left of the batch, for ZFILE: the files and their bytes.
  uint64_t bytes_left = 0;
  for (int k = 0; k < run.file_count; k++) {
    struct stat info;
    if (stat(run.files[k], &info) == 0) bytes_left += uint64_t(info.st_size);
  }
  for (; ending.reason == Reason::kDone && i < run.file_count; i++) {
    const char* path = run.files[i];
    uint64_t size = 0;
    FILE* file = OpenFileToSend(path, &size);
    if (file == nullptr) {
      failed = true;
      continue;
    }
    if (size > kZLargest) {
      fclose(file);
      fprintf(stderr, "Not sending %s: ZMODEM carries files of less than 4 GiB\n",
              EscapeForConsole(path).c_str());
      failed = true;
      continue;
    }
    ProgressLine line = {path, size, times.tally};
    OutFile out = {path, file, size, &line};
    Ending sent = SendOneFile(&s, &out, run.file_count - i, bytes_left);
    fclose(file);
    bytes_left -= std::min(bytes_left, size);
    failed = ReportZEnding(&line, sent, true, path) != TransferResult::kDone || failed;
    if (sent.reason != Reason::kDone && sent.reason != Reason::kDeclined) ending = sent;
  }
  if (ending.reason != Reason::kDone) {
    CancelZTransfer(port, ending);
    if (ending.reason == Reason::kPortLost) return TransferResult::kPortLost;
    for (; i < run.file_count; i++)
      fprintf(stderr, "file %s not sent\n", EscapeForConsole(run.files[i]).c_str());
    return TransferResult::kNotStored;
  }
  Ending closed = CloseBatch(&s);
  if (closed.reason == Reason::kPortLost) {
    if (GetInterruption() != 0) CancelZTransfer(port, closed);
    return TransferResult::kPortLost;
  }
  return failed ? TransferResult::kNotStored : TransferResult::kDone;
}
