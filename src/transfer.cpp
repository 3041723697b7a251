#include "transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "exchange.h"
#include "names.h"
#include "progress.h"
#include "store.h"
#include "stream.h"

// ---- wire encoding ----

// A reader's silence limit is the port's: NO_STALL_LIMIT waits for ever.
static_assert(NO_STALL_LIMIT == 0, "ReadBytes waits for ever with a silence of 0");

static void EncodeWord(uint16_t value, uint8_t* bytes) {
  bytes[0] = uint8_t(value >> 8);
  bytes[1] = uint8_t(value);
}

static uint16_t DecodeWord(const uint8_t* bytes) {
  return uint16_t(bytes[0] << 8 | bytes[1]);
}

int WriteBlock(PortHandle port, const uint8_t* bytes, uint16_t length) {
  return WriteBytes(port, bytes, length) == PORT_LOST ? PORT_LOST : 0;
}

int WriteWord(PortHandle port, uint16_t value) {
  uint8_t bytes[2];
  EncodeWord(value, bytes);
  return WriteBlock(port, bytes, 2);
}

int WriteDword(PortHandle port, uint32_t value) {
  uint8_t bytes[4];
  EncodeWord(uint16_t(value >> 16), bytes);
  EncodeWord(uint16_t(value), bytes + 2);
  return WriteBlock(port, bytes, 4);
}

int WriteSummedBlock(PortHandle port, const uint8_t* bytes, uint16_t length, uint16_t checksum) {
  uint8_t frame[BLOCK_SIZE + 2];
  memcpy(frame, bytes, length);
  EncodeWord(checksum, frame + length);
  return WriteBlock(port, frame, uint16_t(length + 2));
}

int ReadBlock(PortHandle port, uint8_t* buffer, uint16_t length, uint32_t limit_ms) {
  int got = ReadBytes(port, buffer, length, limit_ms);
  return got == 1 ? 0 : got == 0 ? LINE_STALLED : PORT_LOST;
}

// The next byte of a file in progress: 0..255, PORT_LOST, or LINE_STALLED
// once the line has been silent for limit_ms.
static int ReadByteWithin(PortHandle port, uint32_t limit_ms) {
  uint8_t byte;
  int got = ReadBlock(port, &byte, 1, limit_ms);
  return got < 0 ? got : byte;
}

int32_t ReadWord(PortHandle port, uint32_t limit_ms) {
  uint8_t bytes[2];
  int got = ReadBlock(port, bytes, 2, limit_ms);
  return got < 0 ? got : DecodeWord(bytes);
}

int64_t ReadDword(PortHandle port, uint32_t limit_ms) {
  uint8_t bytes[4];
  int got = ReadBlock(port, bytes, 4, limit_ms);
  return got < 0 ? got : int64_t(DecodeWord(bytes)) << 16 | DecodeWord(bytes + 2);
}

int32_t ReadSummedBlock(PortHandle port, uint8_t* buffer, uint16_t length, uint32_t limit_ms) {
  uint8_t frame[BLOCK_SIZE + 2];
  int got = ReadBlock(port, frame, uint16_t(length + 2), limit_ms);
  if (got < 0) return got;
  memcpy(buffer, frame, length);
  return DecodeWord(frame + length);
}

uint16_t GenerateChecksum(const uint8_t* bytes, uint16_t length) {
  uint16_t sum = 0;
  uint16_t i = 0;
  for (; i + 1 < length; i += 2)
    sum += bytes[i] + 256 * bytes[i + 1];
  if (i < length) sum += 256 * bytes[i];
  return sum;
}

uint16_t MakeReplyWord(uint16_t received, uint16_t computed) {
  return uint16_t(received + uint16_t(~computed));
}

// ---- stall limit and quiet line ----

// The milliseconds that count characters take on the line, rounded up: a
// character is a start bit, the data bits, a parity bit if any, and the
// stop bits.
static uint64_t CountLineTime(uint64_t characters, uint32_t baudrate, const LineFormat& format) {
  if (baudrate == 0) return 0;  // a line that never moves adds no time of its own
  uint64_t bits =
      1 + uint64_t(format.data_bits) + (format.parity != 'N' ? 1 : 0) + uint64_t(format.stop_bits);
  return (characters * bits * 1000 + baudrate - 1) / baudrate;
}

uint32_t ComputeStallLimit(uint32_t baudrate, const LineFormat& format) {
  const uint64_t kShortestMs = 30000;
  const uint64_t kRoundBytes = BLOCK_SIZE + 4;  // a block, its checksum word, the reply word
  if (baudrate == 0) return NO_STALL_LIMIT;     // a line that never moves
  uint64_t four_rounds_ms = CountLineTime(4 * kRoundBytes, baudrate, format);
  return uint32_t(std::min<uint64_t>(std::max(kShortestMs, four_rounds_ms), UINT32_MAX));
}

