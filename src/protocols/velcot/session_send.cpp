// session, the sender's side: items produced, compressed, sent in segments
// and sent again until each is answered.
#include "protocols/velcot/session.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "base/progress.h"
#include "base/retry.h"
#include "files/names.h"
#include "protocols/velcot/codec.h"
#include "protocols/velcot/frame.h"
#include "protocols/velcot/records.h"
#include "protocols/velcot/repeat.h"

typedef std::chrono::steady_clock Clock;

// Items without their answer at most: item numbers (mod 256) in question
// never repeat.
constexpr size_t kItemsInQuestion = 64;
// C ready ahead of the line at most.
constexpr uint64_t kReadyAhead = 256 * 1024;
// Bytes of a file read, and put in one DATA record, at a time.
constexpr size_t kReadPiece = 16 * 1024;
// Compressing gives way to the line after this long when C is ready to
// go: LZMA2 holds up to 64 KiB of output, 256 KiB of input or more at its
// strongest level, about 0.15 s here and a second on a small board.
constexpr uint32_t kProduceSliceMs = 5;
constexpr uint64_t kUnknown = UINT64_MAX;

// A settled session whose states stopped coming waits this many retry
// times for C's end to be acknowledged: long enough to send it again once,
// for a receiver that lacks QUIT, and to hear the answer. States that keep
// coming say what the receiver still lacks: that goes again meanwhile.
constexpr uint32_t kSettleRetries = 2;

namespace {

struct OutItem {
  const char* path;
  std::shared_ptr<const SendItem> item;  // of a folder given: holds path
  FILE* file;                            // while its bytes are read; none for a folder item
  bool owned;                            // closed here once read (item 0's is the caller's)
  bool again;                            // its last try
  uint64_t number;
  uint64_t size, read;
  uint32_t crc;  // of the bytes read
  int read_error;
  uint64_t s_data;   // S offset of its first byte
  uint64_t s_end;    // S offset after its closing record, once written
  uint64_t c_proof;  // C offset by which its closing record is in C, or kUnknown
  bool closed;       // END or CANCEL written
  bool stop;         // answered while it was read: it is cancelled
  bool answered;
  bool asking;  // its last record is acknowledged: the answer is awaited
  Clock::time_point asked_at;
  ProgressLine line;
  bool line_done;
  // Resume: an item that waits for the receiver's offer before its data.
  bool waits;
  bool offered;  // the offer came
  bool started;  // its data began: ORIGIN written where the offer was not 0
  ResumeOffer offer;
  uint64_t origin;          // where its data goes on from
  uint64_t s_file_end;      // S offset after its FILE record
  uint64_t c_file_proof;    // C offset by which that record is in C, or kUnknown
  std::string decline_why;  // the reason the receiver gave before declining it
};

// C bytes up to c carry S bytes up to s, as the compressor handed them out
// (exactly after a flush; between two marks, about in proportion).
struct Mark {
  uint64_t c, s;
};

struct SessionSender {
  PortHandle port{};
  uint32_t stall_limit_ms = 0;
  SessionFiles files = {};
  uint8_t agreed = 0;
  std::deque<OutItem> items;  // from the first unanswered or still drawn
  uint64_t next_item = 0;
  bool producing = false;  // items.back() is being read
  bool quit = false;       // QUIT written and C ended: c_made is its length
  bool failed = false;     // an item was not stored
  CodecEncoder encoder;
  std::vector<uint8_t> piece;  // S being formed
  uint64_t s_made = 0, s_flushed = 0;
  std::vector<uint8_t> c;  // C from c_base to c_made
  uint64_t c_base = 0, c_made = 0;
  std::deque<Mark> marks;  // beyond what is acknowledged
  Mark passed{};           // the last mark acknowledged
  SegmentSender segments;
  uint32_t srtt_ms = 0, retry_ms = 0;
  Clock::time_point started, waiting, progressed, last_heard, rate_at;
  uint64_t rate_acked = 0;
  bool resent_after_quit = false;
  // Every item answered and all of C, QUIT with it, sent: the session's
  // outcome is decided, whatever the line does from then on.
  bool settled = false;
  Clock::time_point settled_at, state_at;  // and when the last state came
  uint32_t settle_ms = 0;
  bool broken = false;  // the receiver could not read C or S on
  Ending ending;
  bool resume = false;    // agreed: long files wait for the receiver's offer
  uint32_t frame_ms = 0;  // the line time of the longest frame

