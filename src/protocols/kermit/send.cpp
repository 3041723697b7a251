// The sending end of a Kermit transaction: Send-Init, then per file its
// header (F), attributes (A), data (D) in a sliding window and end (Z),
// then the end of the batch (B).
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "base/progress.h"
#include "files/names.h"
#include "files/store.h"
#include "protocols/kermit/kermit.h"
#include "protocols/kermit/link.h"

using Clock = std::chrono::steady_clock;

// A receiver that does not answer Send-Init within this long is not there.
constexpr uint32_t kFirstAnswerMs = 60000;

// On a noisy line a long packet is seldom whole: the data field shrinks to
// half at each packet sent again, down to this, and doubles again after
// kCleanRun packets went through at once.
constexpr size_t kSmallestRoom = 256;
constexpr int kCleanRun = 8;

namespace {

struct KermitSender {
  KermitLink link;
  int seq = 0;             // the next packet's
  std::string peer_said;   // the receiver's Error packet, escaped
  bool no_more = false;    // the receiver asked for no more files
  size_t room = SIZE_MAX;  // the data field's, as the line's noise allows
  int clean = 0;           // packets through at once since one went again
};

}  // namespace

// Sends a packet and waits for its acknowledgement (*reply), sending it
// again after a NAK, a damaged answer or reply_ms of silence. Gives up
// after kMaxRefusals NAKs or damaged answers, or limit_ms without the
// answer.
static Ending ExchangePacket(KermitSender* s, uint8_t type, const KermitBytes& data, int check,
                             uint32_t limit_ms, ProgressLine* line, KermitPacket* reply) {
  KermitPacket packet;
  packet.seq = s->seq;
  packet.type = type;
  packet.data = data;
  KermitBytes wire = FormKermitWire(s->link, packet, check);
  auto start = Clock::now();
  bool heard = false;
  int refusals = 0;
  for (;;) {
    if (refusals >= kMaxRefusals) return {Reason::kRefused};
    if (MillisecondsSince(start) >= limit_ms) {
      return {heard ? Reason::kNoProgress : Reason::kSilent, 0, limit_ms};
    }
    if (PutKermitWire(&s->link, wire) != PortResult::kDone) return {Reason::kPortLost};
    auto sent = Clock::now();
    for (;;) {
      uint32_t waited = MillisecondsSince(sent);
      if (waited >= s->link.reply_ms) break;
      KermitPacket got;
      KermitHeard h = HearKermitPacket(&s->link, s->link.reply_ms - waited, &got);
      if (h == KermitHeard::kLost) return {Reason::kPortLost};
      if (h == KermitHeard::kDamaged) refusals++;
      if (h != KermitHeard::kPacket) break;
      heard = true;
      if (got.type == 'E') {
        s->peer_said = ReadKermitError(s->link, got);
        return {Reason::kPeerCancelled};
      }
      // A NAK for the next packet says this one came (the receiver's
      // acknowledgement was lost), except of Send-Init, whose answer counts.
      if ((got.type == 'Y' && got.seq == s->seq) ||
          (got.type == 'N' && got.seq == NextKermitSeq(s->seq) && type != 'S')) {
        *reply = got;
        if (got.type == 'N') reply->data.clear();
        s->seq = NextKermitSeq(s->seq);
        return {Reason::kDone};
      }
      if (got.type == 'N' && got.seq == s->seq) {
        refusals++;
        break;
      }
      // Anything else answers an earlier packet: passed over.
    }
    if (line != nullptr) line->error = true;
  }
}

// Send-Init and the receiver's answer: what both ends use from there on.
static Ending OpenTransaction(KermitSender* s) {
  KermitInit ours = FormOwnKermitInit(s->link);
  KermitPacket reply;
  Ending opened = ExchangePacket(s, 'S', FormKermitInit(ours), 1, kFirstAnswerMs, nullptr, &reply);
  if (opened.reason != Reason::kDone) return opened;
  KermitInit theirs = ReadKermitInit(reply.data.data(), reply.data.size());
  // A receiver that keeps a window of packets reads them by their length:
  // only the few control characters no line may carry are prefixed for it.
  // Any other (U-Boot's loadb takes no control character in a packet) gets
  // every 7-bit one prefixed.
  bool windows = (theirs.capas & kCanWindows) != 0 && theirs.window > 1;
  TakeKermitAgreement(&s->link, ours, theirs, true,
                      windows ? ListLineControls() : ListPacketControls());
  return {Reason::kDone};
}

