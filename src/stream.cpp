#include "stream.h"

#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "exchange.h"
#include "names.h"
#include "progress.h"
#include "store.h"

typedef std::chrono::steady_clock Clock;

bool IsClassicForced() {
  const char* value = getenv(CLASSIC_VARIABLE);
  return value != nullptr && value[0] != '\0' && strcmp(value, "0") != 0;
}

bool IsStreamField(const char* field) {
  return (field[0] == '\0' && field[1] != '\0') ||
         memcmp(field + 1, &STREAM_FIELD[1], NAME_FIELD_SIZE - 1) == 0;
}

bool IsDamagedStreamField(const char* field) {
  int differences = 0;
  for (int i = 0; i < NAME_FIELD_SIZE; i++)
    differences += field[i] != STREAM_FIELD[i];
  return IsStreamField(field) || differences <= 2;
}

uint32_t UpdateCrc32(uint32_t crc, const uint8_t* bytes, size_t length) {
  // zlib's takes several bytes a step, where a byte at a time held back the
  // unpaced line. Given a null pointer (an empty buffer's) it answers 0.
  if (length == 0) return crc;
  return uint32_t(crc32_z(crc, bytes, length));
}

bool FormStreamName(const char* path, char* name, bool report) {
  std::string utf8 = ConvertNameToUtf8(FindBaseName(path));
  const char* refused = nullptr;
  if (utf8.size() > STREAM_NAME_MAX) {
    refused = "its name is longer than 255 bytes";
  } else if (!IsPlainFileName(utf8.c_str()) || !HasNoC1Controls(utf8.c_str())) {
    refused = "a receiver would refuse its name";
  }
  if (refused == nullptr) {
    memcpy(name, utf8.c_str(), utf8.size() + 1);
    return true;
  }
  if (report) {
    fprintf(stderr, "Couldn't send %s: %s \"%s\"\n", path, refused,
            EscapeFileName(utf8.c_str()).c_str());
  }
  name[0] = '\0';
  return false;
}

// ---- frames ----

// A frame: SYNC, a header of type, sequence and payload length with a
// 16-bit check of its own, then the payload and a CRC-32 of header and
// payload. A damaged length fails the header's check, so it cannot swallow
// the frames after it; a reader hunts for the next SYNC after garbage.
#define SYNC_0 0xF3
#define SYNC_1 0x5C
#define HEADER_SIZE 8  // SYNC_0 SYNC_1 type sequence length(2) check(2)
#define TRAILER_SIZE 4
#define DATA_MAX 8192
#define DATA_MIN 128
#define PAYLOAD_MAX (8 + DATA_MAX)
static_assert(STREAM_FRAME_MAX == HEADER_SIZE + PAYLOAD_MAX + TRAILER_SIZE, "longest frame");

enum FrameType : uint8_t {
  FRAME_FILE = 'F',     // sender: size 8, mtime 8, mode 4, name
  FRAME_ACCEPT = 'A',   // receiver: offset 8 (where the data starts: 0)
  FRAME_DECLINE = 'N',  // receiver: the file cannot be stored; receive mode ends
  FRAME_DATA = 'D',     // sender: offset 8, bytes; sequence: the sender's epoch
  FRAME_ACK = 'K',      // receiver: offset 8, every byte before it stored
  FRAME_RESEND = 'R',   // receiver: offset 8, send again from there; sequence: epoch seen
  FRAME_END = 'E',      // sender: size 8, CRC-32 of the whole file 4
  FRAME_CANCEL = 'C',   // sender: the file could not be read; drop it
  FRAME_STORED = 'S',   // receiver: size 8, CRC-32 4: the file is in place
  FRAME_FAILED = 'X',   // receiver: reason 1: the file was not stored
  FRAME_BYE = 'B',      // sender: the last answer arrived
};

enum FailReason : uint8_t {
  FAILED_WRITE = 1,      // the receiver could not write the file
  FAILED_CHECK = 2,      // the whole-file check did not match
  FAILED_CANCELLED = 3,  // the sender cancelled the file
};

struct Frame {
  uint8_t type;
  uint8_t sequence;
  uint16_t length;
  uint8_t payload[PAYLOAD_MAX];
};

// What the line brought besides frames, while reading them.
struct LineWatch {
  bool heard;  // some byte came
};

#define FRAME_DAMAGED 2  // ReadFrame: the header passed its check, the payload not
#define FRAME_OPENING 3  // ReadFrame: PREAMBLE and START came between frames
// ReadFrame: a lone DECLINE byte, then silence: a receiver that read the
// stream field as a classic name it refused.
#define FRAME_DECLINE_BYTE 4
// The longest silence inside a frame: a character at 50 baud, with room.
#define FRAME_GAP_MS 1000

static void PutUint(uint8_t* at, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; i--, value >>= 8)
    at[i] = uint8_t(value);
}

static uint64_t GetUint(const uint8_t* at, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; i++)
    value = value << 8 | at[i];
  return value;
}

// The header's own check covers type, sequence and length.
static uint16_t CheckHeader(const uint8_t* header) {
  return uint16_t(UpdateCrc32(0, header + 2, 4));
}

static bool IsFrameHeader(const uint8_t* header) {
  return header[0] == SYNC_0 && header[1] == SYNC_1 &&
         GetUint(header + 6, 2) == CheckHeader(header) && GetUint(header + 4, 2) <= PAYLOAD_MAX;
}

