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

#include "names.h"
#include "progress.h"
#include "store.h"
#include "stream.h"

// ---- wire encoding ----

int WriteWord(PortHandle port, uint16_t value) {
  if (WriteByte(port, value >> 8) == PORT_LOST) return PORT_LOST;
  return WriteByte(port, value) == PORT_LOST ? PORT_LOST : 0;
}

int WriteDword(PortHandle port, uint32_t value) {
  if (WriteWord(port, value >> 16) == PORT_LOST) return PORT_LOST;
  return WriteWord(port, value & 0xFFFF);
}

int WriteBlock(PortHandle port, const uint8_t* bytes, uint16_t length) {
  for (uint16_t i = 0; i < length; i++) {
    if (WriteByte(port, bytes[i]) == PORT_LOST) return PORT_LOST;
  }
  return 0;
}

// The next byte of a file in progress: 0..255, PORT_LOST, or LINE_STALLED
// once the line has been silent for limit_ms.
static int ReadByteWithin(PortHandle port, uint32_t limit_ms) {
  if (limit_ms != NO_STALL_LIMIT) {
    int waiting = WaitForByte(port, limit_ms);
    if (waiting == PORT_LOST) return PORT_LOST;
    if (waiting == 0) return LINE_STALLED;
  }
  return ReadByte(port);
}

int32_t ReadWord(PortHandle port, uint32_t limit_ms) {
  int high = ReadByteWithin(port, limit_ms);
  if (high < 0) return high;
  int low = ReadByteWithin(port, limit_ms);
  if (low < 0) return low;
  return high << 8 | low;
}

int64_t ReadDword(PortHandle port, uint32_t limit_ms) {
  int32_t high = ReadWord(port, limit_ms);
  if (high < 0) return high;
  int32_t low = ReadWord(port, limit_ms);
  if (low < 0) return low;
  return int64_t(high) << 16 | low;
}