// An FTDI USB adapter holds what it receives until 62 characters have
// collected or its latency timer, 16 ms unless set lower, runs out.
#define USB_LATENCY_MS 16

// Block data reaches a receiver in bursts, not character by character: a
// UART's receive FIFO hands over up to 14 characters at a time, a USB
// adapter what its latency timer caught, and the host takes a few
// milliseconds more to pass them on. So the line counts as quiet after a
// 0x99 once 16 characters, a latency timer and 4 ms have passed without a
// byte: 37 ms at 9600 baud, 22 ms at 115200. At most half the time between
// a sender's STARTs, so that the next START never breaks the quiet.
uint32_t ComputeOpeningQuiet(uint32_t baudrate, const LineFormat& format) {
  uint64_t quiet_ms = CountLineTime(16, baudrate, format) + USB_LATENCY_MS + 4;
  return uint32_t(std::min<uint64_t>(quiet_ms, QUICK_START_MS / 2));
}

// A sender out of step took our last answer for a refusal and sends its
// block again at once. Its first character is here after: our answer (2
// characters) and the latency timer of the sender's USB adapter, the
// sender turning round, the block's first character and our adapter's
// latency timer. At 9600 baud with 16 ms timers at both ends that is 3
// characters (3.1 ms) and 32 ms, plus the turn-round; 100 ms covers that
// for a busy host or a classic sender that draws its progress line first.
// 136 ms at 9600 baud, 133 ms at 115200. A sender in step writes only START
// (seen as one, and the watch ends, after the opening quiet) or nothing.
uint32_t ComputeWatchTime(uint32_t baudrate, const LineFormat& format) {
  uint64_t watch_ms = CountLineTime(3, baudrate, format) + 2 * USB_LATENCY_MS + 100;
  return uint32_t(std::min<uint64_t>(watch_ms, UINT32_MAX));
}

uint32_t ComputeQuietTime(uint32_t baudrate, const LineFormat& format) {
  uint32_t quiet_ms = ComputeOpeningQuiet(baudrate, format) + CountLineTime(10, baudrate, format);
  return std::max<uint32_t>(QUICK_START_MS / 2, std::min<uint32_t>(quiet_ms, QUICK_START_MS - 100));
}

ReceiverTimes ComputeReceiverTimes(uint32_t baudrate, const LineFormat& format) {
  uint64_t frame_ms =
      std::min<uint64_t>(CountLineTime(STREAM_FRAME_MAX, baudrate, format), UINT32_MAX);
  return {ComputeStallLimit(baudrate, format), ComputeOpeningQuiet(baudrate, format),
          ComputeWatchTime(baudrate, format), uint32_t(frame_ms)};
}

// Reads and drops bytes until READY, or READY_STREAM when the streaming
// exchange is offered: that byte, or PORT_LOST.
static int SkipUntilReady(PortHandle port, bool offer_stream) {
  for (;;) {
    int byte = ReadByte(port);
    if (byte == PORT_LOST || byte == READY || (offer_stream && byte == READY_STREAM)) return byte;
  }
}

// ---- sender ----

#ifndef O_BINARY
#define O_BINARY 0  // POSIX files have no text mode
#endif
#ifndef O_NONBLOCK
#define O_NONBLOCK 0  // Windows has no FIFOs to block on
#endif

// Checks a file before anything about it goes on the line, so that a file
// that cannot be sent is skipped without leaving the receiver waiting. What
// is checked is what was opened, and opening does not wait, so a path
// swapped for a FIFO cannot block the sender. Returns the open file, or
// nullptr after reporting why not.
static FILE* OpenFileToSend(const char* path, uint64_t* size) {
  int fd = open(path, O_RDONLY | O_BINARY | O_NONBLOCK);
  if (fd < 0) {
    int reason = errno;
    struct stat info;
    if (stat(path, &info) != 0) {
      fprintf(stderr, "Couldn't stat %s: %s\n", path, strerror(errno));
    } else if (!S_ISREG(info.st_mode)) {
      fprintf(stderr, "Couldn't send %s: not a regular file\n", path);  // a Windows folder
    } else {
      fprintf(stderr, "Couldn't open %s for reading: %s\n", path, strerror(reason));
    }
    return nullptr;
  }
  struct stat info;
  const char* refused = nullptr;
  if (fstat(fd, &info) != 0) {
    refused = strerror(errno);
  } else if (!S_ISREG(info.st_mode)) {
    refused = "not a regular file";
  }
  FILE* file = refused == nullptr ? fdopen(fd, "rb") : nullptr;
  if (file == nullptr) {
    if (refused == nullptr) refused = strerror(errno);
    fprintf(stderr, "Couldn't send %s: %s\n", path, refused);
    close(fd);
    return nullptr;
  }
  *size = uint64_t(info.st_size);
  return file;
}