static int WriteFrame(PortHandle port, uint8_t type, uint8_t sequence, const uint8_t* payload,
                      uint16_t length) {
  uint8_t header[HEADER_SIZE] = {SYNC_0, SYNC_1, type, sequence};
  PutUint(header + 4, length, 2);
  PutUint(header + 6, CheckHeader(header), 2);
  uint8_t trailer[TRAILER_SIZE];
  PutUint(trailer, UpdateCrc32(UpdateCrc32(0, header + 2, 4), payload, length), 4);
  if (WriteBytes(port, header, HEADER_SIZE) == PORT_LOST ||
      WriteBytes(port, payload, length) == PORT_LOST ||
      WriteBytes(port, trailer, TRAILER_SIZE) == PORT_LOST) {
    return PORT_LOST;
  }
  return 0;
}

// A frame whose payload is one offset.
static int WriteOffsetFrame(PortHandle port, uint8_t type, uint8_t sequence, uint64_t offset) {
  uint8_t payload[8];
  PutUint(payload, offset, 8);
  return WriteFrame(port, type, sequence, payload, 8);
}

// Hunts for the next frame header, byte by byte through garbage: 1 with
// the header whole, FRAME_OPENING as soon as a sender's opening has come
// (a sender that started again, or the next file's), FRAME_DECLINE_BYTE
// for a DECLINE alone, 0 when a byte did not follow in time or garbage has
// kept coming for longer than wait_ms, or PORT_LOST.
static int HuntHeader(PortHandle port, uint8_t* header, uint32_t wait_ms,
                      Clock::time_point started) {
  static const uint8_t kOpening[PREAMBLE_SIZE + 1] = {0x16, 'V', 'C', 'T', START};
  uint8_t recent[PREAMBLE_SIZE + 1] = {};
  size_t have = 0;   // header bytes so far
  size_t count = 0;  // bytes taken
  for (;;) {
    size_t wanted = have < 2 ? 1 : HEADER_SIZE - have;
    int got = ReadBytes(port, header + have, wanted, FRAME_GAP_MS);
    if (got == 0 && count == 1 && header[0] == DECLINE) return FRAME_DECLINE_BYTE;
    if (got != 1) return got;
    count += wanted;
    if (wanted == 1) {
      memmove(recent, recent + 1, PREAMBLE_SIZE);
      recent[PREAMBLE_SIZE] = header[have];
      if (memcmp(recent, kOpening, sizeof recent) == 0) return FRAME_OPENING;
    }
    have += wanted;
    bool synced = have < 2 || (header[0] == SYNC_0 && header[1] == SYNC_1);
    if (synced && have < HEADER_SIZE) continue;
    if (synced && IsFrameHeader(header)) return 1;
    memmove(header, header + 1, --have);  // garbage: on by one byte
    if (MillisecondsSince(started) > std::max<uint32_t>(wait_ms, 50)) return 0;
  }
}

// The next frame off the line: 1 for a whole frame that passed both
// checks, FRAME_DAMAGED, FRAME_OPENING, 0 when none began within wait_ms
// (or one stopped short, or garbage kept coming that long), or PORT_LOST.
static int ReadFrame(PortHandle port, Frame* frame, uint32_t wait_ms, LineWatch* watch) {
  auto started = Clock::now();
  int waiting = WaitForByte(port, wait_ms);
  if (waiting != 1) return waiting;
  watch->heard = true;
  uint8_t header[HEADER_SIZE];
  int got = HuntHeader(port, header, wait_ms, started);
  if (got != 1) return got;
  frame->type = header[2];
  frame->sequence = header[3];
  frame->length = uint16_t(GetUint(header + 4, 2));
  uint8_t trailer[TRAILER_SIZE];
  got = ReadBytes(port, frame->payload, frame->length, FRAME_GAP_MS);
  if (got == 1) got = ReadBytes(port, trailer, TRAILER_SIZE, FRAME_GAP_MS);
  if (got != 1) return got;
  uint32_t crc = UpdateCrc32(UpdateCrc32(0, header + 2, 4), frame->payload, frame->length);
  return crc == GetUint(trailer, 4) ? 1 : FRAME_DAMAGED;
}

// The payload length each type must have; -1 for the variable ones.
static int FixedLength(uint8_t type) {
  switch (type) {
    case FRAME_ACCEPT:
    case FRAME_ACK:
    case FRAME_RESEND:
      return 8;
    case FRAME_END:
    case FRAME_STORED:
      return 12;
    case FRAME_FAILED:
      return 1;
    case FRAME_DECLINE:
    case FRAME_CANCEL:
    case FRAME_BYE:
      return 0;
    default:
      return -1;
  }
}

// A frame of a known type with the length that type takes.
static bool IsWellFormed(const Frame& frame) {
  int fixed = FixedLength(frame.type);
  if (fixed >= 0) return frame.length == fixed;
  if (frame.type == FRAME_DATA) return frame.length > 8;
  return frame.type == FRAME_FILE && frame.length > 20 && frame.length <= 20 + STREAM_NAME_MAX;
}

// ---- timing ----

// How often the progress line is drawn while data streams.
#define DRAW_INTERVAL_MS 200