  RunTally* tally = nullptr;  // the run's, which the items' lines add to
};

}  // namespace

static size_t CountInQuestion(const SessionSender& s) {
  size_t count = 0;
  for (const OutItem& item : s.items)
    count += item.answered ? 0 : 1;
  return count;
}

// Marks the C bytes made so far as carrying all of S made: after a flush.
static void NoteFlushed(SessionSender* s) {
  s->s_flushed = s->s_made;
  s->marks.push_back({s->c_made, s->s_made});
  for (OutItem& item : s->items) {
    if (item.closed && item.c_proof == kUnknown && item.s_end <= s->s_flushed) {
      item.c_proof = s->c_made;
    }
    if (item.waits && item.c_file_proof == kUnknown && item.s_file_end <= s->s_flushed) {
      item.c_file_proof = s->c_made;
    }
  }
}

// Hands the S formed to the compressor. False when it failed (out of memory).
static bool FeedPiece(SessionSender* s) {
  size_t had = s->c.size();
  CodecError error = FeedEncoder(&s->encoder, s->piece.data(), s->piece.size(), &s->c);
  s->s_made += s->piece.size();
  s->piece.clear();
  s->c_made += s->c.size() - had;
  if (s->c.size() > had) s->marks.push_back({s->c_made, s->s_made});
  if (error != CodecError::kNone) s->ending = {Reason::kWithdrawn, ENOMEM};
  return error == CodecError::kNone;
}

static bool Flush(SessionSender* s) {
  size_t had = s->c.size();
  CodecError error = FlushEncoder(&s->encoder, &s->c);
  s->c_made += s->c.size() - had;
  NoteFlushed(s);
  if (error != CodecError::kNone) s->ending = {Reason::kWithdrawn, ENOMEM};
  return error == CodecError::kNone;
}

// QUIT, and the end of C.
static bool Quit(SessionSender* s) {
  s->piece.push_back(kRecordQuit);
  if (!FeedPiece(s)) return false;
  size_t had = s->c.size();
  CodecError error = EndEncoder(&s->encoder, &s->c);
  s->c_made += s->c.size() - had;
  s->quit = true;
  NoteFlushed(s);
  if (error != CodecError::kNone) s->ending = {Reason::kWithdrawn, ENOMEM};
  return error == CodecError::kNone;
}

static OutItem MakeItem(const char* path, FILE* file, uint64_t size, bool again, uint64_t number,
                        uint64_t s_data) {
  OutItem item = {};
  item.path = path;
  item.file = file;
  item.size = size;
  item.again = again;
  item.number = number;
  item.s_data = s_data;
  item.c_proof = kUnknown;
  item.c_file_proof = kUnknown;
  item.line = {path, size};
  return item;
}

// A folder item: its FILE record and no data. No progress line is drawn.
static void OpenFolderItem(SessionSender* s, const PendingFile& next, const char* name) {
  PutFileRecord(&s->piece, 0, next.item->mtime, next.item->mode, name);
  s->items.push_back(
      MakeItem(next.path, nullptr, 0, next.again, s->next_item++, s->s_made + s->piece.size()));
  s->items.back().item = next.item;
  s->items.back().line_done = true;
  s->producing = true;
}