// Ends a file the sender cannot finish: PORT_LOST or LINE_STALLED.
static int StopSending(int cause, FILE* file, const char* path, uint32_t limit_ms,
                       bool line_drawn) {
  if (cause == PORT_LOST) return AbandonTransfer(file, line_drawn);
  fclose(file);
  return ReportStall(std::string("sending ") + path, "receiver", limit_ms, line_drawn);
}

// Forms the name field a file is announced under. False, after reporting
// it if asked to, when a receiver would refuse that name: declining, it
// would leave receive mode and the files after this one could not be sent.
static bool FormNameField(const char* path, char* field, bool report) {
  TruncFilename8Dot3(FindBaseName(path), field, NAME_FIELD_SIZE);
  char name[NAME_FIELD_SIZE + 1];
  memcpy(name, field, NAME_FIELD_SIZE);
  name[NAME_FIELD_SIZE] = '\0';
  if (IsPlainFileName(name)) return true;
  if (report) {
    fprintf(stderr, "Couldn't send %s: a receiver would refuse its name \"%s\"\n", path,
            EscapeFileName(name).c_str());
  }
  return false;
}

// Sizes beyond the classic size field.
static void ReportTooLarge(const char* path) {
  fprintf(stderr, "Couldn't send %s: larger than 4294967295 bytes\n", path);
}

// While no READY has come back, START goes out again, on a schedule that
// meets three needs:
// - A receiver started after the sender answers soon after it starts: START
//   goes out once a second while nothing at all has come back.
// - A sender started again mid-exchange gets through once the receiver has
//   given the dead exchange up. That receiver reads each START as block data,
//   which puts off its stall limit, so the quick STARTs stop after ten.
// - A START never lands where a receiver reads an announcement: after a
//   READY damaged on the way, the receiver reads our next bytes as the name.
//   So once anything else has come back, and after the quick STARTs, the
//   next START waits for the stall limit and a quarter since the last one:
//   by then that receiver has given up, and let the line fall quiet.
// A receiver that is waiting answers the first START and sees no other.
// When the quick STARTs have all gone unanswered, the user hears once what
// the sender is waiting for.

// Says once what a sender whose quick STARTs met silence is waiting for.
static void ReportNoAnswer() {
  fprintf(stderr,
          "No receiver has answered for %d s; still waiting. Usual causes: velcot is not "
          "receiving at the other end, it uses another speed or mode, or this is the wrong "
          "port.\n",
          QUICK_STARTS * QUICK_START_MS / 1000);
}

// Writes START until READY comes back: READY, READY_STREAM (only when the
// streaming exchange is offered: PREAMBLE goes before each START),
// LINE_STALLED once give_up_ms (0: never) have passed without either, or
// PORT_LOST. Other bytes that come back (line noise, a device's banner, the
// rest of a dead exchange) are not its answer.
static int OpenExchange(PortHandle port, uint32_t limit_ms, bool offer_stream,
                        uint32_t give_up_ms) {
  uint32_t slow_ms = uint32_t(std::min<uint64_t>(uint64_t(limit_ms) * 5 / 4, UINT32_MAX));
  // What came before the first START (line noise from a peer that powered
  // up, the rest of an earlier exchange) cannot be an answer to it.
  if (WaitForQuietLine(port, 0) == PORT_LOST) return PORT_LOST;
  auto opened = std::chrono::steady_clock::now();
  bool stray = false;
  for (int starts = 1;; starts++) {
    if (give_up_ms != 0 && MillisecondsSince(opened) >= give_up_ms) return LINE_STALLED;
    if (starts == QUICK_STARTS + 1 && !stray) ReportNoAnswer();
    if (offer_stream &&
        WriteBytes(port, reinterpret_cast<const uint8_t*>(PREAMBLE), PREAMBLE_SIZE) == PORT_LOST) {
      return PORT_LOST;
    }
    if (WriteByte(port, START) == PORT_LOST) return PORT_LOST;
    auto sent = std::chrono::steady_clock::now();
    for (;;) {
      bool quick = !stray && starts <= QUICK_STARTS;
      if (!quick && limit_ms == NO_STALL_LIMIT && give_up_ms == 0) {
        return SkipUntilReady(port, offer_stream);
      }
      uint32_t wait_ms = quick ? QUICK_START_MS : slow_ms;
      uint32_t waited = MillisecondsSince(sent);
      if (give_up_ms != 0) {
        uint32_t elapsed = MillisecondsSince(opened);
        wait_ms = std::min(wait_ms, waited + (elapsed < give_up_ms ? give_up_ms - elapsed : 0));
      }
      int waiting = waited < wait_ms ? WaitForByte(port, wait_ms - waited) : 0;
      if (waiting == 0) break;
      int byte = waiting == PORT_LOST ? PORT_LOST : ReadByte(port);
      if (byte == PORT_LOST) return PORT_LOST;
      if (byte == READY || (offer_stream && byte == READY_STREAM)) return byte;
      stray = true;
    }
  }
}