namespace {

// The file as it goes into packets.
struct OutFile {
  FILE* file;
  uint64_t size;
  uint64_t read = 0;  // taken from the file so far
  KermitBytes raw;    // what was taken and not yet encoded, from raw_at
  size_t raw_at = 0;
  int error = 0;  // why the file yielded less than its size (see ReadFileBytes)

  uint64_t CountEncoded() const { return read - (raw.size() - raw_at); }
};

}  // namespace

// Fills a data field from the file; false when the file has no more (or
// could not be read, error set).
static bool FillData(const KermitSender& s, OutFile* f, KermitBytes* field) {
  size_t room = std::min(CountDataRoom(s.link.agreed), s.room);
  while (field->size() < room) {
    if (f->raw_at == f->raw.size()) {
      uint64_t left = f->size - f->read;
      if (left == 0) break;
      size_t want = size_t(std::min<uint64_t>(left, 65536));
      size_t got = 0;
      f->raw.resize(want);
      f->raw_at = 0;
      int failed = ReadFileBytes(f->file, f->raw.data(), want, &got);
      f->raw.resize(got);
      f->read += got;
      if (failed != 0) {
        f->error = failed;
        return false;
      }
    }
    EncodeKermitData(s.link.agreed.out, f->raw.data(), f->raw.size(), &f->raw_at, room, field);
    if (f->raw_at < f->raw.size()) break;  // the field is full
  }
  return !field->empty();
}

namespace {

// A data packet in the window.
struct OutSlot {
  KermitBytes wire;
  uint64_t end = 0;  // the file's bytes up to its last
  bool acked = false;
  int refusals = 0;
  Clock::time_point sent;
};

// The window of data packets: base the oldest not acknowledged, next the
// one to send.
struct OutWindow {
  std::vector<OutSlot> slots = std::vector<OutSlot>(64);
  int base;
  int next;
  bool heard = false;  // something came since the window last moved
  Clock::time_point moved = Clock::now();
  bool cancelled = false;  // the receiver asked for the file no more

  bool Holds(int seq) const { return CountKermitSeqs(base, seq) < CountKermitSeqs(base, next); }
  // The oldest packet's answer is due reply_ms after it went, or after it
  // became the oldest.
  uint32_t CountWaited() const {
    return MillisecondsSince(std::max(slots[size_t(base)].sent, moved));
  }
};

}  // namespace

static Ending SendAgain(KermitSender* s, OutWindow* w, int seq, ProgressLine* line) {
  OutSlot& slot = w->slots[size_t(seq)];
  if (++slot.refusals > kMaxRefusals) return {Reason::kRefused};
  line->error = true;
  s->room = std::max(std::min(s->room, CountDataRoom(s->link.agreed)) / 2, kSmallestRoom);
  s->clean = 0;
  slot.sent = Clock::now();
  return PutKermitWire(&s->link, slot.wire) == PortResult::kDone ? Ending{Reason::kDone}
                                                                 : Ending{Reason::kPortLost};
}

// Acts on the receiver's answer to data: an acknowledgement moves the
// window on (and may ask for the file, or the batch, no more); a NAK sends
// its packet again.
static Ending TakeAnswer(KermitSender* s, OutWindow* w, const KermitPacket& got,
                         ProgressLine* line) {
  w->heard = true;
  if (got.type == 'E') {
    s->peer_said = ReadKermitError(s->link, got);
    return {Reason::kPeerCancelled};
  }
  bool single = s->link.agreed.window == 1;
  if (got.type == 'N' && w->Holds(got.seq)) return SendAgain(s, w, got.seq, line);
  // A NAK beyond what went: the receiver could not tell which packet came
  // damaged, most likely one sent again, the oldest.
  if (got.type == 'N' && !single && got.seq == w->next && w->base != w->next) {
    return SendAgain(s, w, w->base, line);
  }
  // Without windows a NAK for the next packet acknowledges the one before.
  bool acked =
      got.type == 'Y' ? w->Holds(got.seq) : single && got.type == 'N' && got.seq == w->next;
  if (!acked) return {Reason::kDone};
  int seq = got.type == 'Y' ? got.seq : w->base;
  w->slots[size_t(seq)].acked = true;
  if (got.type == 'Y' && !got.data.empty() && (got.data[0] == 'X' || got.data[0] == 'Z')) {
    w->cancelled = true;
    s->no_more = got.data[0] == 'Z';
  }
  while (w->base != w->next && w->slots[size_t(w->base)].acked) {
    OutSlot& done = w->slots[size_t(w->base)];
    done.acked = false;
    if (done.refusals == 0 && ++s->clean >= kCleanRun) {
      s->room = s->room < SIZE_MAX / 2 ? s->room * 2 : SIZE_MAX;
      s->clean = 0;
    }
    PaceProgress(line, done.end, false);
    w->base = NextKermitSeq(w->base);
    w->moved = Clock::now();
    w->heard = false;
  }
  return {Reason::kDone};
}