// Draws the line if it is time, or if forced; the error flag as classic.
struct ProgressLine {
  const char* name;
  uint64_t total;
  Clock::time_point drawn;
  bool error;  // something was refused since the last drawing
};

static void DrawProgress(ProgressLine* line, uint64_t done, bool force) {
  if (!force && !line->error && MillisecondsSince(line->drawn) < DRAW_INTERVAL_MS) return;
  PrintProgress(line->name, line->total, done, line->error);
  line->drawn = Clock::now();
  line->error = false;
}

// ---- sender ----

// The most data in flight, unanswered, and the ring that keeps it for
// sending again: data is read from the file once.
#define WINDOW_MAX (256 * 1024)
#define RING_SIZE (WINDOW_MAX + DATA_MAX)
// The receiver's answer is awaited this long at least.
#define RETRY_MIN_MS 200

struct Sender {
  PortHandle port;
  FILE* file;
  const char* path;
  uint64_t size;
  uint32_t stall_limit_ms;
  std::vector<uint8_t> ring;  // file bytes [acked, read), at offset % RING_SIZE
  uint64_t acked;             // every byte before it stored at the receiver
  uint64_t sent;              // the next byte to send
  uint64_t highest;           // the end of the furthest data sent: no answer goes beyond it
  uint64_t read;              // the next byte to read from the file
  uint32_t crc;               // of the file's bytes [0, read)
  int read_error;             // an errno, or -1 for a file that ended early
  uint8_t epoch;              // counts rewinds: a RESEND of another epoch is stale
  uint32_t frame_max;         // data bytes in a frame now
  uint64_t window;            // bytes in flight now
  uint64_t good_run;          // bytes acknowledged since the last rewind
  int refusals;               // rewinds since the last progress
  bool heard_since_rewind;
  uint32_t srtt_ms;  // smoothed time from sending a frame to its answer; 0: none yet
  uint32_t retry_ms;
  uint64_t timed_end;  // a frame ending here is being timed, or 0
  Clock::time_point timed_at, last_heard;
  Clock::time_point started;     // the FILE frame first went out
  Clock::time_point progressed;  // the file last moved forward
  Clock::time_point waiting;     // the retry time runs from here: a frame sent or a useful answer
  uint8_t offer[20 + STREAM_NAME_MAX];  // the FILE frame's payload
  uint16_t offer_length;
  bool offer_out;     // FILE sent since the last rewind
  bool accepted;      // the receiver has the file open: the progress line is drawn
  bool closing_out;   // END or CANCEL sent since the last rewind
  bool closing_sent;  // END or CANCEL went out at least once
  bool late_answers;  // sent again after a closing: more last answers may be on their way
  ProgressLine line;
};

// Until an answer has been timed: half the stall limit, which is at least
// two rounds of 1028 bytes at the line's speed, so the first window (two
// frames of 1024) is answered in time however slow the line.
static uint32_t StartingRetryMs(uint32_t stall_limit_ms) {
  return std::max<uint32_t>(2000, stall_limit_ms / 2);
}

// Fills the ring from the file up to the window's end, for the whole-file
// check in order; a file that yields less than its size is padded (and
// cancelled later).
static void ReadAhead(Sender* s, uint64_t until) {
  until = std::min(until, s->size);
  while (s->read < until) {
    size_t at = size_t(s->read % RING_SIZE);
    size_t n = size_t(std::min<uint64_t>(until - s->read, RING_SIZE - at));
    uint8_t* into = s->ring.data() + at;
    size_t got = s->read_error == 0 ? fread(into, 1, n, s->file) : 0;
    if (got < n && s->read_error == 0) s->read_error = ferror(s->file) ? (errno ? errno : EIO) : -1;
    memset(into + got, 0, n - got);
    s->crc = UpdateCrc32(s->crc, into, n);
    s->read += n;
  }
}

static int SendDataFrame(Sender* s) {
  uint32_t n = uint32_t(std::min<uint64_t>(s->frame_max, s->size - s->sent));
  ReadAhead(s, s->sent + n);
  uint8_t payload[PAYLOAD_MAX];
  PutUint(payload, s->sent, 8);
  size_t at = size_t(s->sent % RING_SIZE);
  size_t first = std::min<size_t>(n, RING_SIZE - at);
  memcpy(payload + 8, s->ring.data() + at, first);
  memcpy(payload + 8 + first, s->ring.data(), n - first);
  if (WriteFrame(s->port, FRAME_DATA, s->epoch, payload, uint16_t(8 + n)) == PORT_LOST) {
    return PORT_LOST;
  }
  if (s->timed_end == 0) {
    s->timed_end = s->sent + n;
    s->timed_at = Clock::now();
  }
  s->sent += n;
  s->highest = std::max(s->highest, s->sent);
  s->waiting = Clock::now();
  return 0;
}