// Announces the file after READY: name field, size field. Returns the
// receiver's answer, PORT_LOST, or LINE_STALLED.
static int AnnounceFile(PortHandle port, const char* field, uint32_t size, uint32_t limit_ms) {
  if (WriteBlock(port, reinterpret_cast<const uint8_t*>(field), NAME_FIELD_SIZE) == PORT_LOST ||
      WriteDword(port, size) == PORT_LOST) {
    return PORT_LOST;
  }
  return ReadByteWithin(port, limit_ms);
}

// A block of the file ready to go out: its bytes and their checksum, or
// why the file could not fill it (an errno, or -1 for a file that ended
// early).
struct OutgoingBlock {
  uint8_t bytes[BLOCK_SIZE];
  uint16_t length;
  uint16_t checksum;
  int unread;
};

// The length of the block at done: 1024, or what is left of the file.
static uint16_t FindBlockLength(uint32_t size, uint32_t done) {
  return uint16_t(size - done < BLOCK_SIZE ? size - done : BLOCK_SIZE);
}

static void ReadOutgoingBlock(FILE* file, uint16_t length, OutgoingBlock* block) {
  errno = 0;
  size_t got = fread(block->bytes, 1, length, file);
  block->length = length;
  block->checksum = GenerateChecksum(block->bytes, length);
  block->unread = got == length ? 0 : ferror(file) ? (errno != 0 ? errno : EIO) : -1;
}

// The file did not yield the bytes it announced. The block it could not
// fill never goes out, so the receiver cannot store a file that is not
// this one: it keeps its old file and gives this one up when its stall
// limit runs out. Returns TRANSFER_WITHDRAWN.
static int WithdrawFile(FILE* file, const char* path, int unread) {
  EndProgress(true);
  fclose(file);
  ReportBadSource(path, unread);
  return TRANSFER_WITHDRAWN;
}

// A classic receiver answered a file it cannot be announced to, after
// START: nothing more goes out, and the next START waits until that
// receiver has given up reading the name. Returns TRANSFER_FAILED, or
// PORT_LOST.
static int WithholdAnnouncement(PortHandle port, FILE* file, const char* path, bool named,
                                uint32_t limit_ms) {
  char field[NAME_FIELD_SIZE];
  if (!named) FormNameField(path, field, true);
  if (named) ReportTooLarge(path);
  fclose(file);
  uint32_t slow_ms = uint32_t(std::min<uint64_t>(uint64_t(limit_ms) * 5 / 4, UINT32_MAX));
  return WaitForQuietLine(port, slow_ms) == PORT_LOST ? AbandonTransfer(nullptr, false)
                                                      : TRANSFER_FAILED;
}

// Sends the blocks of a file the receiver accepted, each until it passes.
static int SendBlocks(PortHandle port, FILE* file, const char* path, uint32_t size,
                      uint32_t stall_limit_ms) {
  // The block at done goes out, and is on its way before the progress line
  // is drawn and the next block is read and summed; a refused block goes
  // out again as it was, not read again from the file.
  OutgoingBlock blocks[2];
  int current = 0;
  bool next_read = false;  // blocks[1 - current] holds the block after the current one
  if (size > 0) ReadOutgoingBlock(file, FindBlockLength(size, 0), &blocks[current]);
  uint32_t done = 0;
  int refusals = 0;
  for (;;) {
    const OutgoingBlock& block = blocks[current];
    if (done < size && block.unread == 0 &&
        (WriteSummedBlock(port, block.bytes, block.length, block.checksum) == PORT_LOST ||
         FlushPort(port) == PORT_LOST)) {
      return AbandonTransfer(file, true);
    }
    PrintProgress(path, size, done, refusals > 0);
    if (done == size) break;
    if (block.unread != 0) return WithdrawFile(file, path, block.unread);
    uint32_t next = done + block.length;
    if (!next_read && next < size) {
      ReadOutgoingBlock(file, FindBlockLength(size, next), &blocks[1 - current]);
      next_read = true;
    }
    int32_t reply = ReadWord(port, stall_limit_ms);
    if (reply < 0) return StopSending(reply, file, path, stall_limit_ms, true);
    refusals = reply == REPLY_OK ? 0 : refusals + 1;
    if (refusals == MAX_REFUSALS) {
      PrintProgress(path, size, done, true);
      fclose(file);
      return ReportRefusals(std::string("sending ") + path, "the receiver refused a block");
    }
    if (refusals == 0) {
      done = next;
      current = 1 - current;
      next_read = false;
    }
  }
  EndProgress(true);
  fclose(file);
  return TRANSFER_DONE;
}

