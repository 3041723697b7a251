#include "protocols/velcot/legacy/stream.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "base/retry.h"
#include "files/names.h"
#include "files/store.h"
#include "protocols/velcot/codec.h"
#include "protocols/velcot/frame.h"
#include "protocols/velcot/resume.h"

typedef std::chrono::steady_clock Clock;

constexpr uint32_t kDataMin = 128;  // the smallest frame of data

// The most data in flight, unanswered, and the ring that keeps it for
// sending again: data is read from the file once.
constexpr uint64_t kWindowMax = 256 * 1024;
constexpr size_t kRingSize = kWindowMax + kDataMax;

namespace {

struct Sender {
  PortHandle port;
  FILE* file;
  uint64_t size;
  uint32_t stall_limit_ms;
  std::vector<uint8_t> ring;   // file bytes [acked, read), at offset % kRingSize
  uint64_t acked;              // every byte before it stored at the receiver
  uint64_t sent;               // the next byte to send
  uint64_t highest;            // the end of the furthest data sent: no answer goes beyond it
  uint64_t read;               // the next byte to read from the file
  uint32_t crc;                // of the file's bytes [0, read)
  int read_error;              // 0, or why the file yielded less (ReadFileBytes)
  uint8_t epoch;               // counts rewinds: a RESEND of another epoch is stale
  uint32_t frame_max = 1024;   // data bytes in a frame now
  uint64_t window = 2 * 1024;  // bytes in flight now
  uint64_t good_run;           // bytes acknowledged since the last rewind
  int refusals;                // rewinds since the last progress
  bool heard_since_rewind;
  uint32_t srtt_ms;  // smoothed time from sending a frame to its answer; 0: none yet
  uint32_t retry_ms;
  uint64_t timed_end;  // a frame ending here is being timed, or 0
  Clock::time_point timed_at, last_heard;
  Clock::time_point started;     // the FILE frame first went out
  Clock::time_point progressed;  // the file last moved forward
  Clock::time_point waiting;     // the retry time runs from here: a frame sent or a useful answer
  uint8_t offer[20 + kStreamNameMax];  // the FILE frame's payload
  uint16_t offer_length;
  bool offer_out;     // FILE sent since the last rewind
  bool accepted;      // the receiver has the file open: the progress line is drawn
  bool closing_out;   // END or CANCEL sent since the last rewind
  bool closing_sent;  // END or CANCEL went out at least once
  bool late_answers;  // sent again after a closing: more last answers may be on their way
  bool answered;      // the receiver's last answer came: STORED or FAILED
  Ending ending;      // how the receiver's answer ended the file
  ProgressLine* line;
  uint8_t offered;             // capabilities in the FILE frame: data waits for the answer
  uint8_t agreed;              // those the answer shares
  bool answered_capabilities;  // ACCEPT or DECLINE came
  ResumeOffer resume;          // ACCEPT's offer, with resume agreed
  std::string decline_why;     // the reason a receiver gave before its DECLINE
};

}  // namespace

// Fills the ring from the file up to the window's end, for the whole-file
// check in order; a file that yields less than its size is padded (and
// cancelled later).
static void ReadAhead(Sender* s, uint64_t until) {
  // Made at the first data: an offer a session takes over sends none.
  if (s->ring.empty()) s->ring.resize(kRingSize);
  until = std::min(until, s->size);
  while (s->read < until) {
    size_t at = size_t(s->read % kRingSize);
    size_t n = size_t(std::min<uint64_t>(until - s->read, kRingSize - at));
    uint8_t* into = s->ring.data() + at;
    size_t got = 0;
    if (s->read_error == 0) s->read_error = ReadFileBytes(s->file, into, n, &got);
    memset(into + got, 0, n - got);
    s->crc = UpdateCrc32(s->crc, into, n);
    s->read += n;
  }
}