// END with the whole file's check, or CANCEL for a file that could not be
// read whole.
static int SendClosing(Sender* s) {
  s->closing_sent = true;
  s->closing_out = true;
  s->waiting = Clock::now();
  if (s->read_error != 0) return WriteFrame(s->port, FRAME_CANCEL, s->epoch, nullptr, 0);
  uint8_t payload[12];
  PutUint(payload, s->size, 8);
  PutUint(payload + 8, s->crc, 4);
  return WriteFrame(s->port, FRAME_END, s->epoch, payload, 12);
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
  s->frame_max = std::max<uint32_t>(DATA_MIN, s->frame_max / 2);
  s->window = std::max<uint64_t>(2 * s->frame_max, in_flight / 2);
  s->good_run = 0;
  s->timed_end = 0;  // an answer after a resend times neither copy
  s->refusals++;
  s->heard_since_rewind = false;
  s->waiting = Clock::now();
  s->line.error = true;
}

// True when a frame of n bytes takes at most a quarter of the stall limit at
// the rate this file has moved so far, so that on a slow line each frame
// still shows the receiver progress well within its limit.
static bool IsQuickEnough(const Sender* s, uint64_t n) {
  if (s->stall_limit_ms == NO_STALL_LIMIT) return true;
  return n * MillisecondsSince(s->started) <= s->acked * (s->stall_limit_ms / 4);
}

static void NoteProgress(Sender* s, uint64_t offset) {
  uint64_t gained = offset - s->acked;
  s->acked = offset;
  s->sent = std::max(s->sent, offset);
  s->refusals = 0;
  s->progressed = s->waiting = Clock::now();
  s->window = std::min<uint64_t>(WINDOW_MAX, s->window + gained);
  s->good_run += gained;
  if (s->good_run >= 8ull * s->frame_max && s->frame_max < DATA_MAX &&
      IsQuickEnough(s, 2ull * s->frame_max)) {
    s->frame_max *= 2;
    s->good_run = 0;
  }
  if (s->timed_end != 0 && offset >= s->timed_end) {
    uint32_t sample = MillisecondsSince(s->timed_at);
    s->srtt_ms = s->srtt_ms == 0 ? sample : (7 * s->srtt_ms + sample) / 8;
    s->retry_ms = std::max<uint32_t>(RETRY_MIN_MS, 2 * s->srtt_ms + 100);
    s->timed_end = 0;
  }
}

// The receiver has the file open: ACCEPT said so, or an answer about its
// data or its end did, when ACCEPT itself was lost.
static void NoteAccepted(Sender* s) {
  if (s->accepted) return;
  PrintProgress(s->path, s->size, 0, 0);
  s->accepted = true;
  s->offer_out = true;
  s->progressed = s->waiting = Clock::now();
}

#define SENDING_ON 0      // HandleAnswer: go on
#define SENDING_DONE 1    // the receiver stored the file
#define SENDING_FAILED 2  // the receiver did not store it: already reported
#define SENDING_DECLINED 3

// Acts on one answer.
static int HandleAnswer(Sender* s, const Frame& answer) {
  switch (answer.type) {
    case FRAME_ACK:
    case FRAME_RESEND: {
      // Any offset up to the furthest data sent counts, also above a rewind:
      // the receiver may hold more than what was sent since.
      uint64_t offset = GetUint(answer.payload, 8);
      if (offset > s->highest) return SENDING_ON;
      // RESEND(0) may be a receiver that has yet to open the file asking
      // for the FILE frame again.
      if (answer.type == FRAME_ACK || offset > 0) NoteAccepted(s);
      if (offset > s->acked) NoteProgress(s, offset);
      // A RESEND of an earlier epoch came before the rewind it asked for.
      if (answer.type == FRAME_RESEND && answer.sequence == s->epoch) Rewind(s, offset);
      return SENDING_ON;
    }
    case FRAME_ACCEPT:
      NoteAccepted(s);
      return SENDING_ON;
    case FRAME_DECLINE:
      return s->accepted ? SENDING_ON : SENDING_DECLINED;
    case FRAME_STORED:
      // The receiver checked the whole file against the same CRC-32: it holds
      // every byte, whatever answers to the data were lost on the way.
      if (s->read != s->size || s->read_error != 0 || GetUint(answer.payload, 8) != s->size ||
          GetUint(answer.payload + 8, 4) != s->crc) {
        return SENDING_ON;
      }
      NoteAccepted(s);
      if (s->acked < s->size) NoteProgress(s, s->size);
      return SENDING_DONE;
    case FRAME_FAILED:
      EndProgress(s->accepted);
      if (s->read_error != 0) {
        ReportBadSource(s->path, s->read_error);
      } else if (answer.payload[0] == FAILED_CHECK) {
        fprintf(stderr, "Gave up sending %s: the copy received failed the whole-file check\n",
                s->path);
      } else {
        fprintf(stderr, "Gave up sending %s: the receiver could not store it\n", s->path);
      }
      return SENDING_FAILED;
    default:
      return SENDING_ON;
  }
}

// The file has not moved forward for the stall limit: the receiver was
// silent, or kept the line busy without moving it.
static int ReportNoProgress(Sender* s) {
  bool silent = MillisecondsSince(s->last_heard) >= s->stall_limit_ms;
  return ReportStall(std::string("sending ") + s->path, "receiver", s->stall_limit_ms, s->accepted,
                     silent);
}

// No useful answer came in the retry time: sends again from the last
// answer, or the closing frame, and waits longer next time.
static void HandleSilence(Sender* s) {
  bool counted = s->heard_since_rewind;
  Rewind(s, s->acked);
  if (!counted) s->refusals--;  // silence is the stall limit's to judge
  s->retry_ms =
      std::min<uint32_t>(std::max<uint32_t>(s->stall_limit_ms / 2, RETRY_MIN_MS), 2 * s->retry_ms);
}