int SendFile(PortHandle port, const char* path, uint32_t stall_limit_ms, uint32_t give_up_ms) {
  // Which exchange the receiver speaks shows only in its READY: the
  // streaming one is offered when the file can go that way.
  char stream_name[STREAM_NAME_MAX + 1];
  bool streamable = !IsClassicForced() && FormStreamName(path, stream_name, false);
  char field[NAME_FIELD_SIZE];
  bool named = FormNameField(path, field, !streamable);
  if (!named && !streamable) return TRANSFER_FAILED;
  uint64_t size = 0;
  FILE* file = OpenFileToSend(path, &size);
  if (file == nullptr) return TRANSFER_FAILED;
  if (size > UINT32_MAX && !streamable) {
    ReportTooLarge(path);
    fclose(file);
    return TRANSFER_FAILED;
  }

  int ready = OpenExchange(port, stall_limit_ms, streamable, give_up_ms);
  if (ready == PORT_LOST) return AbandonTransfer(file, false);
  if (ready == LINE_STALLED) {
    fclose(file);
    return TRANSFER_UNANSWERED;
  }
  if (ready == READY_STREAM) {
    return SendFileStreamed(port, file, path, stream_name, size, stall_limit_ms);
  }
  if (!named || size > UINT32_MAX) {
    return WithholdAnnouncement(port, file, path, named, stall_limit_ms);
  }
  int answer = AnnounceFile(port, field, uint32_t(size), stall_limit_ms);
  if (answer < 0) return StopSending(answer, file, path, stall_limit_ms, false);
  if (answer != ACCEPT) {
    printf("file %s declined by receiver\n", path);
    fclose(file);
    return TRANSFER_DECLINED;
  }
  return SendBlocks(port, file, path, uint32_t(size), stall_limit_ms);
}

// ---- receiver ----

// Where a sender may open an exchange (while the receiver waits for a file,
// and right after the last answer of one) the receiver takes bytes off the
// line until it falls quiet, and then judges them. What it keeps of them:
// how many came, and the last few.
#define BURST_TAIL OPENING_MAX_LENGTH
struct LineBurst {
  uint32_t count;
  uint8_t tail[BURST_TAIL];  // the last bytes, the latest at the end
};

// A velcot sender writes PREAMBLE right before its START: such a burst
// ends an opening at once, as no block data holds those five bytes.
static bool EndsWithStreamOpening(const LineBurst& burst) {
  const uint8_t* end = burst.tail + BURST_TAIL;
  return burst.count > PREAMBLE_SIZE && end[-1] == START &&
         memcmp(end - 1 - PREAMBLE_SIZE, PREAMBLE, PREAMBLE_SIZE) == 0;
}

// A burst after which the line stayed quiet, ending in START with PREAMBLE
// before it, one of its bytes damaged on the line: a velcot sender's
// opening still. Answering READY_STREAM to anything else is harmless: a
// classic sender writes its name field, which is taken as one.
static bool EndsWithDamagedStreamOpening(const LineBurst& burst) {
  const uint8_t* end = burst.tail + BURST_TAIL;
  if (burst.count <= PREAMBLE_SIZE || end[-1] != START) return false;
  int differences = 0;
  for (int i = 0; i < PREAMBLE_SIZE; i++)
    differences += end[-1 - PREAMBLE_SIZE + i] != uint8_t(PREAMBLE[i]);
  return differences <= 1;
}

// Judges a burst after which the line stayed quiet. A sender's opening ends
// with START, after PREAMBLE from a velcot sender: a sender writes it and
// waits for READY, while a 0x99 in block data is followed at once by more.
// Bytes ahead of it in the burst are not the sender's own (noise, what a
// sender not yet listening left): a receiver waiting for a file drops
// them, while right after a file they are the sender out of step.
enum Opening { NO_OPENING, OPENING_ALONE, OPENING_AFTER_OTHERS };
static Opening JudgeOpening(const LineBurst& burst) {
  if (burst.count == 0 || burst.tail[BURST_TAIL - 1] != START) return NO_OPENING;
  uint32_t length = EndsWithDamagedStreamOpening(burst) ? PREAMBLE_SIZE + 1 : 1;
  return burst.count == length ? OPENING_ALONE : OPENING_AFTER_OTHERS;
}

// Which sender's opening a burst that JudgeOpening took ends with.
static SeenOpening NameOpening(const LineBurst& burst) {
  return EndsWithDamagedStreamOpening(burst) ? STREAM_OPENING_SEEN : CLASSIC_OPENING_SEEN;
}