static PortResult SendDataFrame(Sender* s) {
  uint32_t n = uint32_t(std::min<uint64_t>(s->frame_max, s->size - s->sent));
  ReadAhead(s, s->sent + n);
  uint8_t payload[kPayloadMax];
  PutBigEndian(payload, s->sent, 8);
  size_t at = size_t(s->sent % kRingSize);
  size_t first = std::min<size_t>(n, kRingSize - at);
  memcpy(payload + 8, s->ring.data() + at, first);
  memcpy(payload + 8 + first, s->ring.data(), n - first);
  PortResult written = WriteFrame(s->port, kFrameData, s->epoch, payload, uint16_t(8 + n));
  if (written != PortResult::kDone) return written;
  if (s->timed_end == 0) {
    s->timed_end = s->sent + n;
    s->timed_at = Clock::now();
  }
  s->sent += n;
  s->highest = std::max(s->highest, s->sent);
  s->waiting = Clock::now();
  return written;
}

// END with the whole file's check, or CANCEL for a file that could not be
// read whole.
static PortResult SendClosing(Sender* s) {
  s->closing_sent = true;
  s->closing_out = true;
  s->waiting = Clock::now();
  if (s->read_error != 0) return WriteFrame(s->port, kFrameCancel, s->epoch, nullptr, 0);
  uint8_t payload[12];
  PutProof(payload, s->size, s->crc);
  return WriteFrame(s->port, kFrameEnd, s->epoch, payload, 12);
}

// Goes back to offset: what followed is lost or was refused. The frames
// get smaller and the window closes, for a noisy line.
static void Rewind(Sender* s, uint64_t offset) {
  uint64_t in_flight = s->sent - s->acked;
  s->sent = std::max(offset, s->acked);
  s->epoch++;
  s->late_answers = s->late_answers || s->closing_sent;
  s->closing_out = false;
  s->offer_out = s->accepted;
  s->frame_max = std::max<uint32_t>(kDataMin, s->frame_max / 2);
  s->window = std::max<uint64_t>(2 * s->frame_max, in_flight / 2);
  s->good_run = 0;
  s->timed_end = 0;  // an answer after a resend times neither copy
  s->refusals++;
  s->heard_since_rewind = false;
  s->waiting = Clock::now();
  s->line->error = true;
}

// True when a frame of n bytes takes at most a quarter of the stall limit at
// the rate this file has moved so far, so that on a slow line each frame
// still shows the receiver progress well within its limit.
static bool IsQuickEnough(const Sender* s, uint64_t n) {
  if (s->stall_limit_ms == kNoStallLimit) return true;
  return n * MillisecondsSince(s->started) <= s->acked * (s->stall_limit_ms / 4);
}

static void NoteProgress(Sender* s, uint64_t offset) {
  uint64_t gained = offset - s->acked;
  s->acked = offset;
  s->sent = std::max(s->sent, offset);
  s->refusals = 0;
  s->progressed = s->waiting = Clock::now();
  s->window = std::min<uint64_t>(kWindowMax, s->window + gained);
  s->good_run += gained;
  if (s->good_run >= 8ull * s->frame_max && s->frame_max < kDataMax &&
      IsQuickEnough(s, 2ull * s->frame_max)) {
    s->frame_max *= 2;
    s->good_run = 0;
  }
  if (s->timed_end != 0 && offset >= s->timed_end) {
    uint32_t sample = MillisecondsSince(s->timed_at);
    s->retry_ms = ComputeTimedRetry(sample, &s->srtt_ms);
    s->timed_end = 0;
  }
}

// The receiver has the file open: ACCEPT said so, or an answer about its
// data or its end did, when ACCEPT itself was lost.
static void NoteAccepted(Sender* s) {
  if (s->accepted) return;
  if ((s->agreed & kCapabilitySession) == 0) DrawProgress(s->line, 0, false);
  if (s->offered != 0) s->retry_ms = ComputeFirstRetry(s->stall_limit_ms);
  s->accepted = true;
  s->offer_out = true;
  s->progressed = s->waiting = Clock::now();
}