// The file's data, as many packets on the way as the window holds; ends
// once every one is acknowledged.
static Ending SendData(KermitSender* s, OutFile* f, ProgressLine* line, bool* cancelled) {
  OutWindow w;
  w.base = w.next = s->seq;
  int window = s->link.agreed.window;
  bool more = true;
  for (;;) {
    while (more && !w.cancelled && CountKermitSeqs(w.base, w.next) < window) {
      KermitPacket packet;
      packet.seq = w.next;
      packet.type = 'D';
      if (!FillData(*s, f, &packet.data)) {
        more = false;
        break;
      }
      OutSlot& slot = w.slots[size_t(w.next)];
      slot.wire = FormKermitWire(s->link, packet, s->link.agreed.check);
      slot.end = f->CountEncoded();
      slot.acked = false;
      slot.refusals = 0;
      slot.sent = Clock::now();
      if (PutKermitWire(&s->link, slot.wire) != PortResult::kDone) return {Reason::kPortLost};
      w.next = NextKermitSeq(w.next);
      // Answers already here move the window before the next packet.
      KermitPacket got;
      KermitHeard h;
      while ((h = HearKermitPacket(&s->link, 0, &got)) == KermitHeard::kPacket) {
        Ending taken = TakeAnswer(s, &w, got, line);
        if (taken.reason != Reason::kDone) return taken;
      }
      if (h == KermitHeard::kLost) return {Reason::kPortLost};
    }
    if (w.base == w.next && (!more || w.cancelled)) break;
    if (MillisecondsSince(w.moved) >= s->link.stall_ms) {
      return {w.heard ? Reason::kNoProgress : Reason::kSilent, 0, s->link.stall_ms};
    }
    uint32_t waited = w.CountWaited();
    KermitPacket got;
    KermitHeard h =
        HearKermitPacket(&s->link, waited < s->link.reply_ms ? s->link.reply_ms - waited : 0, &got);
    Ending taken = {Reason::kDone};
    if (h == KermitHeard::kLost) return {Reason::kPortLost};
    if (h == KermitHeard::kPacket) taken = TakeAnswer(s, &w, got, line);
    // The oldest packet unanswered in its time, or a damaged answer to the
    // only one, goes again.
    bool late = w.CountWaited() >= s->link.reply_ms;
    if (h == KermitHeard::kDamaged) w.heard = true;
    if (taken.reason == Reason::kDone && w.base != w.next &&
        (late || (h == KermitHeard::kDamaged && window == 1))) {
      taken = SendAgain(s, &w, w.base, line);
    }
    if (taken.reason != Reason::kDone) return taken;
  }
  s->seq = w.next;
  *cancelled = w.cancelled;
  return {Reason::kDone};
}

// The name a file goes under: its last part, in UTF-8 from Windows.
static std::string FormSentName(const char* path) {
#ifdef _WIN32
  return ConvertNameToUtf8(FindBaseName(path));
#else
  return FindBaseName(path);
#endif
}

// One file: F, A where both ends take attributes, D, Z. A file the
// receiver refuses, or that could not be read whole, ends with a Z that
// says to discard it, and the batch goes on.
static Ending SendOneFile(KermitSender* s, const char* path, OutFile* f, ProgressLine* line) {
  const KermitLink& link = s->link;
  std::string name = FormSentName(path);
  KermitBytes field;
  size_t at = 0;
  EncodeKermitData(link.agreed.out, reinterpret_cast<const uint8_t*>(name.data()), name.size(), &at,
                   CountDataRoom(link.agreed), &field);
  KermitPacket reply;
  Ending went = ExchangePacket(s, 'F', field, link.agreed.check, link.stall_ms, line, &reply);
  if (went.reason != Reason::kDone) return went;
  bool declined = false;
  if (link.agreed.attributes) {
    struct stat info;
    bool known = fstat(fileno(f->file), &info) == 0;
    KermitBytes facts = FormKermitAttributes(f->size, known ? int64_t(info.st_mtime) : 0,
                                             known ? uint32_t(info.st_mode & 0777) : 0644);
    went = ExchangePacket(s, 'A', facts, link.agreed.check, link.stall_ms, line, &reply);
    if (went.reason != Reason::kDone) return went;
    declined = !reply.data.empty() && reply.data[0] == 'N';
  }
  bool cancelled = declined;
  if (!declined) {
    DrawProgress(line, 0, false);
    went = SendData(s, f, line, &cancelled);
    if (went.reason != Reason::kDone) return went;
  }
  bool discard = cancelled || f->error != 0;
  KermitBytes end;
  if (discard) end.push_back('D');
  went = ExchangePacket(s, 'Z', end, link.agreed.check, link.stall_ms, line, &reply);
  if (went.reason != Reason::kDone) return went;
  if (f->error != 0) return {Reason::kWithdrawn, f->error};
  if (s->no_more) return {Reason::kPeerCancelled};
  if (cancelled) return {Reason::kDeclined};
  PaceProgress(line, f->size, true);
  return {Reason::kDone};
}