// Opens the next file of pending as an item: its FILE record. False when
// the session ends before it: it cannot carry the file (its name), or
// there is none.
static bool OpenNextItem(SessionSender* s) {
  bool paths = s->agreed & kCapabilityPaths;
  char name[kStreamNameMax + 1];
  PendingFile next;
  if (!s->files.take_next(s->files.context, paths, &next, name)) return false;
  if (next.item != nullptr && next.item->folder) {
    OpenFolderItem(s, next, name);
    return true;
  }
  uint64_t size = 0;
  FILE* file = OpenFileToSend(next.path, &size);
  if (file == nullptr) {
    s->failed = true;
    return true;
  }
  struct stat info;
  bool known = fstat(fileno(file), &info) == 0;
  bool waits = s->resume && IsWaitingSize(size, s->frame_ms);
  PutFileRecord(&s->piece, size, known ? int64_t(info.st_mtime) : 0,
                known ? uint32_t(info.st_mode & 0777) : 0644, name, waits ? kFileWaits : 0);
  s->items.push_back(
      MakeItem(next.path, file, size, next.again, s->next_item++, s->s_made + s->piece.size()));
  s->items.back().owned = true;
  s->items.back().waits = waits;
  s->items.back().line.tally = s->tally;
  s->items.back().s_file_end = s->s_made + s->piece.size();
  s->items.back().item = next.item;
  s->producing = true;
  return true;
}

// The receiver's offer came: the item's data goes on from where the
// receiver's part ends if those bytes are the file's, else from 0.
static void BeginFromOffer(SessionSender* s, OutItem* item) {
  item->started = true;
  if (item->offer.offset == 0) return;
  uint64_t read = 0;
  uint32_t crc = 0;
  // A folder item has no file: only a peer gone wrong offers it a part.
  bool fits = item->offer.offset <= item->size && item->file != nullptr;
  int failed = fits ? ReadPrefix(item->file, item->offer.offset, &read, &crc) : 0;
  uint64_t origin = failed == 0 ? ChooseOrigin(item->offer, item->size, read, crc) : 0;
  if (origin == 0 && item->file != nullptr) rewind(item->file);
  PutOriginRecord(&s->piece, origin);
  item->origin = item->read = origin;
  item->crc = origin == 0 ? 0 : crc;
  item->s_data = s->s_made + s->piece.size();
}

// Forms the next piece of S and compresses it: a FILE record, a DATA
// record, or an item's closing record. False when nothing more can be made
// now: 64 items in question, or C has ended.
static bool ProducePiece(SessionSender* s) {
  if (s->quit || s->ending.reason != Reason::kDone) return false;
  if (!s->producing) {
    if (CountInQuestion(*s) >= kItemsInQuestion) return false;
    if (!OpenNextItem(s)) {
      Quit(s);
      return false;
    }
    return !s->producing || FeedPiece(s);
  }
  OutItem& item = s->items.back();
  if (item.waits && !item.started && !item.stop) {
    if (!item.offered) return false;
    BeginFromOffer(s, &item);
    return s->piece.empty() || FeedPiece(s);
  }
  if (item.stop || item.read == item.size || item.read_error != 0) {
    if (!item.stop && item.read_error == 0) {
      PutEndRecord(&s->piece, item.crc);
    } else {
      s->piece.push_back(kRecordCancel);
    }
    if (item.owned && item.file != nullptr) fclose(item.file);
    item.file = nullptr;
    item.closed = true;
    item.s_end = s->s_made + s->piece.size();
    s->producing = false;
    return FeedPiece(s);
  }
  uint8_t bytes[kReadPiece];
  size_t got = 0;
  item.read_error = ReadFileBytes(
      item.file, bytes, size_t(std::min<uint64_t>(kReadPiece, item.size - item.read)), &got);
  if (got > 0) {
    PutDataHeader(&s->piece, got);
    s->piece.insert(s->piece.end(), bytes, bytes + got);
    item.crc = UpdateCrc32(item.crc, bytes, got);
    item.read += got;
  }
  return FeedPiece(s);
}