// Acts on one answer: true to go on, false once it ended the file
// (s->ending).
static bool HandleAnswer(Sender* s, const Frame& answer) {
  switch (answer.type) {
    case kFrameAck:
    case kFrameResend: {
      // Any offset up to the furthest data sent counts, also above a rewind:
      // the receiver may hold more than what was sent since.
      uint64_t offset = GetBigEndian(answer.payload, 8);
      // Before the answer to capabilities no data went: only RESEND(0), a
      // FILE frame damaged, means anything.
      if (s->offered != 0 && !s->accepted && (answer.type != kFrameResend || offset != 0)) {
        return true;
      }
      if (offset > s->highest) return true;
      // RESEND(0) may be a receiver that has yet to open the file asking
      // for the FILE frame again.
      if (answer.type == kFrameAck || offset > 0) NoteAccepted(s);
      if (offset > s->acked) NoteProgress(s, offset);
      // A RESEND of an earlier epoch came before the rewind it asked for.
      if (answer.type == kFrameResend && answer.sequence == s->epoch) Rewind(s, offset);
      return true;
    }
    case kFrameAccept:
      if (!s->accepted) s->agreed = answer.sequence & s->offered;
      if (!s->accepted && (s->agreed & kCapabilityResume))
        s->resume = ReadResumeOffer(answer.payload, answer.length);
      s->answered_capabilities = true;
      NoteAccepted(s);
      // In a session the file's data goes there, not in this exchange.
      if (s->agreed & kCapabilitySession) s->ending = {Reason::kDone};
      return (s->agreed & kCapabilitySession) == 0;
    case kFrameReason:
      s->decline_why.assign(reinterpret_cast<const char*>(answer.payload), answer.length);
      return true;
    case kFrameDecline:
      if (!s->accepted) s->agreed = answer.sequence & s->offered;
      s->answered_capabilities = true;
      if (!s->accepted) s->ending = {Reason::kDeclined};
      s->ending.why = s->decline_why;
      return s->accepted;
    case kFrameInterrupted:
      s->ending = {Reason::kPeerInterrupted};
      return false;
    case kFrameStored: {
      if (s->offered != 0 && !s->accepted) return true;
      // The receiver checked the whole file against the same CRC-32: it holds
      // every byte, whatever answers to the data were lost on the way.
      uint8_t proof[12];
      PutProof(proof, s->size, s->crc);
      if (s->read != s->size || s->read_error != 0 || memcmp(answer.payload, proof, 12) != 0) {
        return true;
      }
      NoteAccepted(s);
      if (s->acked < s->size) NoteProgress(s, s->size);
      s->ending = {Reason::kDone};
      s->answered = true;
      return false;
    }
    case kFrameFailed:
      if (s->offered != 0 && !s->accepted) return true;
      if (s->read_error != 0) {
        s->ending = {Reason::kCancelled, s->read_error};
      } else {
        s->ending = {answer.payload[0] == kFailedCheck ? Reason::kCheckFailed
                                                       : Reason::kWriteFailed};
      }
      s->answered = true;
      return false;
    default:
      return true;
  }
}

// No useful answer came in the retry time: sends again from the last
// answer, or the closing frame, and waits longer next time.
static void HandleSilence(Sender* s) {
  bool counted = s->heard_since_rewind;
  Rewind(s, s->acked);
  if (!counted) s->refusals--;  // silence is the stall limit's to judge
  s->retry_ms = ComputeLongerRetry(s->retry_ms, s->stall_limit_ms);
}