// Ends a transaction given up: on an interruption with the Error packet
// and the interrupt characters; on a failure of this end's with the Error
// packet, so that the receiver stops waiting.
static void EndTransaction(KermitSender* s, const Ending& ending) {
  if (ending.reason == Reason::kPortLost) {
    if (GetInterruption() != 0) SayKermitLastWords(&s->link, s->seq, true);
    return;
  }
  if (ending.reason == Reason::kPeerCancelled && !s->peer_said.empty()) return;
  KermitBytes words = FormKermitError(s->link, s->seq, "velcot gave up the transfer");
  if (PutKermitWire(&s->link, words) == PortResult::kDone) FlushPort(s->link.port);
}

// Whether the transaction can go on after a file ended so.
static bool GoesOn(const KermitSender& s, const Ending& ending) {
  return !s.no_more && (ending.reason == Reason::kDone || ending.reason == Reason::kDeclined ||
                        ending.reason == Reason::kWithdrawn);
}

TransferResult SendKermitFiles(PortHandle port, const KermitRun& run, const LineTimes& times) {
  if (run.data_bits < 7) {
    fprintf(stderr, "Kermit needs 7 or 8 data bits\n");
    return TransferResult::kNotStored;
  }
  KermitSender s;
  s.link = OpenKermitLink(port, times, run.data_bits == 7);
  bool failed = false;
  int i = 0;
  Ending ending = OpenTransaction(&s);
  if (ending.reason == Reason::kDone && s.link.seven_bit && !s.link.agreed.eighth_bit) {
    fprintf(stderr, "The line carries 7 bits and the receiver does not prefix the 8th\n");
    ending = {Reason::kRefused};
    failed = true;
  }
  for (; ending.reason == Reason::kDone && i < run.file_count; i++) {
    const char* path = run.files[i];
    OutFile f;
    f.file = OpenFileToSend(path, &f.size);
    if (f.file == nullptr) {
      failed = true;
      continue;
    }
    ProgressLine line = {path, f.size};
    Ending went = SendOneFile(&s, path, &f, &line);
    fclose(f.file);
    EndProgress(&line);
    if (!s.peer_said.empty()) fprintf(stderr, "The receiver said: %s\n", s.peer_said.c_str());
    TransferResult result = ReportEnding(&line, went, true, path);
    failed = failed || result != TransferResult::kDone;
    if (!GoesOn(s, went)) {
      ending = went;
      i++;
      break;
    }
  }
  if (ending.reason != Reason::kDone) {
    // Said of the first file when the transaction never opened.
    if (i == 0 && run.file_count > 0) {
      if (!s.peer_said.empty()) fprintf(stderr, "The receiver said: %s\n", s.peer_said.c_str());
      if (!failed) ReportEnding(nullptr, ending, true, run.files[0]);
      i = 1;
    }
    EndTransaction(&s, ending);
    if (ending.reason == Reason::kPortLost) return TransferResult::kPortLost;
    for (; i < run.file_count; i++)
      fprintf(stderr, "file %s not sent\n", run.files[i]);
    return TransferResult::kNotStored;
  }
  KermitPacket reply;
  Ending closed =
      ExchangePacket(&s, 'B', {}, s.link.agreed.check, s.link.stall_ms, nullptr, &reply);
  if (closed.reason == Reason::kPortLost && GetInterruption() != 0) {
    EndTransaction(&s, closed);
    return TransferResult::kPortLost;
  }
  return failed ? TransferResult::kNotStored : TransferResult::kDone;
}