// Offers the file and streams the data and the closing frame until the
// receiver's last answer. The first window goes out with the FILE frame,
// before the receiver accepts: a small file then costs one round trip
// less. Until ACCEPT, each rewind sends FILE again.
static int StreamData(Sender* s) {
  Frame answer;
  for (;;) {
    if (!s->offer_out) {
      if (WriteFrame(s->port, FRAME_FILE, 0, s->offer, s->offer_length) == PORT_LOST) {
        return AbandonTransfer(s->file, false);
      }
      s->offer_out = true;
      s->waiting = Clock::now();
    }
    bool can_send = s->sent < s->size && s->sent - s->acked < s->window;
    if (can_send) {
      if (SendDataFrame(s) == PORT_LOST) return AbandonTransfer(s->file, s->accepted);
    } else if (s->sent == s->size && !s->closing_out) {
      if (SendClosing(s) == PORT_LOST) return AbandonTransfer(s->file, s->accepted);
    }
    can_send = s->sent < s->size && s->sent - s->acked < s->window;
    // The retry time runs from the last frame sent or useful answer: answers
    // that move nothing (an old RESEND repeated) must not hide a silence.
    uint32_t waited = MillisecondsSince(s->waiting);
    uint32_t wait = can_send || waited >= s->retry_ms ? 0 : s->retry_ms - waited;
    LineWatch watch = {false};
    int got = ReadFrame(s->port, &answer, wait, &watch);
    if (got == PORT_LOST) return AbandonTransfer(s->file, s->accepted);
    if (watch.heard) {
      s->last_heard = Clock::now();
      s->heard_since_rewind = true;
    }
    int state = SENDING_ON;
    if (got == FRAME_DECLINE_BYTE && !s->accepted) state = SENDING_DECLINED;
    if (got == 1 && IsWellFormed(answer)) state = HandleAnswer(s, answer);
    if (state == SENDING_DECLINED) {
      printf("file %s declined by receiver\n", s->path);
      fclose(s->file);
      return TRANSFER_DECLINED;
    }
    if (state != SENDING_ON) return state == SENDING_DONE ? TRANSFER_DONE : TRANSFER_FAILED;
    if (s->accepted) DrawProgress(&s->line, s->acked, false);
    if (s->stall_limit_ms != NO_STALL_LIMIT &&
        MillisecondsSince(s->progressed) >= s->stall_limit_ms) {
      fclose(s->file);
      return ReportNoProgress(s);
    }
    if (!can_send && MillisecondsSince(s->waiting) >= s->retry_ms) HandleSilence(s);
    if (s->refusals >= MAX_REFUSALS) {
      fclose(s->file);
      return ReportRefusals(std::string("sending ") + s->path, "the receiver refused a block");
    }
  }
}

// Forms the FILE frame's payload: size, time, mode and name.
static void FormOffer(Sender* s, const char* name) {
  struct stat info;
  bool known = fstat(fileno(s->file), &info) == 0;
  size_t name_length = strlen(name);
  PutUint(s->offer, s->size, 8);
  PutUint(s->offer + 8, known ? uint64_t(int64_t(info.st_mtime)) : 0, 8);
  PutUint(s->offer + 16, known ? uint32_t(info.st_mode & 0777) : 0644, 4);
  memcpy(s->offer + 20, name, name_length);
  s->offer_length = uint16_t(20 + name_length);
}

int SendFileStreamed(PortHandle port, FILE* file, const char* path, const char* name, uint64_t size,
                     uint32_t stall_limit_ms) {
  Sender s = {};
  s.port = port;
  s.file = file;
  s.path = path;
  s.size = size;
  s.stall_limit_ms = stall_limit_ms;
  s.ring.resize(RING_SIZE);
  s.frame_max = 1024;
  s.window = 2 * 1024;
  s.retry_ms = StartingRetryMs(stall_limit_ms);
  s.last_heard = s.started = s.progressed = s.waiting = Clock::now();
  s.line = {path, size, Clock::now(), false};
  FormOffer(&s, name);
  if (WriteBytes(port, reinterpret_cast<const uint8_t*>(STREAM_FIELD), NAME_FIELD_SIZE) ==
      PORT_LOST) {
    return AbandonTransfer(file, false);
  }
  int result = StreamData(&s);
  if (result != TRANSFER_DONE && result != TRANSFER_FAILED) return result;
  // Answers to frames sent again after the closing one may still be on
  // their way.
  if (s.late_answers && WaitForQuietLine(port, s.retry_ms) == PORT_LOST) {
    return AbandonTransfer(file, result == TRANSFER_DONE);
  }
  if (WriteFrame(port, FRAME_BYE, 0, nullptr, 0) == PORT_LOST) {
    return AbandonTransfer(file, result == TRANSFER_DONE);
  }
  if (result == TRANSFER_DONE) {
    PrintProgress(path, size, size, 0);
    EndProgress(true);
  }
  fclose(file);
  return result;
}

// ---- receiver ----