// Keeps C ready ahead of the line; flushes the compressor only when the
// line would soon wait for bytes it holds: nothing more can be made (64
// items in question), less than a segment is ready and less than two are
// in flight. Small items then go in a few long segments, not one each.
static bool Produce(SessionSender* s) {
  bool blocked = false;
  Clock::time_point began = Clock::now();
  while (s->c_made - s->segments.sent_end < kReadyAhead) {
    if (s->c_made > s->segments.sent_end && MillisecondsSince(began) >= kProduceSliceMs) break;
    if (!ProducePiece(s)) {
      blocked = true;
      break;
    }
  }
  if (s->ending.reason != Reason::kDone) return false;
  uint64_t segment = s->segments.segment;
  if (blocked && !s->quit && s->s_made > s->s_flushed &&
      s->c_made - s->segments.sent_end < segment &&
      s->segments.sent_end - s->segments.acked < 2 * segment) {
    return Flush(s);
  }
  return true;
}

// About the S offset the receiver has, by the C it acknowledged.
static uint64_t FindAckedS(SessionSender* s) {
  uint64_t acked = s->segments.acked;
  while (!s->marks.empty() && s->marks.front().c <= acked) {
    s->passed = s->marks.front();
    s->marks.pop_front();
  }
  if (s->marks.empty()) return s->passed.s;
  const Mark& next = s->marks.front();
  return s->passed.s + (acked - s->passed.c) * (next.s - s->passed.s) / (next.c - s->passed.c);
}

static void FinishLine(OutItem* item) {
  if (item->line_done) return;
  DrawProgress(&item->line, item->size, false);
  EndProgress(&item->line);
  item->line_done = true;
}

// Draws the line of the first item not drawn whole, at what the receiver
// acknowledged of it; an item whose bytes all arrived ends its line.
static void DrawLines(SessionSender* s) {
  uint64_t acked_s = FindAckedS(s);
  for (OutItem& item : s->items) {
    if (item.line_done) continue;
    if (item.waits && !item.started) return;
    if (acked_s < item.s_data) return;
    // A resumed item's line starts where its data went on from.
    if (!item.line.begun && item.origin > 0) DrawProgress(&item.line, item.origin, false);
    uint64_t sent = item.read - item.origin;
    if (item.closed && acked_s >= item.s_data + sent && !item.stop) {
      FinishLine(&item);
      continue;
    }
    uint64_t done = item.origin + std::min(sent, acked_s - item.s_data);
    if (item.line.begun) {
      PaceProgress(&item.line, done, false);
    } else {
      DrawProgress(&item.line, done, false);
    }
    return;
  }
}

// Items answered and drawn are done with.
static void DropSettled(SessionSender* s) {
  while (!s->items.empty() && s->items.front().answered && s->items.front().line_done &&
         !(s->producing && s->items.size() == 1)) {
    s->items.pop_front();
  }
}

// An item's final answer: every earlier item's bytes arrived, so their
// lines end; this one's ends with its result.
static void SettleItem(SessionSender* s, OutItem* item, const Ending& ending) {
  item->answered = true;
  s->progressed = Clock::now();
  if (!item->closed) item->stop = true;
  for (OutItem& before : s->items) {
    if (&before == item) break;
    FinishLine(&before);
  }
  if (ending.reason == Reason::kDone) {
    FinishLine(item);
  } else {
    s->failed = true;
    for (OutItem& other : s->items) {
      if (&other != item && other.line.begun) EndProgress(&other.line);
    }
    ReportEnding(&item->line, ending, true, item->path);
    item->line_done = true;
  }
  DropSettled(s);
}

static OutItem* FindItem(SessionSender* s, uint8_t number) {
  for (OutItem& item : s->items) {
    if (!item.answered && uint8_t(item.number) == number) return &item;
  }
  return nullptr;
}