// Takes bytes off the line until it has stayed quiet for quiet_ms after
// one, or a velcot sender's opening has come (1), or the burst has grown
// past max_count (0); or PORT_LOST.
static int ReadBurst(PortHandle port, uint32_t quiet_ms, uint32_t max_count, LineBurst* burst) {
  for (;;) {
    int byte = ReadByte(port);
    if (byte == PORT_LOST) return PORT_LOST;
    memmove(burst->tail, burst->tail + 1, BURST_TAIL - 1);
    burst->tail[BURST_TAIL - 1] = uint8_t(byte);
    if (burst->count < UINT32_MAX) burst->count++;
    if (burst->count > max_count) return 0;
    if (EndsWithStreamOpening(*burst)) return 1;
    int waiting = WaitForByte(port, quiet_ms);
    if (waiting != 1) return waiting == 0 ? 1 : PORT_LOST;
  }
}

// Waits, however long it takes, for a sender's opening; whatever comes
// before it is dropped. Returns the opening seen, or PORT_LOST.
static int WaitForOpening(PortHandle port, uint32_t quiet_ms) {
  for (;;) {
    LineBurst burst = {};
    if (ReadBurst(port, quiet_ms, UINT32_MAX, &burst) == PORT_LOST) return PORT_LOST;
    if (JudgeOpening(burst) != NO_OPENING) return NameOpening(burst);
  }
}

int WaitForOpeningWithin(PortHandle port, const ReceiverTimes& times, uint32_t limit_ms,
                         SeenOpening* opened) {
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    uint32_t waited = MillisecondsSince(start);
    int waiting = waited < limit_ms ? WaitForByte(port, limit_ms - waited) : 0;
    if (waiting != 1) return waiting;
    // A line that never falls quiet is judged every few kilobytes, so the
    // limit holds.
    LineBurst burst = {};
    int read = ReadBurst(port, times.opening_quiet_ms, 4096, &burst);
    if (read == PORT_LOST) return PORT_LOST;
    if (read == 1 && JudgeOpening(burst) != NO_OPENING) {
      *opened = NameOpening(burst);
      return 1;
    }
  }
}

// After the last answer of a file, tells a sender in step from one out of
// step. In step, it writes its opening for its next file and waits, or
// writes nothing; out of step, it took the answer for a refusal and sends
// a whole block at once. Returns 1 in step, with *opened set when its
// opening came, 0 out of step, or PORT_LOST when the port went before
// anything came.
static int WatchLine(PortHandle port, const ReceiverTimes& times, SeenOpening* opened) {
  int waiting = WaitForByte(port, times.watch_ms);
  if (waiting != 1) return waiting == 0 ? 1 : PORT_LOST;
  LineBurst burst = {};
  int read = ReadBurst(port, times.opening_quiet_ms, BURST_TAIL, &burst);
  if (read == PORT_LOST && burst.count == 0) return PORT_LOST;
  if (read != 1 || JudgeOpening(burst) != OPENING_ALONE) return 0;
  *opened = NameOpening(burst);
  return 1;
}

// Declines the file on the line; the receiver leaves receive mode.
static int DeclineFile(PortHandle port) {
  if (WriteByte(port, DECLINE) == PORT_LOST) return TRANSFER_PORT_LOST;
  return TRANSFER_FAILED;
}

// Puts what has been written on the line now, ahead of drawing and storing.
static int SendNow(PortHandle port) {
  return FlushPort(port) == PORT_LOST ? PORT_LOST : 0;
}

// A refused block comes again; a copy that differs from the refused one
// only where the line damaged one of them differs in a few bytes. At a bit
// error rate of 1e-3, ten times what lets a file through at all, a block
// has 8 damaged bits on average and more than 64 with odds of about
// 1e-35; a burst of noise spoils a few characters. Two blocks of a file
// differ in most places: random data in 1020 bytes of 1024, text in over
// 900. So more than one byte in 16 differing means another block. Blocks
// that repeat (zeros, a pattern of 1024 bytes) are the blind spot.
uint16_t ComputeWentOnLimit(uint16_t length) {
  return std::max<uint16_t>(length / 16, 4);
}

static uint16_t CountDifferences(const uint8_t* a, const uint8_t* b, uint16_t length) {
  uint16_t count = 0;
  for (uint16_t i = 0; i < length; i++)
    count += a[i] != b[i];
  return count;
}

#define WRITE_FAILED (-4)  // ReceiveBlocks: the file could not be written
#define WENT_ON (-5)       // ReceiveBlocks: the sender went on after a refusal

// Appends a block that passed; 0, or WRITE_FAILED with *write_error set.
static int AppendBlock(FILE* file, const uint8_t* block, uint16_t length, int* write_error) {
  errno = 0;
  if (fwrite(block, 1, length, file) == length) return 0;
  *write_error = errno != 0 ? errno : EIO;
  return WRITE_FAILED;
}