struct Receiver {
  PortHandle port;
  FILE* file;
  const char* name;
  uint64_t size;
  uint32_t stall_limit_ms;
  uint64_t expected;  // every byte before it stored
  uint32_t crc;       // of the bytes stored
  int write_error;
  uint32_t progress_limit_ms;  // the stall limit and one longest frame's time
  int refusals;                // RESENDs since the last progress
  bool asked;                  // a RESEND is outstanding
  uint8_t asked_epoch;         // the sender's epoch it was sent in
  Clock::time_point asked_at, last_heard;
  Clock::time_point progressed;  // the file last moved forward
  ProgressLine line;
  SeenOpening* opened;  // set when a sender's next opening comes
};

// How long a RESEND waits for the data it asked for before it is sent again.
#define RESEND_AGAIN_MS 500
// How long the receiver lingers after its last answer while the line is
// quiet, to answer a closing frame sent again: longer than a sender waits
// for that answer before it sends something again, which its retry time,
// doubled at each silence, may make half the stall limit.
#define LINGER_MS 5000
static uint32_t ComputeLingerQuiet(uint32_t stall_limit_ms) {
  return std::max<uint32_t>(LINGER_MS, stall_limit_ms / 2 + 1000);
}

#define STREAM_CLOSED 1       // ReceiveData: END came and the file matches it
#define STREAM_MISMATCH (-4)  // END came and the file differs from it
#define STREAM_CANCELLED (-5)
#define STREAM_WRITE_FAILED (-6)
#define STREAM_REOPENED (-8)  // a sender's opening came: it started again

// Asks for the data from the next byte wanted; a frame of the same epoch
// as the last request is still the stream that request cut short.
static int AskResend(Receiver* r, uint8_t epoch, bool again) {
  if (r->asked && !again && epoch == r->asked_epoch) return 0;
  if (WriteOffsetFrame(r->port, FRAME_RESEND, epoch, r->expected) == PORT_LOST) return PORT_LOST;
  r->asked = true;
  r->asked_epoch = epoch;
  r->asked_at = Clock::now();
  r->refusals++;
  r->line.error = true;
  DrawProgress(&r->line, r->expected, true);
  return r->refusals >= MAX_REFUSALS ? BLOCK_REFUSED : 0;
}

static int StoreData(Receiver* r, const Frame& frame) {
  const uint8_t* data = frame.payload + 8;
  size_t n = frame.length - 8u;
  if (n > r->size - r->expected) return 0;  // beyond the announced size: damaged
  if (fwrite(data, 1, n, r->file) != n) {
    r->write_error = errno != 0 ? errno : EIO;
    return STREAM_WRITE_FAILED;
  }
  r->crc = UpdateCrc32(r->crc, data, n);
  r->expected += n;
  r->progressed = Clock::now();
  r->refusals = 0;
  r->asked = false;
  DrawProgress(&r->line, r->expected, false);
  // The last data is answered by STORED, after the END that follows it.
  if (r->expected == r->size) return 0;
  return WriteOffsetFrame(r->port, FRAME_ACK, 0, r->expected);
}

// Acts on one whole frame; 0 to go on, or how the data phase ended.
static int HandleFrame(Receiver* r, const Frame& frame) {
  switch (frame.type) {
    case FRAME_DATA: {
      uint64_t offset = GetUint(frame.payload, 8);
      if (offset == r->expected) return StoreData(r, frame);
      if (offset > r->expected) return AskResend(r, frame.sequence, false);
      return WriteOffsetFrame(r->port, FRAME_ACK, 0, r->expected);  // a copy: say how far
    }
    case FRAME_END:
      if (r->expected < r->size) return AskResend(r, frame.sequence, true);
      if (GetUint(frame.payload, 8) != r->size) return STREAM_MISMATCH;
      return GetUint(frame.payload + 8, 4) == r->crc ? STREAM_CLOSED : STREAM_MISMATCH;
    case FRAME_CANCEL:
      return STREAM_CANCELLED;
    case FRAME_FILE:  // the ACCEPT was lost
      if (r->expected != 0) return 0;
      return WriteOffsetFrame(r->port, FRAME_ACCEPT, 0, 0);
    default:
      return 0;
  }
}

// Receives, checks and stores the data up to the closing frame.
static int ReceiveData(Receiver* r) {
  Frame frame;
  for (;;) {
    uint32_t wait = r->asked ? RESEND_AGAIN_MS : r->stall_limit_ms;
    if (r->stall_limit_ms == NO_STALL_LIMIT && !r->asked) wait = 0;
    LineWatch watch = {false};
    int got = ReadFrame(r->port, &frame, wait == 0 ? UINT32_MAX : wait, &watch);
    if (got == PORT_LOST) return PORT_LOST;
    if (watch.heard) r->last_heard = Clock::now();
    int state = 0;
    if (got == 0) {
      if (r->asked && MillisecondsSince(r->asked_at) >= RESEND_AGAIN_MS) {
        state = AskResend(r, r->asked_epoch, true);
      }
    } else if (got == FRAME_OPENING) {
      return STREAM_REOPENED;
    } else if (got == FRAME_DAMAGED) {
      state = AskResend(r, frame.sequence, frame.type != FRAME_DATA);
    } else if (got == 1 && IsWellFormed(frame)) {
      state = HandleFrame(r, frame);
    }
    if (state != 0) return state;
    // A sender that keeps the line busy without moving the file forward is
    // given up as a silent one is.
    if (r->stall_limit_ms != NO_STALL_LIMIT &&
        (MillisecondsSince(r->last_heard) >= r->stall_limit_ms ||
         MillisecondsSince(r->progressed) >= r->progress_limit_ms)) {
      return LINE_STALLED;
    }
  }
}