static void HandleItemAnswer(SessionSender* s, const Frame& frame) {
  OutItem* item = FindItem(s, frame.sequence);
  if (item == nullptr) return;
  if (frame.type == kFrameItemDone) {
    uint8_t proof[12];
    PutProof(proof, item->size, item->crc);
    bool whole = item->closed && !item->stop && item->read == item->size && item->read_error == 0;
    if (whole && memcmp(frame.payload, proof, 12) == 0) SettleItem(s, item, {Reason::kDone});
  } else if (frame.type == kFrameReason) {
    item->decline_why.assign(reinterpret_cast<const char*>(frame.payload), frame.length);
  } else if (frame.type == kFrameItemDeclined) {
    Ending declined = {Reason::kDeclined};
    declined.why = item->decline_why;
    SettleItem(s, item, declined);
  } else if (item->read_error != 0) {
    SettleItem(s, item, {Reason::kCancelled, item->read_error});
  } else {
    SettleItem(s, item,
               {frame.payload[0] == kFailedCheck ? Reason::kCheckFailed : Reason::kWriteFailed});
  }
}

// `a`: the receiver's offer for an item that waits.
static void HandleOffer(SessionSender* s, const Frame& frame) {
  OutItem* item = FindItem(s, frame.sequence);
  if (item == nullptr || !item->waits || item->offered) return;
  item->offer = ReadResumeOffer(frame.payload, frame.length);
  item->offered = true;
  item->asking = false;  // its final answer is asked for on its own
  s->progressed = Clock::now();
}

// The largest segment that takes at most a quarter of the stall limit at
// the rate the session has moved so far.
static uint32_t FindQuickMax(const SessionSender& s) {
  if (s.stall_limit_ms == kNoStallLimit) return kSegmentMax;
  uint64_t elapsed = std::max<uint32_t>(1, MillisecondsSince(s.started));
  return uint32_t(
      std::min<uint64_t>(kSegmentMax, s.segments.acked * (s.stall_limit_ms / 4) / elapsed));
}

static void HandleState(SessionSender* s, const Frame& frame) {
  if (frame.length % 8 != 4) return;
  s->state_at = Clock::now();
  uint32_t lows[2 * kRangesMax];
  size_t count = (frame.length - 4u) / 8;
  for (size_t i = 0; i < 2 * count; i++)
    lows[i] = uint32_t(GetBigEndian(frame.payload + 4 + 4 * i, 4));
  StateNews news = TakeState(&s->segments, frame.sequence, uint32_t(GetBigEndian(frame.payload, 4)),
                             lows, count, FindQuickMax(*s), Clock::now());
  if (news.gained > 0) s->progressed = Clock::now();
  if (news.gained > 0 || news.arrived > 0 || news.lost > 0) s->waiting = Clock::now();
  if (news.timed) {
    s->retry_ms = ComputeTimedRetry(news.round_trip_ms, &s->srtt_ms);
  }
  if (news.lost > 0) {
    for (OutItem& item : s->items) {
      if (!item.line_done) item.line.error = true;
    }
  }
  // The compressor's level follows the rate the line takes C at.
  uint32_t since = MillisecondsSince(s->rate_at);
  if (since >= 1000) {
    ReportDrainRate(&s->encoder, double(s->segments.acked - s->rate_acked) * 1000 / since);
    s->rate_at = Clock::now();
    s->rate_acked = s->segments.acked;
  }
}

// Acts on one answer: false once the session ended short (the receiver
// could not read on).
static bool HandleAnswer(SessionSender* s, const Frame& frame) {
  switch (frame.type) {
    case kFrameState:
      HandleState(s, frame);
      return true;
    case kFrameItemDone:
    case kFrameItemFailed:
    case kFrameItemDeclined:
    case kFrameReason:
      HandleItemAnswer(s, frame);
      return true;
    case kFrameInterrupted:
      s->ending = {Reason::kPeerInterrupted};
      return false;
    case kFrameItemOffer:
      HandleOffer(s, frame);
      return true;
    case kFrameBroken:
      s->broken = true;
      return false;
    default:
      return true;  // a repeated ACCEPT, or a frame of no session
  }
}

static PortResult SendSegment(SessionSender* s, ByteRange range) {
  uint8_t payload[4 + kSegmentMax];
  PutBigEndian(payload, range.start, 4);
  size_t length = size_t(range.end - range.start);
  memcpy(payload + 4, s->c.data() + (range.start - s->c_base), length);
  bool again = range.start < s->segments.sent_end;
  uint64_t number = NoteSegmentSent(&s->segments, range, Clock::now());
  if (again && s->quit) s->resent_after_quit = true;
  s->waiting = Clock::now();
  return WriteFrame(s->port, kFrameSegment, uint8_t(number), payload, uint16_t(4 + length));
}