// Offers the file and streams the data and the closing frame until the
// receiver's last answer. Without capabilities the first window goes out
// with the FILE frame, before the receiver accepts: a small file then costs
// one round trip less. Until ACCEPT, each rewind sends FILE again.
static Ending StreamData(Sender* s) {
  Frame answer;
  for (;;) {
    if (!s->offer_out) {
      if (WriteFrame(s->port, kFrameFile, s->offered, s->offer, s->offer_length) !=
          PortResult::kDone) {
        return {Reason::kPortLost};
      }
      s->offer_out = true;
      s->waiting = Clock::now();
    }
    bool may_send = s->offered == 0 || s->accepted;
    bool can_send = may_send && s->sent < s->size && s->sent - s->acked < s->window;
    PortResult written = PortResult::kDone;
    if (can_send) {
      written = SendDataFrame(s);
    } else if (may_send && s->sent == s->size && !s->closing_out) {
      written = SendClosing(s);
    }
    if (written != PortResult::kDone) return {Reason::kPortLost};
    can_send = may_send && s->sent < s->size && s->sent - s->acked < s->window;
    // The retry time runs from the last frame sent or useful answer: answers
    // that move nothing (an old RESEND repeated) must not hide a silence.
    uint32_t waited = MillisecondsSince(s->waiting);
    uint32_t wait = can_send || waited >= s->retry_ms ? 0 : s->retry_ms - waited;
    bool heard = false;
    FrameRead got = ReadFrame(s->port, &answer, wait, &heard);
    if (got == FrameRead::kLost) return {Reason::kPortLost};
    if (heard) {
      s->last_heard = Clock::now();
      s->heard_since_rewind = true;
    }
    if (got == FrameRead::kDeclineByte && !s->accepted) return {Reason::kDeclined};
    if (IsWellFormed(got, answer) && !HandleAnswer(s, answer)) return s->ending;
    if (s->accepted) PaceProgress(s->line, s->acked, false);
    if (HasRunOut(s->stall_limit_ms, s->progressed)) {
      return EndStalled(s->stall_limit_ms, s->last_heard, s->stall_limit_ms);
    }
    if (!can_send && MillisecondsSince(s->waiting) >= s->retry_ms) HandleSilence(s);
    if (s->refusals >= kMaxRefusals) {
      s->line->begun = true;  // ended with a line feed, accepted or not
      return {Reason::kRefused};
    }
  }
}

// Forms the FILE frame's payload: size, time, mode and name.
static void FormOffer(Sender* s, const char* name, const ItemFacts* facts) {
  struct stat info;
  bool known = facts == nullptr && fstat(fileno(s->file), &info) == 0;
  ItemFacts offered = facts != nullptr ? *facts : ItemFacts{0, 0644};
  if (known) offered = {int64_t(info.st_mtime), uint32_t(info.st_mode & 0777)};
  size_t name_length = strlen(name);
  PutBigEndian(s->offer, s->size, 8);
  PutBigEndian(s->offer + 8, uint64_t(offered.mtime), 8);
  PutBigEndian(s->offer + 16, offered.mode, 4);
  memcpy(s->offer + 20, name, name_length);
  s->offer_length = uint16_t(20 + name_length);
}

Ending SendStreamed(PortHandle port, FILE* file, const char* name, uint64_t size,
                    const LineTimes& times, ProgressLine* line, StreamAgreement* agreement,
                    StreamGoodbye* goodbye, const ItemFacts* facts) {
  uint32_t stall_limit_ms = times.stall_limit_ms;
  Sender s = {};
  s.offered = agreement->offered;
  s.port = port;
  s.file = file;
  s.size = size;
  s.stall_limit_ms = stall_limit_ms;
  s.retry_ms =
      s.offered == 0 ? ComputeFirstRetry(stall_limit_ms) : ComputeOfferRetry(stall_limit_ms);
  s.last_heard = s.started = s.progressed = s.waiting = Clock::now();
  s.line = line;
  FormOffer(&s, name, facts);
  Ending ending = StreamData(&s);
  agreement->answered = s.answered_capabilities;
  agreement->agreed = s.agreed;
  agreement->offer = s.resume;
  // Answers to frames sent again after the closing one may still be on
  // their way.
  *goodbye = {s.answered, s.late_answers ? s.retry_ms : 0};
  return ending;
}

namespace {

struct Receiver {
  PortHandle port;
  FILE* file;
  uint64_t size;
  uint32_t stall_limit_ms;
  uint64_t expected;           // every byte before it stored
  uint32_t crc;                // of the bytes stored
  Ending ending;               // how the data ended, once it has
  uint32_t progress_limit_ms;  // the stall limit and one longest frame's time
  int refusals;                // RESENDs since the last progress
  bool asked;                  // a RESEND is outstanding
  uint8_t asked_epoch;         // the sender's epoch it was sent in
  Clock::time_point asked_at, last_heard;
  Clock::time_point progressed;  // the file last moved forward
  ProgressLine* line;
};

}  // namespace

// The functions below return true while the data goes on, and false once
// they have set how it ended.
static bool EndData(Receiver* r, Ending ending) {
  r->ending = ending;
  return false;
}