// Receives, checks, answers and stores the blocks of one file, all but the
// answer to the last one, which waits until the file is on the disk. Each
// answer goes out before the progress line is drawn and the block stored.
// Returns 0; PORT_LOST or LINE_STALLED; BLOCK_REFUSED once one block has
// failed its check MAX_REFUSALS times in a row (that last refusal answered
// too); WENT_ON, unanswered, for another block where a refused one was due;
// or WRITE_FAILED with *write_error set, answers withheld from then on.
static int ReceiveBlocks(PortHandle port, FILE* file, const char* name, uint32_t size,
                         uint32_t limit_ms, int* write_error) {
  uint8_t block[BLOCK_SIZE];
  uint8_t refused[BLOCK_SIZE];
  int refusals = 0;
  for (uint32_t done = 0; done < size;) {
    uint16_t n = FindBlockLength(size, done);
    int32_t received = ReadSummedBlock(port, block, n, limit_ms);
    if (received < 0) return received;
    if (refusals > 0 && CountDifferences(block, refused, n) > ComputeWentOnLimit(n)) return WENT_ON;
    uint16_t computed = GenerateChecksum(block, n);
    bool good = computed == uint16_t(received);
    if (good && done + n == size) return AppendBlock(file, block, n, write_error);
    if (WriteWord(port, MakeReplyWord(uint16_t(received), computed)) == PORT_LOST ||
        SendNow(port) == PORT_LOST) {
      return PORT_LOST;
    }
    if (good) done += n;
    refusals = good ? 0 : refusals + 1;
    PrintProgress(name, size, done, !good);
    if (!good) memcpy(refused, block, n);
    if (good && AppendBlock(file, block, n, write_error) != 0) return WRITE_FAILED;
    if (refusals == MAX_REFUSALS) return BLOCK_REFUSED;
  }
  return 0;
}

// Reads the field that follows READY. A velcot sender that heard no READY
// for a while writes its opening again, and an answer to an earlier one
// (taken late, or only now off the line) may cross it: such openings ahead
// of the field are dropped. No name a receiver stores begins with one, as
// PREAMBLE begins with a control byte. 0, PORT_LOST or LINE_STALLED.
static int ReadNameField(PortHandle port, uint8_t* field, uint32_t limit_ms) {
  const size_t kOpeningLength = PREAMBLE_SIZE + 1;
  int got = ReadBlock(port, field, NAME_FIELD_SIZE, limit_ms);
  while (got == 0 && memcmp(field, PREAMBLE, PREAMBLE_SIZE) == 0 && field[PREAMBLE_SIZE] == START) {
    memmove(field, field + kOpeningLength, NAME_FIELD_SIZE - kOpeningLength);
    got = ReadBlock(port, field + NAME_FIELD_SIZE - kOpeningLength, kOpeningLength, limit_ms);
  }
  return got;
}

#define STREAM_OPENED (-7)  // ReadAnnouncement: STREAM_FIELD came in place of a name
#define STREAM_REFUSED \
  (-9)  // ReadAnnouncement: STREAM_FIELD came, and the streaming exchange is off

// Reads the announcement that follows a sender's opening: READY (or
// READY_STREAM to a velcot sender's), name and size. An opening already
// seen is answered at once. Returns the size, STREAM_OPENED, PORT_LOST, or
// LINE_STALLED.
static int64_t ReadAnnouncement(PortHandle port, char* name, const ReceiverTimes& times,
                                SeenOpening opened) {
  if (opened == NO_OPENING_SEEN) {
    int seen = WaitForOpening(port, times.opening_quiet_ms);
    if (seen == PORT_LOST) return PORT_LOST;
    opened = SeenOpening(seen);
  }
  bool streamed = opened == STREAM_OPENING_SEEN && !IsClassicForced();
  if (WriteByte(port, streamed ? READY_STREAM : READY) == PORT_LOST) return PORT_LOST;
  // A sender puts its name and size on the line right after READY; silence
  // means the START came from noise or from a sender that has gone.
  int got = ReadNameField(port, reinterpret_cast<uint8_t*>(name), times.stall_limit_ms);
  if (got < 0) return got;
  name[NAME_FIELD_SIZE] = '\0';
  // A name field after READY_STREAM: the PREAMBLE was noise. The field after
  // READY: a velcot sender that heard our READY damaged into READY_STREAM.
  if (streamed ? IsDamagedStreamField(name) : IsStreamField(name)) {
    return IsClassicForced() ? STREAM_REFUSED : STREAM_OPENED;
  }
  return ReadDword(port, times.stall_limit_ms);
}