// Asks for the answer of each item whose last record arrived a retry time
// ago, and again each retry time.
static PortResult AskForAnswers(SessionSender* s) {
  for (OutItem& item : s->items) {
    // An item that waits asks first for the offer, once its FILE arrived.
    uint64_t proof = item.waits && !item.offered ? item.c_file_proof : item.c_proof;
    if (item.answered || proof == kUnknown || s->segments.acked < proof) continue;
    if (!item.asking) {
      item.asking = true;
      item.asked_at = Clock::now();
    } else if (MillisecondsSince(item.asked_at) >= s->retry_ms) {
      item.asked_at = Clock::now();
      if (WriteFrame(s->port, kFrameAsk, uint8_t(item.number), nullptr, 0) != PortResult::kDone) {
        return PortResult::kLost;
      }
    }
  }
  return PortResult::kDone;
}

// How long to wait for an answer: until the retry time, or an item's ask.
static uint32_t FindWait(const SessionSender& s) {
  uint32_t waited = MillisecondsSince(s.waiting);
  uint32_t wait = s.retry_ms;
  if (s.segments.acked < s.segments.sent_end) wait = waited >= s.retry_ms ? 0 : s.retry_ms - waited;
  for (const OutItem& item : s.items) {
    if (!item.asking || item.answered) continue;
    uint32_t asked = MillisecondsSince(item.asked_at);
    wait = std::min(wait, asked >= s.retry_ms ? 0 : s.retry_ms - asked);
  }
  return wait;
}

static bool IsComplete(const SessionSender& s) {
  return s.quit && s.segments.acked == s.c_made && CountInQuestion(s) == 0;
}

static void NoteSettled(SessionSender* s) {
  if (s->settled || !s->quit || s->ending.reason != Reason::kDone || CountInQuestion(*s) > 0 ||
      s->segments.sent_end < s->c_made) {
    return;
  }
  s->settled = true;
  s->settled_at = Clock::now();
  s->settle_ms = kSettleRetries * s->retry_ms;
}

// Streams items until every one is answered and C acknowledged, or the
// session ends short (s->ending, or s->broken).
static void StreamItems(SessionSender* s) {
  Frame frame;
  for (;;) {
    if (!Produce(s)) return;
    if (s->c_base + kReadyAhead < s->segments.acked) {
      s->c.erase(s->c.begin(), s->c.begin() + long(s->segments.acked - s->c_base));
      s->c_base = s->segments.acked;
    }
    ByteRange range;
    bool can_send = PickSegment(s->segments, s->c_made, &range);
    if (can_send && SendSegment(s, range) != PortResult::kDone) {
      s->ending = {Reason::kPortLost};
      return;
    }
    can_send = PickSegment(s->segments, s->c_made, &range);
    bool heard = false;
    FrameRead got = ReadFrame(s->port, &frame, can_send ? 0 : FindWait(*s), &heard);
    if (got == FrameRead::kLost) {
      s->ending = {Reason::kPortLost};
      return;
    }
    if (heard) s->last_heard = Clock::now();
    if (IsWellFormed(got, frame) && !HandleAnswer(s, frame)) return;
    DrawLines(s);
    NoteSettled(s);
    if (AskForAnswers(s) != PortResult::kDone) {
      s->ending = {Reason::kPortLost};
      return;
    }
    if (IsComplete(*s) ||
        (s->settled && HasRunOut(s->settle_ms, std::max(s->settled_at, s->state_at)))) {
      return;
    }
    // Silence only once nothing waits to be read: a write that blocked on a
    // full line may have kept the answers waiting.
    if (!can_send && got == FrameRead::kSilent && MillisecondsSince(s->waiting) >= s->retry_ms &&
        s->segments.acked < s->segments.sent_end) {
      NoteSegmentSilence(&s->segments);
      s->retry_ms = ComputeLongerRetry(s->retry_ms, s->stall_limit_ms);
      s->waiting = Clock::now();
    }
    if (s->segments.sends_at_acked >= kMaxRefusals) {
      s->ending = {Reason::kRefused};
      return;
    }
    if (HasRunOut(s->stall_limit_ms, s->progressed)) {
      s->ending = EndStalled(s->stall_limit_ms, s->last_heard, s->stall_limit_ms);
      return;
    }
  }
}