int ReadBlock(PortHandle port, uint8_t* buffer, uint16_t length, uint32_t limit_ms) {
  for (uint16_t i = 0; i < length; i++) {
    int byte = ReadByteWithin(port, limit_ms);
    if (byte < 0) return byte;
    buffer[i] = uint8_t(byte);
  }
  return 0;
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

uint32_t ComputeQuietTime(uint32_t baudrate, const LineFormat& format) {
  const uint64_t kShortestMs = 1000;
  if (baudrate == 0) return uint32_t(kShortestMs);
  return uint32_t(
      std::min<uint64_t>(std::max(kShortestMs, CountLineTime(10, baudrate, format)), UINT32_MAX));
}

int WaitForQuietLine(PortHandle port, uint32_t quiet_ms) {
  for (;;) {
    int waiting = WaitForByte(port, quiet_ms);
    if (waiting == 0) return 0;
    if (waiting == PORT_LOST || ReadByte(port) == PORT_LOST) return PORT_LOST;
  }
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

int AbandonTransfer(FILE* file, bool line_drawn) {
  int reason = errno;
  EndProgress(line_drawn);
  if (file != nullptr) fclose(file);
  errno = reason;
  return TRANSFER_PORT_LOST;
}

int ReportStall(const std::string& what, const char* peer, uint32_t limit_ms, bool line_drawn) {
  EndProgress(line_drawn);
  fprintf(stderr, "Gave up %s: the %s was silent for %lu s\n", what.c_str(), peer,
          static_cast<unsigned long>((uint64_t(limit_ms) + 999) / 1000));
  return TRANSFER_STALLED;
}

int ReportRefusals(const std::string& what, const char* refused) {
  EndProgress(true);
  fprintf(stderr, "Gave up %s: %s %d times in a row\n", what.c_str(), refused, MAX_REFUSALS);
  return TRANSFER_REFUSED;
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
#define QUICK_START_MS 1000
#define QUICK_STARTS 10

uint32_t MillisecondsSince(std::chrono::steady_clock::time_point start) {
  auto elapsed = std::chrono::steady_clock::now() - start;
  return uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

// Writes START until READY comes back: READY, READY_STREAM (only when the
// streaming exchange is offered: PREAMBLE goes before each START), or
// PORT_LOST. Other bytes that come back (line noise, a device's banner,
// the rest of a dead exchange) are not its answer.
static int OpenExchange(PortHandle port, uint32_t limit_ms, bool offer_stream) {
  uint32_t slow_ms = uint32_t(std::min<uint64_t>(uint64_t(limit_ms) * 5 / 4, UINT32_MAX));
  bool stray = false;
  for (int starts = 1;; starts++) {
    if (offer_stream &&
        WriteBytes(port, reinterpret_cast<const uint8_t*>(PREAMBLE), PREAMBLE_SIZE) == PORT_LOST) {
      return PORT_LOST;
    }
    if (WriteByte(port, START) == PORT_LOST) return PORT_LOST;
    auto sent = std::chrono::steady_clock::now();
    for (;;) {
      bool quick = !stray && starts <= QUICK_STARTS;
      if (!quick && limit_ms == NO_STALL_LIMIT) return SkipUntilReady(port, offer_stream);
      uint32_t wait_ms = quick ? QUICK_START_MS : slow_ms;
      uint32_t waited = MillisecondsSince(sent);
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

// Fills the block from the file; a file that yields fewer bytes than it
// announced, or fails to be read, is padded with zeros so the exchange can
// still complete. Returns 0, the errno of a failed read, or -1 for a file
// that ended early.
static int ReadNextBlock(FILE* file, uint8_t* block, uint16_t length) {
  errno = 0;
  size_t got = fread(block, 1, length, file);
  memset(block + got, 0, length - got);
  if (got == length) return 0;
  return ferror(file) ? (errno != 0 ? errno : EIO) : -1;
}

int ReportBadSource(const char* path, int read_error) {
  if (read_error > 0) {
    fprintf(stderr, "Couldn't read %s: %s\n", path, strerror(read_error));
  } else {
    fprintf(stderr, "%s changed while being sent; the copy received is not the file\n", path);
  }
  return TRANSFER_FAILED;
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

int SendFile(PortHandle port, const char* path, uint32_t stall_limit_ms) {
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

  int ready = OpenExchange(port, stall_limit_ms, streamable);
  if (ready == PORT_LOST) return AbandonTransfer(file, false);
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

  PrintProgress(path, size, 0, 0);
  uint8_t block[BLOCK_SIZE];
  uint16_t reply = REPLY_OK;
  int read_error = 0;  // the first: an errno, or -1 for a file that ended early
  int refusals = 0;
  for (uint64_t done = 0; done < size;) {
    uint16_t n = uint16_t(size - done < BLOCK_SIZE ? size - done : BLOCK_SIZE);
    // A refused block goes out again as it was, not read again from the file.
    if (reply == REPLY_OK) {
      int got = ReadNextBlock(file, block, n);
      if (read_error == 0) read_error = got;
    }
    if (WriteBlock(port, block, n) == PORT_LOST ||
        WriteWord(port, GenerateChecksum(block, n)) == PORT_LOST) {
      return AbandonTransfer(file, true);
    }
    int32_t word = ReadWord(port, stall_limit_ms);
    if (word < 0) return StopSending(word, file, path, stall_limit_ms, true);
    reply = uint16_t(word);
    if (reply == REPLY_OK) done += n;
    refusals = reply == REPLY_OK ? 0 : refusals + 1;
    PrintProgress(path, size, done, reply != REPLY_OK);
    if (refusals == MAX_REFUSALS) {
      fclose(file);
      return ReportRefusals(std::string("sending ") + path, "the receiver refused a block");
    }
  }
  EndProgress(true);
  fclose(file);
  return read_error == 0 ? TRANSFER_DONE : ReportBadSource(path, read_error);
}

// ---- receiver ----

// Declines the file on the line; the receiver leaves receive mode.
static int DeclineFile(PortHandle port) {
  if (WriteByte(port, DECLINE) == PORT_LOST) return TRANSFER_PORT_LOST;
  return TRANSFER_FAILED;
}

// Receives, checks, stores and answers the blocks of one file, all but the
// answer to the last one, which waits until the file is in place. After a
// failed write the remaining blocks are still answered, to keep both ends
// in step; the first write error is kept in *write_error. Returns 0,
// PORT_LOST, LINE_STALLED, or BLOCK_REFUSED once one block has failed its
// check MAX_REFUSALS times in a row (that last refusal answered too).
static int ReceiveBlocks(PortHandle port, FILE* file, const char* name, uint32_t size,
                         uint32_t limit_ms, int* write_error) {
  uint8_t block[BLOCK_SIZE];
  int refusals = 0;
  for (uint32_t done = 0; done < size;) {
    uint16_t n = uint16_t(size - done < BLOCK_SIZE ? size - done : BLOCK_SIZE);
    int got = ReadBlock(port, block, n, limit_ms);
    if (got < 0) return got;
    int32_t received = ReadWord(port, limit_ms);
    if (received < 0) return received;
    uint16_t computed = GenerateChecksum(block, n);
    bool good = computed == uint16_t(received);
    if (good) {
      if (*write_error == 0 && fwrite(block, 1, n, file) != n) *write_error = errno ? errno : EIO;
      done += n;
    }
    refusals = good ? 0 : refusals + 1;
    PrintProgress(name, size, done, !good);
    if (done == size) break;
    if (WriteWord(port, MakeReplyWord(uint16_t(received), computed)) == PORT_LOST) {
      return PORT_LOST;
    }
    if (refusals == MAX_REFUSALS) return BLOCK_REFUSED;
  }
  return 0;
}

// Reads and drops bytes until START: noise, or a sender that was not yet
// there. *streamed tells whether PREAMBLE came right before it, from a
// sender that offers the streaming exchange. 0, or PORT_LOST.
static int SkipUntilStart(PortHandle port, bool* streamed) {
  char last[PREAMBLE_SIZE] = {};
  for (;;) {
    int byte = ReadByte(port);
    if (byte == PORT_LOST) return PORT_LOST;
    if (byte == START) {
      *streamed = memcmp(last, PREAMBLE, PREAMBLE_SIZE) == 0 && !IsClassicForced();
      return 0;
    }
    memmove(last, last + 1, PREAMBLE_SIZE - 1);
    last[PREAMBLE_SIZE - 1] = char(byte);
  }
}

#define STREAM_OPENED (-7)  // ReadAnnouncement: STREAM_FIELD came in place of a name

// Reads the announcement that follows START: READY, name and size.
// Returns the size, STREAM_OPENED, PORT_LOST, or LINE_STALLED.
static int64_t ReadAnnouncement(PortHandle port, char* name, uint32_t limit_ms) {
  bool streamed = false;
  if (SkipUntilStart(port, &streamed) == PORT_LOST ||
      WriteByte(port, streamed ? READY_STREAM : READY) == PORT_LOST) {
    return PORT_LOST;
  }
  // A sender puts its name and size on the line right after READY; silence
  // means the START came from noise or from a sender that has gone.
  int got = ReadBlock(port, reinterpret_cast<uint8_t*>(name), NAME_FIELD_SIZE, limit_ms);
  if (got < 0) return got;
  name[NAME_FIELD_SIZE] = '\0';
  // A name field after READY_STREAM: the PREAMBLE was noise.
  if (streamed && IsStreamField(name)) return STREAM_OPENED;
  return ReadDword(port, limit_ms);
}

// Ends a file the receiver cannot finish: PORT_LOST or LINE_STALLED. what
// names it, as in "receiving a.txt".
static int StopReceiving(int64_t cause, const std::string& what, uint32_t limit_ms,
                         bool line_drawn) {
  if (cause == PORT_LOST) return AbandonTransfer(nullptr, line_drawn);
  return ReportStall(what, "sender", limit_ms, line_drawn);
}

int RecvFile(PortHandle port, uint32_t stall_limit_ms) {
  char name[NAME_FIELD_SIZE + 1];
  int64_t announced = ReadAnnouncement(port, name, stall_limit_ms);
  if (announced == STREAM_OPENED) return RecvFileStreamed(port, stall_limit_ms);
  if (announced < 0) {
    return StopReceiving(announced, "receiving an announced file", stall_limit_ms, false);
  }
  uint32_t size = uint32_t(announced);

  std::string temp_name;
  FILE* file = OpenFileToStore(name, &temp_name);
  if (file == nullptr) return DeclineFile(port);
  PrintProgress(name, size, 0, 0);
  // An empty file is complete once accepted; any other is accepted first.
  int write_error = 0;
  int received = 0;
  if (size > 0) {
    received = WriteByte(port, ACCEPT) == PORT_LOST
                   ? PORT_LOST
                   : ReceiveBlocks(port, file, name, size, stall_limit_ms, &write_error);
  }
  if (received != 0) {
    DiscardFile(file, temp_name);
    std::string what = std::string("receiving ") + name;
    if (received == BLOCK_REFUSED) return ReportRefusals(what, "a block failed its check");
    return StopReceiving(received, what, stall_limit_ms, true);
  }
  // The file is in place before the sender hears that the last block
  // arrived, so a receiver stopped once the sender is done has stored it.
  // A file that could not be stored gets no last answer: the sender gives
  // it up when its stall limit runs out, rather than report it sent.
  write_error = StoreFile(file, temp_name, name, write_error);
  if (write_error != 0) {
    EndProgress(true);
    fprintf(stderr, "Couldn't write %s: %s\n", name, strerror(write_error));
    return TRANSFER_NOT_STORED;
  }
  int answered = size > 0 ? WriteWord(port, REPLY_OK) : WriteByte(port, ACCEPT);
  if (answered == PORT_LOST) return AbandonTransfer(nullptr, true);
  EndProgress(true);
  return TRANSFER_DONE;
}