static bool CheckWritten(Receiver* r, PortResult written) {
  return written == PortResult::kDone || EndData(r, {Reason::kPortLost});
}

// Asks for the data from the next byte wanted; a frame of the same epoch
// as the last request is still the stream that request cut short.
static bool AskResend(Receiver* r, uint8_t epoch, bool again) {
  if (r->asked && !again && epoch == r->asked_epoch) return true;
  if (!CheckWritten(r, WriteOffsetFrame(r->port, kFrameResend, epoch, r->expected))) return false;
  r->asked = true;
  r->asked_epoch = epoch;
  r->asked_at = Clock::now();
  r->refusals++;
  r->line->error = true;
  PaceProgress(r->line, r->expected, true);
  return r->refusals < kMaxRefusals || EndData(r, {Reason::kRefused});
}

static bool StoreData(Receiver* r, const Frame& frame) {
  const uint8_t* data = frame.payload + 8;
  size_t n = frame.length - 8u;
  if (n > r->size - r->expected) return true;  // beyond the announced size: damaged
  int failed = WriteFileBytes(r->file, data, n);
  if (failed != 0) return EndData(r, {Reason::kWriteFailed, failed});
  r->crc = UpdateCrc32(r->crc, data, n);
  r->expected += n;
  r->progressed = Clock::now();
  r->refusals = 0;
  r->asked = false;
  PaceProgress(r->line, r->expected, false);
  // The last data is answered by STORED, after the END that follows it.
  return r->expected == r->size ||
         CheckWritten(r, WriteOffsetFrame(r->port, kFrameAck, 0, r->expected));
}

// Acts on one whole frame.
static bool HandleFrame(Receiver* r, const Frame& frame) {
  switch (frame.type) {
    case kFrameData: {
      uint64_t offset = GetBigEndian(frame.payload, 8);
      if (offset == r->expected) return StoreData(r, frame);
      if (offset > r->expected) return AskResend(r, frame.sequence, false);
      // A copy: say how far.
      return CheckWritten(r, WriteOffsetFrame(r->port, kFrameAck, 0, r->expected));
    }
    case kFrameEnd: {
      if (r->expected < r->size) return AskResend(r, frame.sequence, true);
      uint8_t proof[12];
      PutProof(proof, r->size, r->crc);
      bool whole = memcmp(frame.payload, proof, 12) == 0;
      return EndData(r, {whole ? Reason::kDone : Reason::kCheckFailed, 0, 0, whole});
    }
    case kFrameCancel:
      return EndData(r, {Reason::kCancelled});
    case kFrameInterrupted:
      return EndData(r, {Reason::kPeerInterrupted});
    case kFrameFile:  // the ACCEPT was lost
      return r->expected != 0 || CheckWritten(r, WriteOffsetFrame(r->port, kFrameAccept, 0, 0));
    default:
      return true;
  }
}

// Receives, checks and stores the data up to the closing frame.
static Ending ReceiveData(Receiver* r, SeenOpening* opened) {
  Frame frame;
  for (;;) {
    uint32_t wait = r->asked ? kResendAgainMs : r->stall_limit_ms;
    if (r->stall_limit_ms == kNoStallLimit && !r->asked) wait = 0;
    bool heard = false;
    FrameRead got = ReadFrame(r->port, &frame, wait == 0 ? UINT32_MAX : wait, &heard);
    if (heard) r->last_heard = Clock::now();
    bool on = true;
    if (got == FrameRead::kLost) {
      on = EndData(r, {Reason::kPortLost});
    } else if (got == FrameRead::kSilent) {
      on = !r->asked || MillisecondsSince(r->asked_at) < kResendAgainMs ||
           AskResend(r, r->asked_epoch, true);
    } else if (got == FrameRead::kOpening) {
      *opened = SeenOpening::kStream;
      on = EndData(r, {Reason::kStartedAgain});
    } else if (got == FrameRead::kDamaged) {
      on = AskResend(r, frame.sequence, frame.type != kFrameData);
    } else if (IsWellFormed(got, frame)) {
      on = HandleFrame(r, frame);
    }
    if (!on) return r->ending;
    // A sender that keeps the line busy without moving the file forward is
    // given up as a silent one is.
    if (r->stall_limit_ms != kNoStallLimit && (HasRunOut(r->stall_limit_ms, r->last_heard) ||
                                               HasRunOut(r->progress_limit_ms, r->progressed))) {
      return EndStalled(r->stall_limit_ms, r->last_heard, r->progress_limit_ms);
    }
  }
}