// Ends a file the receiver cannot finish: PORT_LOST or LINE_STALLED. what
// names it, as in "receiving a.txt".
static int StopReceiving(int64_t cause, const std::string& what, uint32_t limit_ms,
                         bool line_drawn) {
  if (cause == PORT_LOST) return AbandonTransfer(nullptr, line_drawn);
  return ReportStall(what, "sender", limit_ms, line_drawn);
}

// Ends a file that could not be written.
static int ReportWriteError(const char* name, int write_error, bool line_drawn) {
  EndProgress(line_drawn);
  fprintf(stderr, "Couldn't write %s: %s\n", EscapeForConsole(name).c_str(), strerror(write_error));
  return TRANSFER_NOT_STORED;
}

// Ends a file whose sender was out of step; it stays silent, so the sender
// gives the file up when its stall limit runs out.
static int ReportOutOfStep(const char* name, const char* reason) {
  EndProgress(true);
  fprintf(stderr, "Gave up receiving %s: %s\n", EscapeForConsole(name).c_str(), reason);
  return TRANSFER_OUT_OF_STEP;
}

// A file whose blocks have all arrived and been written: its data goes on
// the disk, the last answer goes out (the last block's reply, or for an
// empty file ACCEPT), and the file is moved into place unless the sender
// turns out to be out of step. Where every block was a full one, a sender
// out of step would have ended one block early and unseen, so the line is
// watched first; a port that goes meanwhile showed nothing out of step, so
// the file is kept.
static int FinishFile(PortHandle port, FILE* file, const std::string& temp_name, const char* name,
                      uint32_t size, const ReceiverTimes& times, SeenOpening* opened) {
  int write_error = SyncFile(file);
  if (write_error != 0) {
    DiscardFile(file, temp_name);
    return ReportWriteError(name, write_error, size > 0);
  }
  int answered = size > 0 ? WriteWord(port, REPLY_OK) : WriteByte(port, ACCEPT);
  if (answered == PORT_LOST || SendNow(port) == PORT_LOST) {
    DiscardFile(file, temp_name);
    return AbandonTransfer(nullptr, size > 0);
  }
  PrintProgress(name, size, size, 0);
  int in_step = size % BLOCK_SIZE == 0 ? WatchLine(port, times, opened) : 1;
  if (in_step == 0) {
    DiscardFile(file, temp_name);
    return ReportOutOfStep(name, "more came after its last block; the sender was out of step");
  }
  write_error = StoreFile(file, temp_name, name);
  if (write_error != 0) return ReportWriteError(name, write_error, true);
  EndProgress(true);
  return TRANSFER_DONE;  // a port that went meanwhile shows at the next read
}

int RecvFile(PortHandle port, const ReceiverTimes& times, SeenOpening* opened) {
  char name[NAME_FIELD_SIZE + 1];
  int64_t announced = ReadAnnouncement(port, name, times, *opened);
  *opened = NO_OPENING_SEEN;
  if (announced == STREAM_OPENED) {
    return RecvFileStreamed(port, times.stall_limit_ms, times.frame_ms, opened);
  }
  if (announced == STREAM_REFUSED) {
    // Not a file that cannot be created: receive mode goes on once the rest
    // of the offer has passed.
    fprintf(stderr, "Refusing a file offered in the streaming exchange: %s is set\n",
            CLASSIC_VARIABLE);
    return WriteByte(port, DECLINE) == PORT_LOST ? TRANSFER_PORT_LOST : TRANSFER_NOT_STORED;
  }
  if (announced < 0) {
    return StopReceiving(announced, "receiving an announced file", times.stall_limit_ms, false);
  }
  uint32_t size = uint32_t(announced);

  std::string temp_name;
  FILE* file = OpenFileToStore(name, &temp_name);
  if (file == nullptr) return DeclineFile(port);
  if (size == 0) return FinishFile(port, file, temp_name, name, size, times, opened);
  int write_error = 0;
  bool drawn = false;
  int received = WriteByte(port, ACCEPT) == PORT_LOST || SendNow(port) == PORT_LOST ? PORT_LOST : 0;
  if (received == 0) {
    PrintProgress(name, size, 0, 0);
    drawn = true;
    received = ReceiveBlocks(port, file, name, size, times.stall_limit_ms, &write_error);
  }
  if (received == 0) return FinishFile(port, file, temp_name, name, size, times, opened);
  DiscardFile(file, temp_name);
  std::string what = std::string("receiving ") + EscapeForConsole(name);
  if (received == WRITE_FAILED) return ReportWriteError(name, write_error, true);
  if (received == WENT_ON) {
    return ReportOutOfStep(name, "another block came where a refused one was due");
  }
  if (received == BLOCK_REFUSED) return ReportRefusals(what, "a block failed its check");
  return StopReceiving(received, what, times.stall_limit_ms, drawn);
}
