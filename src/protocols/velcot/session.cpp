#include "protocols/velcot/session.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "base/progress.h"
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
constexpr uint64_t kReadyAhead = 64 * 1024;
// Bytes of a file read, and put in one DATA record, at a time.
constexpr size_t kReadPiece = 16 * 1024;
// The receiver's state is awaited this long at least.
constexpr uint32_t kRetryMinMs = 200;
constexpr uint64_t kUnknown = UINT64_MAX;

static uint32_t ComputeFirstRetry(uint32_t stall_limit_ms) {
  return std::max<uint32_t>(2000, stall_limit_ms / 2);
}

static uint32_t ComputeMaxRetry(uint32_t stall_limit_ms) {
  return std::max<uint32_t>(stall_limit_ms / 2, kRetryMinMs);
}

// A settled session whose states stopped coming waits this many retry
// times for C's end to be acknowledged: long enough to send it again once,
// for a receiver that lacks QUIT, and to hear the answer. States that keep
// coming say what the receiver still lacks: that goes again meanwhile.
constexpr uint32_t kSettleRetries = 2;

// ---- sender ----

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
  uint64_t origin;        // where its data goes on from
  uint64_t s_file_end;    // S offset after its FILE record
  uint64_t c_file_proof;  // C offset by which that record is in C, or kUnknown
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
  while (s->c_made - s->segments.sent_end < kReadyAhead) {
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
  } else if (frame.type == kFrameItemDeclined) {
    SettleItem(s, item, {Reason::kDeclined});
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
    s->srtt_ms = s->srtt_ms == 0 ? news.round_trip_ms : (7 * s->srtt_ms + news.round_trip_ms) / 8;
    s->retry_ms = std::max<uint32_t>(kRetryMinMs, 2 * s->srtt_ms + 100);
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
      HandleItemAnswer(s, frame);
      return true;
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
      s->retry_ms = std::min(ComputeMaxRetry(s->stall_limit_ms), 2 * s->retry_ms);
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
  StartEncoder(&s.encoder, start.agreed & (kCodecDeflate | kCodecZstd), FindPhysicalMemory());
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

// ---- receiver ----

struct InItem {
  uint64_t number;
  FileRecord facts;
  ReceivedFile received;  // no file: a folder item
  StoreFolder folder;     // where it is stored: here, or with paths its own folder
  std::string leaf;       // its name there
  bool open;              // being written; once answered early (n, x) its records are dropped
  uint64_t written;
  uint32_t crc;
  ProgressLine line;
  bool waits;         // written into its kept part (resume.h)
  ResumeOffer offer;  // what was offered for it
  bool origin_due;    // an offer above 0 awaits its ORIGIN
};

struct KeptAnswer {
  bool valid;
  uint8_t type;
  uint8_t payload[12];
  uint16_t length;
};

struct SessionReceiver {
  PortHandle port;
  LineTimes times;
  uint8_t agreed;
  uint32_t progress_limit_ms;
  SegmentKeeper keeper;
  CodecDecoder decoder;
  RecordReader reader;
  InItem item;
  uint64_t items;  // begun so far
  KeptAnswer answers[256];
  bool segment_came, quit, failed;
  uint8_t last_seen;
  int damaged;  // segments damaged since C last moved on
  Clock::time_point last_heard, progressed, state_at, quit_at;
  Ending ending;  // once the session ended short
  std::vector<uint8_t> taken;
  uint8_t accept[12];  // ACCEPT's payload, for a FILE frame repeated
  uint16_t accept_length;
};

// The functions below return true while the session goes on, and false
// once they have set how it ended short.
static bool EndSession(SessionReceiver* r, Ending ending) {
  r->ending = ending;
  return false;
}

static bool CheckWritten(SessionReceiver* r, PortResult written) {
  return written == PortResult::kDone || EndSession(r, {Reason::kPortLost});
}

static bool SendState(SessionReceiver* r) {
  uint8_t payload[4 + 8 * kRangesMax];
  ByteRange held[kRangesMax];
  size_t count = ListHeld(r->keeper, held);
  PutBigEndian(payload, r->keeper.acked, 4);
  for (size_t i = 0; i < count; i++) {
    PutBigEndian(payload + 4 + 8 * i, held[i].start, 4);
    PutBigEndian(payload + 8 + 8 * i, held[i].end, 4);
  }
  r->state_at = Clock::now();
  return CheckWritten(
      r, WriteFrame(r->port, kFrameState, r->last_seen, payload, uint16_t(4 + 8 * count)));
}

// The item's final answer, kept for the sender to ask for again.
static bool Answer(SessionReceiver* r, uint8_t type, const uint8_t* payload, uint16_t length) {
  KeptAnswer& kept = r->answers[uint8_t(r->item.number)];
  kept = {true, type, {}, length};
  if (length > 0) memcpy(kept.payload, payload, length);
  return CheckWritten(r, WriteFrame(r->port, type, uint8_t(r->item.number), payload, length));
}

static bool BreakSession(SessionReceiver* r);

// Opens the item: with paths agreed in its folder under this one, made if
// missing (a folder item: that folder, with no file); otherwise under a
// plain name here. An item that waits goes in its kept part, whose offer
// it takes. False after reporting why it cannot be stored.
static bool OpenItem(SessionReceiver* r) {
  InItem& item = r->item;
  item.folder = StoreFolder();
  item.leaf = item.facts.name;
  item.offer = {0, 0};
  if (!(r->agreed & kCapabilityPaths)) {
    if (!item.waits) return OpenFileToStore(item.leaf.c_str(), true, &item.received);
    return OpenWaitingFile(item.folder, item.leaf.c_str(), item.facts, &item.received, &item.offer);
  }
  if (!OpenItemFolder(item.facts.name, &item.folder, &item.leaf)) return false;
  bool opened = item.facts.size == 0;
  if (item.leaf.empty()) {
    item.received = {};
    if (!opened) ReportRefusedName(item.facts.name);
  } else if (item.waits) {
    opened =
        OpenWaitingFile(item.folder, item.leaf.c_str(), item.facts, &item.received, &item.offer);
  } else {
    opened = OpenFileToStoreIn(item.folder, item.leaf.c_str(), &item.received);
  }
  if (!opened) CloseItemFolder(&item.folder);
  return opened;
}

// Drops the item's file; one that waits keeps its part when it was cut
// off rather than failed.
static void GiveUpFile(InItem* item, bool cut) {
  if (item->received.file != nullptr) {
    if (cut && item->waits) {
      KeepWaitingFile(item->folder, &item->received, item->written);
    } else {
      DiscardFileIn(item->folder, &item->received);
    }
  }
  CloseItemFolder(&item->folder);
}

// Drops the item being written with a failure: reported, answered.
static bool FailItem(SessionReceiver* r, const Ending& ending, uint8_t reason, bool cut = false) {
  GiveUpFile(&r->item, cut);
  r->item.open = false;
  r->failed = true;
  ReportEnding(&r->item.line, ending, false, r->item.facts.name);
  return Answer(r, kFrameItemFailed, &reason, 1);
}

// The item's file holds the part offered until ORIGIN says otherwise; its
// progress line starts there once ORIGIN comes.
static void OfferPart(InItem* item) {
  item->written = item->offer.offset;
  item->crc = item->offer.crc;
  item->origin_due = item->offer.offset > 0;
  if (!item->origin_due && item->received.file != nullptr) DrawProgress(&item->line, 0, false);
}

static bool BeginItem(SessionReceiver* r, const FileRecord& facts) {
  r->item.number = r->items++;
  r->item.facts = facts;
  r->item.written = 0;
  r->item.crc = 0;
  r->item.line = {r->item.facts.name, facts.size, r->times.tally};
  r->item.waits = (facts.flags & kFileWaits) != 0;
  r->item.open = OpenItem(r);
  if (!r->item.open) {
    r->failed = true;
    return Answer(r, kFrameItemDeclined, nullptr, 0);
  }
  OfferPart(&r->item);
  if (!r->item.waits) return true;
  uint8_t payload[12];
  return Answer(r, kFrameItemOffer, payload, PutResumeOffer(payload, r->item.offer, false));
}

// ORIGIN: the sender goes on from the end of the part offered, or from 0.
static bool TakeOrigin(SessionReceiver* r, uint64_t offset) {
  InItem& item = r->item;
  if (!item.open) return true;
  if (!item.waits || (offset != 0 && offset != item.offer.offset)) return BreakSession(r);
  item.origin_due = false;
  if (offset == 0 && item.written > 0) {
    int failed = CutFile(item.received.file, 0);
    if (failed != 0) return FailItem(r, {Reason::kWriteFailed, failed}, kFailedWrite);
    item.written = 0;
    item.crc = 0;
  }
  DrawProgress(&item.line, item.written, false);
  return true;
}

static bool WriteData(SessionReceiver* r, const uint8_t* data, size_t length) {
  if (!r->item.open) return true;
  if (r->item.origin_due) return BreakSession(r);
  int failed = WriteFileBytes(r->item.received.file, data, length);
  if (failed != 0) return FailItem(r, {Reason::kWriteFailed, failed}, kFailedWrite);
  r->item.crc = UpdateCrc32(r->item.crc, data, length);
  r->item.written += length;
  PaceProgress(&r->item.line, r->item.written, false);
  return true;
}

// A folder item, after its contents: its time and mode; answered with
// size 0 and CRC 0.
static bool EndFolderItem(SessionReceiver* r) {
  InItem& item = r->item;
  int failed = ApplyFolderFacts(item.folder, item.facts.mtime, item.facts.mode);
  GiveUpFile(&item, false);
  item.open = false;
  uint8_t proof[12] = {kFailedWrite};
  if (failed != 0) {
    r->failed = true;
    ReportEnding(&item.line, {Reason::kWriteFailed, failed}, false, item.facts.name);
    return Answer(r, kFrameItemFailed, proof, 1);
  }
  PutProof(proof, 0, 0);
  return Answer(r, kFrameItemDone, proof, 12);
}

// END: the whole-file check, then time and mode, data and name on the
// disk, into place; answered with the proof.
static bool EndItem(SessionReceiver* r, uint32_t crc) {
  InItem& item = r->item;
  if (!item.open) return true;
  if (crc != item.crc) return FailItem(r, {Reason::kCheckFailed}, kFailedCheck);
  if (item.received.file == nullptr) return EndFolderItem(r);
  int failed = ApplyFileFacts(item.received.file, item.facts.mtime, item.facts.mode);
  if (failed == 0) failed = SyncFile(item.received.file);
  if (failed != 0) return FailItem(r, {Reason::kWriteFailed, failed}, kFailedWrite);
  failed = StoreFileIn(item.folder, &item.received, item.leaf.c_str());
  CloseItemFolder(&item.folder);
  item.open = false;
  if (failed != 0) {
    r->failed = true;
    ReportEnding(&item.line, {Reason::kWriteFailed, failed}, false, item.facts.name);
    uint8_t reason = kFailedWrite;
    return Answer(r, kFrameItemFailed, &reason, 1);
  }
  PaceProgress(&item.line, item.facts.size, true);
  ReportEnding(&item.line, {Reason::kDone}, false, item.facts.name);
  uint8_t proof[12];
  PutProof(proof, item.facts.size, crc);
  return Answer(r, kFrameItemDone, proof, 12);
}

// C or S cannot be read on: the item in progress fails its check, and the
// sender hears that the session is over.
static bool BreakSession(SessionReceiver* r) {
  if (r->item.open && !FailItem(r, {Reason::kCheckFailed}, kFailedCheck, true)) return false;
  r->failed = true;
  if (!CheckWritten(r, WriteFrame(r->port, kFrameBroken, 0, nullptr, 0))) return false;
  return EndSession(r, {Reason::kCheckFailed});
}

// Acts on decoded S, record by record, in order.
static bool ActOnRecords(SessionReceiver* r, const uint8_t* s, size_t size) {
  size_t at = 0;
  while (at < size) {
    size_t used = 0;
    Record record;
    RecordEvent event = ReadRecord(&r->reader, s + at, size - at, &used, &record);
    at += used;
    bool on = true;
    switch (event) {
      case RecordEvent::kNeedMore:
        break;
      case RecordEvent::kData:
        on = WriteData(r, record.data, record.length);
        break;
      case RecordEvent::kOrigin:
        on = TakeOrigin(r, record.offset);
        break;
      case RecordEvent::kEnd:
        on = EndItem(r, record.crc);
        break;
      case RecordEvent::kCancel:
        on = !r->item.open || FailItem(r, {Reason::kCancelled}, kFailedCancelled);
        break;
      case RecordEvent::kFile:
        on = BeginItem(r, record.file);
        break;
      case RecordEvent::kQuit:
        r->quit = true;
        r->quit_at = Clock::now();
        break;
      case RecordEvent::kBroken:
        return BreakSession(r);
    }
    if (!on) return false;
  }
  return true;
}

// Decodes what C took and acts on it.
static bool DecodeTaken(SessionReceiver* r) {
  static const size_t kRoom = 64 * 1024;
  std::vector<uint8_t> s(kRoom);
  size_t at = 0;
  for (;;) {
    size_t used = 0, made = 0;
    CodecError error = FeedDecoder(&r->decoder, r->taken.data() + at, r->taken.size() - at, &used,
                                   s.data(), kRoom, &made);
    at += used;
    if (made > 0 && !ActOnRecords(r, s.data(), made)) return false;
    if (error != CodecError::kNone) return BreakSession(r);
    if (used == 0 && made == 0) return true;
  }
}

// A damaged segment shows on the line of the item being written, as a
// refused block does.
static void ShowDamage(InItem* item) {
  if (!item->open || !item->line.begun) return;
  item->line.error = true;
  PaceProgress(&item->line, item->written, true);
}

static bool TakeSegmentFrame(SessionReceiver* r, const Frame& frame) {
  uint64_t offset = ExpandOffset(r->keeper.acked, uint32_t(GetBigEndian(frame.payload, 4)));
  uint64_t before = r->keeper.acked;
  r->taken.clear();
  TakeSegment(&r->keeper, offset, frame.payload + 4, frame.length - 4u, &r->taken);
  r->segment_came = true;
  r->last_seen = frame.sequence;
  // The state goes before the bytes are acted on, which may take a sync.
  if (!SendState(r)) return false;
  if (r->keeper.acked == before) return true;
  r->progressed = Clock::now();
  r->damaged = 0;
  return DecodeTaken(r);
}

static bool HandleFrame(SessionReceiver* r, const Frame& frame) {
  switch (frame.type) {
    case kFrameSegment:
      return TakeSegmentFrame(r, frame);
    case kFrameFile: {  // the ACCEPT was lost
      if (r->segment_came) return true;
      return CheckWritten(
          r, WriteFrame(r->port, kFrameAccept, r->agreed, r->accept, r->accept_length));
    }
    case kFrameAsk: {
      const KeptAnswer& kept = r->answers[frame.sequence];
      if (!kept.valid) return true;  // still being stored, or never begun
      return CheckWritten(
          r, WriteFrame(r->port, kept.type, frame.sequence, kept.payload, kept.length));
    }
    default:
      return true;
  }
}

// Receives and acts on the session until the sender says goodbye after
// QUIT (or falls quiet, or opens again), or it ends short.
static bool ReceiveItems(SessionReceiver* r, SeenOpening* opened) {
  uint32_t stall = r->times.stall_limit_ms;
  uint32_t quiet = ComputeLingerQuiet(stall);
  uint32_t linger = stall != kNoStallLimit ? 2 * stall : 6 * quiet;
  Frame frame;
  for (;;) {
    bool holding = !r->keeper.kept.empty();
    uint32_t wait = stall == kNoStallLimit ? UINT32_MAX : stall;
    if (holding) wait = kResendAgainMs;
    if (r->quit) wait = std::min(wait, quiet);
    bool heard = false;
    FrameRead got = ReadFrame(r->port, &frame, wait, &heard);
    if (heard) r->last_heard = Clock::now();
    if (got == FrameRead::kLost) return r->quit || EndSession(r, {Reason::kPortLost});
    if (got == FrameRead::kOpening) {
      *opened = SeenOpening::kStream;
      return r->quit || EndSession(r, {Reason::kStartedAgain});
    }
    bool on = true;
    if (got == FrameRead::kDamaged && frame.type == kFrameSegment) {
      r->last_seen = frame.sequence;
      on = SendState(r);
      ShowDamage(&r->item);
      if (on && ++r->damaged >= kMaxRefusals) on = EndSession(r, {Reason::kRefused});
    } else if (got == FrameRead::kSilent && holding &&
               MillisecondsSince(r->state_at) >= kResendAgainMs) {
      on = SendState(r);
    } else if (IsWellFormed(got, frame)) {
      // A sender says goodbye once it holds every item's answer: between
      // items, also where QUIT was lost on the way, the session is over.
      if (frame.type == kFrameBye && (r->quit || !r->item.open)) return true;
      on = HandleFrame(r, frame);
    }
    if (!on) return false;
    if (r->quit) {
      if (HasRunOut(quiet, r->last_heard) || HasRunOut(linger, r->quit_at)) return true;
      continue;
    }
    if (stall != kNoStallLimit &&
        (HasRunOut(stall, r->last_heard) || HasRunOut(r->progress_limit_ms, r->progressed))) {
      return EndSession(r, EndStalled(stall, r->last_heard, r->progress_limit_ms));
    }
  }
}

TransferResult ReceiveSession(PortHandle port, const StreamOffer& offer, uint8_t agreed,
                              const LineTimes& times, SeenOpening* opened) {
  SessionReceiver receiver = {};
  SessionReceiver* r = &receiver;
  r->port = port;
  r->times = times;
  r->agreed = agreed;
  r->progress_limit_ms =
      uint32_t(std::min<uint64_t>(uint64_t(times.stall_limit_ms) + times.frame_ms, UINT32_MAX));
  StartDecoder(&r->decoder, agreed & (kCodecDeflate | kCodecZstd));
  StartRecords(&r->reader, offer.size);
  r->item.number = r->items++;
  r->item.facts.size = offer.size;
  r->item.facts.mtime = offer.mtime;
  r->item.facts.mode = offer.mode;
  memcpy(r->item.facts.name, offer.name, sizeof offer.name);
  r->item.line = {r->item.facts.name, offer.size, times.tally};
  r->item.waits = (agreed & kCapabilityResume) != 0;
  r->reader.flags_agreed = r->item.waits ? kFileWaits : 0;
  if (!OpenItem(r)) {
    FreeDecoder(&r->decoder);
    return DeclineStreamed(port, agreed, times.stall_limit_ms, opened) == PortResult::kDone
               ? TransferResult::kNotStored
               : TransferResult::kPortLost;
  }
  r->item.open = true;
  r->accept_length = PutResumeOffer(r->accept, r->item.offer, true);
  r->last_heard = r->progressed = r->state_at = Clock::now();
  OfferPart(&r->item);
  bool whole =
      CheckWritten(r, WriteFrame(port, kFrameAccept, agreed, r->accept, r->accept_length)) &&
      ReceiveItems(r, opened);
  TransferResult result = r->failed ? TransferResult::kNotStored : TransferResult::kDone;
  if (!whole) {
    // The item in progress is given up as one file would be.
    if (r->item.open) {
      GiveUpFile(&r->item, true);
      result = ReportEnding(&r->item.line, r->ending, false, r->item.facts.name);
    } else if (r->ending.reason == Reason::kCheckFailed) {
      result = TransferResult::kNotStored;
    } else if (r->ending.reason != Reason::kStartedAgain) {
      result = ReportEnding(nullptr, r->ending, false, nullptr);
    } else {
      result = TransferResult::kNotStored;
    }
  }
  FreeDecoder(&r->decoder);
  return result;
}