Ending ReceiveStreamed(PortHandle port, FILE* file, uint64_t size, const LineTimes& times,
                       ProgressLine* line, uint32_t* crc, SeenOpening* opened) {
  Receiver r = {};
  r.port = port;
  r.file = file;
  r.size = size;
  r.stall_limit_ms = times.stall_limit_ms;
  r.progress_limit_ms =
      uint32_t(std::min<uint64_t>(uint64_t(times.stall_limit_ms) + times.frame_ms, UINT32_MAX));
  r.last_heard = r.progressed = Clock::now();
  r.line = line;
  DrawProgress(line, 0, false);
  Ending ending = WriteOffsetFrame(port, kFrameAccept, 0, 0) == PortResult::kDone
                      ? ReceiveData(&r, opened)
                      : Ending{Reason::kPortLost};
  *crc = r.crc;
  return ending;
}

// After the last answer: answers a closing frame sent again (its answer was
// lost), and data sent again after a rewind (the sender may wait for an
// answer before it closes again), until the sender says goodbye, a sender's
// next opening comes, the line has been quiet for quiet_ms, or limit_ms
// has passed.
static void Linger(PortHandle port, uint8_t type, const uint8_t* payload, uint16_t length,
                   uint32_t quiet_ms, uint32_t limit_ms, SeenOpening* opened) {
  auto started = Clock::now();
  auto answered = started;
  int answered_epoch = -1;  // of the data last answered
  Frame frame;
  while (MillisecondsSince(started) < limit_ms) {
    bool heard = false;
    FrameRead got = ReadFrame(port, &frame, quiet_ms, &heard);
    if (got == FrameRead::kOpening) *opened = SeenOpening::kStream;
    if (got == FrameRead::kLost || got == FrameRead::kSilent || got == FrameRead::kOpening) return;
    if (!IsWellFormed(got, frame)) continue;
    if (frame.type == kFrameBye) return;
    // A window of data sent again is answered once, not frame by frame.
    bool data = frame.type == kFrameData &&
                (frame.sequence != answered_epoch || MillisecondsSince(answered) >= kResendAgainMs);
    if (data || frame.type == kFrameEnd || frame.type == kFrameCancel) {
      if (WriteFrame(port, type, 0, payload, length) != PortResult::kDone) return;
      answered = Clock::now();
      if (frame.type == kFrameData) answered_epoch = frame.sequence;
    }
  }
}

void AnswerStreamed(PortHandle port, const Ending& ending, uint64_t size, uint32_t crc,
                    uint32_t stall_limit_ms, SeenOpening* opened) {
  // STORED with the proof, or FAILED with why; the sender of a file given
  // up otherwise waits for no answer: its exchange is lost.
  bool stored = ending.reason == Reason::kDone;
  uint8_t why = ending.reason == Reason::kWriteFailed   ? kFailedWrite
                : ending.reason == Reason::kCheckFailed ? kFailedCheck
                : ending.reason == Reason::kCancelled   ? kFailedCancelled
                                                        : 0;
  if (!stored && why == 0) return;
  uint8_t payload[12] = {why};
  if (stored) PutProof(payload, size, crc);
  uint8_t type = stored ? kFrameStored : kFrameFailed;
  uint16_t length = stored ? 12 : 1;
  // Lingering is bounded too: a sender that keeps talking holds it no longer
  // than two stall limits, or six quiet spells where there is none.
  uint32_t quiet = ComputeLingerQuiet(stall_limit_ms);
  uint32_t limit = stall_limit_ms != kNoStallLimit ? 2 * stall_limit_ms : 6 * quiet;
  if (WriteFrame(port, type, 0, payload, length) == PortResult::kDone) {
    Linger(port, type, payload, length, quiet, limit, opened);
  }
}