// After the last answer: answers a closing frame sent again (its answer was
// lost), and data sent again after a rewind (the sender may wait for an
// answer before it closes again), until the sender says goodbye, a sender's
// next opening comes, the line has been quiet for quiet_ms, or limit_ms
// has passed. 0, or PORT_LOST.
static int Linger(PortHandle port, uint8_t type, const uint8_t* payload, uint16_t length,
                  uint32_t quiet_ms, uint32_t limit_ms, SeenOpening* opened) {
  auto started = Clock::now();
  auto answered = started;
  int answered_epoch = -1;  // of the data last answered
  Frame frame;
  while (MillisecondsSince(started) < limit_ms) {
    LineWatch watch = {false};
    int got = ReadFrame(port, &frame, quiet_ms, &watch);
    if (got == PORT_LOST) return PORT_LOST;
    if (got == FRAME_OPENING) *opened = STREAM_OPENING_SEEN;
    if (got == 0 || got == FRAME_OPENING) return 0;
    if (got != 1 || !IsWellFormed(frame)) continue;
    if (frame.type == FRAME_BYE) return 0;
    // A window of data sent again is answered once, not frame by frame.
    bool data = frame.type == FRAME_DATA && (frame.sequence != answered_epoch ||
                                             MillisecondsSince(answered) >= RESEND_AGAIN_MS);
    if (data || frame.type == FRAME_END || frame.type == FRAME_CANCEL) {
      if (WriteFrame(port, type, 0, payload, length) == PORT_LOST) return PORT_LOST;
      answered = Clock::now();
      if (frame.type == FRAME_DATA) answered_epoch = frame.sequence;
    }
  }
  return 0;
}

// Answers the file's fate and lingers; returns result, which stands
// whatever the port does now: a lost port shows at the next read.
static int AnswerLast(Receiver* r, uint8_t type, const uint8_t* payload, uint16_t length,
                      int result) {
  // Lingering is bounded too: a sender that keeps talking holds it no longer
  // than two stall limits, or six quiet spells where there is none.
  uint32_t quiet = ComputeLingerQuiet(r->stall_limit_ms);
  uint32_t limit = r->stall_limit_ms != NO_STALL_LIMIT ? 2 * r->stall_limit_ms : 6 * quiet;
  if (WriteFrame(r->port, type, 0, payload, length) != PORT_LOST) {
    Linger(r->port, type, payload, length, quiet, limit, r->opened);
  }
  return result;
}

// A sender that started again while a file was under way: its next START
// comes soon, and finds the receiver waiting.
static int ReportSenderStartedAgain(const std::string& what, bool line_drawn) {
  EndProgress(line_drawn);
  fprintf(stderr, "Gave up %s: the sender started again\n", what.c_str());
  return TRANSFER_NOT_STORED;
}

// Says why the file was not stored and answers so.
static int RefuseLast(Receiver* r, FailReason reason) {
  EndProgress(true);
  std::string what = std::string("receiving ") + r->name;
  if (reason == FAILED_WRITE) {
    fprintf(stderr, "Couldn't write %s: %s\n", r->name, strerror(r->write_error));
  } else if (reason == FAILED_CHECK) {
    fprintf(stderr, "Gave up receiving %s: the whole-file check failed\n", r->name);
  } else {
    fprintf(stderr, "Gave up receiving %s: the sender could not read it whole\n", r->name);
  }
  uint8_t payload[1] = {reason};
  return AnswerLast(r, FRAME_FAILED, payload, 1, TRANSFER_NOT_STORED);
}

// The FILE frame: its facts, and a name a receiver may store.
struct Offer {
  uint64_t size;
  int64_t mtime;
  uint32_t mode;
  char name[STREAM_NAME_MAX + 1];
};