// The session ended short: the item the receiver was on is reported with
// the ending; the others without an answer go again in the next opening,
// once.
static TransferResult EndShort(SessionSender* s) {
  for (OutItem& item : s->items) {
    if (item.line.begun && !item.line_done) EndProgress(&item.line);
    if (item.file != nullptr && item.owned) fclose(item.file);
    item.file = nullptr;
  }
  uint64_t acked_s = FindAckedS(s);
  OutItem* on = nullptr;
  for (OutItem& item : s->items) {
    if (!item.answered && on == nullptr && (!item.closed || item.s_end > acked_s)) on = &item;
  }
  // Every item's bytes arrived: it was on the first whose answer is awaited.
  for (OutItem& item : s->items) {
    if (!item.answered && on == nullptr) on = &item;
  }
  TransferResult result = TransferResult::kNotStored;
  if (s->broken) {
    on = nullptr;  // its own answer said what became of it
  } else if (on != nullptr) {
    s->failed = true;
    on->answered = true;
    result = ReportEnding(&on->line, s->ending, true, on->path);
  } else {
    result = ReportEnding(nullptr, s->ending, true, nullptr);
  }
  std::vector<PendingFile> again;
  for (OutItem& item : s->items) {
    if (item.answered) continue;
    s->failed = true;
    if (item.again) {
      fprintf(stderr, "file %s not sent\n", EscapeForConsole(item.path).c_str());
    } else {
      again.push_back({item.path, true, item.item});
    }
  }
  s->files.put_back(s->files.context, again.data(), again.size());
  return result;
}

TransferResult SendSession(PortHandle port, const SessionStart& start, const SessionFiles& files,
                           const LineTimes& times, bool* failed) {
  // Every member has its initializer: GCC 12 at -O3 took the aggregate
  // initialization's clean-up path for reading the encoder unset.
  SessionSender s;
  s.port = port;
  s.stall_limit_ms = times.stall_limit_ms;
  s.files = files;
  s.agreed = start.agreed;
  s.retry_ms = ComputeFirstRetry(s.stall_limit_ms);
  s.started = s.waiting = s.progressed = s.last_heard = s.rate_at = Clock::now();
  StartEncoder(&s.encoder, start.agreed & kCodecs, FindPhysicalMemory());
  ReportDrainRate(&s.encoder, times.line_rate);
  s.tally = times.tally;
  s.items.push_back(MakeItem(start.path, start.file, start.size, start.again, 0, 0));
  s.items.back().line.tally = times.tally;
  s.items.back().item = start.item;
  s.items.back().line_done = start.file == nullptr;
  s.resume = (start.agreed & kCapabilityResume) != 0;
  s.frame_ms = times.frame_ms;
  if (s.resume) {  // the first item waited: ACCEPT was its offer
    s.items.back().waits = s.items.back().offered = true;
    s.items.back().offer = start.offer;
  }
  s.next_item = 1;
  s.producing = true;
  StreamItems(&s);
  FreeEncoder(&s.encoder);
  TransferResult result = TransferResult::kDone;
  if (s.broken || !s.settled) {
    result = EndShort(&s);
  } else {
    // Answers to segments sent again after QUIT may still be on their way.
    // Each item was reported by its answer: a port lost now changes none,
    // and the next opening, if any, finds it lost.
    SayGoodbye(port, {true, s.resent_after_quit ? s.retry_ms : 0});
  }
  *failed = *failed || s.failed;
  return result;
}