// Reads the FILE frame that follows the field. 0, PORT_LOST, LINE_STALLED
// (*silent tells whether anything came) or STREAM_REOPENED.
static int ReadOffer(PortHandle port, uint32_t stall_limit_ms, Offer* offer, bool* silent) {
  Frame frame;
  auto started = Clock::now();
  auto heard = started;
  auto asked_at = started;
  int asked_epoch = -1;  // the sender's epoch last asked for the offer
  for (;;) {
    LineWatch watch = {false};
    uint32_t wait = stall_limit_ms == NO_STALL_LIMIT ? UINT32_MAX : stall_limit_ms;
    int got = ReadFrame(port, &frame, wait, &watch);
    if (got == PORT_LOST) return PORT_LOST;
    if (watch.heard) heard = Clock::now();
    if (got == FRAME_OPENING) return STREAM_REOPENED;
    if (got == 1 && frame.type == FRAME_FILE && IsWellFormed(frame)) break;
    // A damaged frame, or the sender's data before its offer: the offer was
    // damaged or lost. Asked for again in that frame's epoch, the sender goes
    // back to it at once; once an epoch, or again after RESEND_AGAIN_MS.
    bool sent_on =
        got == 1 && IsWellFormed(frame) && (frame.type == FRAME_DATA || frame.type == FRAME_END);
    if ((got == FRAME_DAMAGED || sent_on) &&
        (frame.sequence != asked_epoch || MillisecondsSince(asked_at) >= RESEND_AGAIN_MS)) {
      if (WriteOffsetFrame(port, FRAME_RESEND, frame.sequence, 0) == PORT_LOST) return PORT_LOST;
      asked_epoch = frame.sequence;
      asked_at = Clock::now();
    }
    // Garbage, or frames other than FILE, are no more progress than silence.
    if (stall_limit_ms != NO_STALL_LIMIT && MillisecondsSince(started) >= stall_limit_ms) {
      *silent = MillisecondsSince(heard) >= stall_limit_ms;
      return LINE_STALLED;
    }
  }
  offer->size = GetUint(frame.payload, 8);
  offer->mtime = int64_t(GetUint(frame.payload + 8, 8));
  offer->mode = uint32_t(GetUint(frame.payload + 16, 4));
  size_t length = frame.length - 20u;
  memcpy(offer->name, frame.payload + 20, length);
  offer->name[length] = '\0';
  // A NUL would cut the name short into another one: shown, and refused,
  // as the control byte it is.
  for (size_t i = 0; i < length; i++) {
    if (offer->name[i] == '\0') offer->name[i] = '\x01';
  }
  return 0;
}

// A name the streaming exchange may carry: UTF-8 with no C1 control, which
// the rules for every received name then check. False after reporting it.
static bool IsUtf8NameShown(const char* name) {
  if (IsValidUtf8(name) && HasNoC1Controls(name)) return true;
  fprintf(stderr, "Refusing file \"%s\": not a plain file name\n", EscapeFileName(name).c_str());
  return false;
}

int RecvFileStreamed(PortHandle port, uint32_t stall_limit_ms, uint32_t frame_ms,
                     SeenOpening* opened) {
  Offer offer;
  bool silent = true;
  int read = ReadOffer(port, stall_limit_ms, &offer, &silent);
  if (read == STREAM_REOPENED) *opened = STREAM_OPENING_SEEN;
  if (read == PORT_LOST) return AbandonTransfer(nullptr, false);
  if (read == LINE_STALLED) {
    return ReportStall("receiving an announced file", "sender", stall_limit_ms, false, silent);
  }
  if (read == STREAM_REOPENED)
    return ReportSenderStartedAgain("receiving an announced file", false);
  // A file refused is not the end of the run: the sender goes on with its
  // next one.
  std::string temp_name;
  FILE* file = IsUtf8NameShown(offer.name) ? OpenFileToStore(offer.name, &temp_name) : nullptr;
  if (file == nullptr) {
    return WriteFrame(port, FRAME_DECLINE, 0, nullptr, 0) == PORT_LOST ? TRANSFER_PORT_LOST
                                                                       : TRANSFER_NOT_STORED;
  }
  Receiver r = {};
  r.port = port;
  r.file = file;
  r.name = offer.name;
  r.size = offer.size;
  r.stall_limit_ms = stall_limit_ms;
  r.progress_limit_ms =
      uint32_t(std::min<uint64_t>(uint64_t(stall_limit_ms) + frame_ms, UINT32_MAX));
  r.last_heard = r.progressed = Clock::now();
  r.line = {offer.name, offer.size, Clock::now(), false};
  r.opened = opened;
  PrintProgress(offer.name, offer.size, 0, 0);
  int state = WriteOffsetFrame(port, FRAME_ACCEPT, 0, 0);
  if (state == 0) state = ReceiveData(&r);
  if (state != STREAM_CLOSED) {
    DiscardFile(file, temp_name);
    std::string what = std::string("receiving ") + offer.name;
    if (state == PORT_LOST) return AbandonTransfer(nullptr, true);
    if (state == LINE_STALLED) {
      silent = MillisecondsSince(r.last_heard) >= stall_limit_ms;
      return ReportStall(what, "sender", silent ? stall_limit_ms : r.progress_limit_ms, true,
                         silent);
    }
    if (state == BLOCK_REFUSED) return ReportRefusals(what, "a block failed its check");
    if (state == STREAM_REOPENED) {
      *opened = STREAM_OPENING_SEEN;
      return ReportSenderStartedAgain(what, true);
    }
    if (state == STREAM_WRITE_FAILED) return RefuseLast(&r, FAILED_WRITE);
    return RefuseLast(&r, state == STREAM_CANCELLED ? FAILED_CANCELLED : FAILED_CHECK);
  }
  // In place, data and name on the disk, before the sender hears so.
  r.write_error = ApplyFileFacts(file, offer.mtime, offer.mode);
  if (r.write_error == 0) r.write_error = SyncFile(file);
  if (r.write_error != 0) {
    DiscardFile(file, temp_name);
    return RefuseLast(&r, FAILED_WRITE);
  }
  r.write_error = StoreFile(file, temp_name, offer.name);
  if (r.write_error != 0) return RefuseLast(&r, FAILED_WRITE);
  DrawProgress(&r.line, r.size, true);
  EndProgress(true);
  uint8_t payload[12];
  PutUint(payload, r.size, 8);
  PutUint(payload + 8, r.crc, 4);
  return AnswerLast(&r, FRAME_STORED, payload, 12, TRANSFER_DONE);
}
