#include "transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>

#include "win32_error.h"
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <random>

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

// ---- stall limit ----

uint32_t ComputeStallLimit(uint32_t baudrate, const LineFormat& format) {
  const uint64_t kShortestMs = 30000;
  const uint64_t kRoundBytes = BLOCK_SIZE + 4;  // a block, its checksum word, the reply word
  if (baudrate == 0) return NO_STALL_LIMIT;     // a line that never moves
  // A character: a start bit, the data bits, a parity bit if any, the stop bits.
  uint64_t bits =
      1 + uint64_t(format.data_bits) + (format.parity != 'N' ? 1 : 0) + uint64_t(format.stop_bits);
  uint64_t four_rounds_ms = (4 * kRoundBytes * bits * 1000 + baudrate - 1) / baudrate;
  return uint32_t(std::min<uint64_t>(std::max(kShortestMs, four_rounds_ms), UINT32_MAX));
}

// ---- names ----

int TruncFilename8Dot3(const char* source, char* destination, uint16_t length) {
  uint16_t out = 0;
  int shortened = 0;
  const char* p = source;
  while (out < 8 && *p != '\0' && *p != '.')
    destination[out++] = *p++;
  if (*p == '\0') {
    memset(destination + out, 0, length - out);
    return 0;
  }
  if (*p != '.') {
    shortened = 1;
    while (*p != '\0' && *p != '.')
      p++;
  }
  if (*p == '.') {
    destination[out++] = '.';
    p++;
  }
  for (int copied = 0; copied < 3 && *p != '\0' && *p != '.'; copied++) {
    destination[out++] = *p++;
  }
  if (*p != '\0') shortened = 1;
  memset(destination + out, 0, length - out);
  return shortened;
}

const char* FindBaseName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; p++) {
    if (*p == '/' || *p == '\\' || *p == ':') base = p + 1;
  }
  return base;
}

bool IsWindowsDeviceName(const char* name) {
  // Windows ignores an extension and trailing blanks here: "nul.txt" and
  // "CON " are devices too.
  size_t length = strcspn(name, ".");
  while (length > 0 && name[length - 1] == ' ')
    length--;
  char base[8] = "";
  if (length < 3 || length >= sizeof base) return false;
  for (size_t i = 0; i < length; i++)
    base[i] = char(toupper(static_cast<unsigned char>(name[i])));
  base[length] = '\0';
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* device : kDevices) {
    if (strcmp(base, device) == 0) return true;
  }
  if (strncmp(base, "COM", 3) != 0 && strncmp(base, "LPT", 3) != 0) return false;
  // A digit, or a superscript 1, 2 or 3 in Windows-1252 or in UTF-8.
  const char* unit = base + 3;
  if (length == 4)
    return (*unit >= '0' && *unit <= '9') || strchr("\xB9\xB2\xB3", *unit) != nullptr;
  return length == 5 && unit[0] == '\xC2' && strchr("\xB9\xB2\xB3", unit[1]) != nullptr;
}

bool IsPlainFileName(const char* name) {
  if (name[0] == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return false;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; p++) {
    if (*p < 0x20 || *p == 0x7F || *p == '/' || *p == '\\' || *p == ':') return false;
#ifdef _WIN32
    // Not allowed in a Windows file name; '?' and '*' would be patterns.
    if (strchr("<>\"|?*", *p) != nullptr) return false;
#endif
  }
  // Stored on any system, such a name would be a device once the file is
  // copied to Windows; on Windows it would be written to the device.
  return !IsWindowsDeviceName(name);
}

std::string EscapeFileName(const char* name) {
  std::string shown;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; p++) {
    if (*p >= 0x20 && *p < 0x7F) {
      shown += char(*p);
    } else {
      char hex[5];
      snprintf(hex, sizeof hex, "\\x%02X", *p);
      shown += hex;
    }
  }
  return shown;
}

// ---- progress line ----

#ifdef _WIN32
// The console shows the code page 437 shade blocks unless it was switched
// to UTF-8 (chcp 65001).
static bool IsConsoleUtf8() {
  return GetConsoleOutputCP() == CP_UTF8;
}
#else
// True when the console's character set decodes the UTF-8 form of a dark
// shade block as that character, which is what a UTF-8 locale does.
static bool IsConsoleUtf8() {
  static const char kDarkShade[] = "\xE2\x96\x93";
  std::mbstate_t state{};
  wchar_t decoded = 0;
  size_t used = std::mbrtowc(&decoded, kDarkShade, 3, &state);
  return used == 3 && decoded == 0x2593;
}
#endif

std::string FormatProgress(const char* name, uint32_t total, uint32_t done, int error, bool utf8) {
  // An empty file is complete from the start.
  uint64_t cells = total == 0 ? 30 : uint64_t(done) * 30 / total;
  std::string line;
  for (uint64_t i = 0; i < 30; i++) {
    if (utf8) {
      line += i < cells ? "\xE2\x96\x93" : "\xE2\x96\x91";
    } else {
      line += char(i < cells ? 0xB2 : 0xB0);
    }
  }
  // " %12s " by hand: the name is written whole and byte for byte, however long.
  size_t width = strlen(name);
  line += ' ';
  if (width < 12) line.append(12 - width, ' ');
  line += name;
  char text[64];
  snprintf(text, sizeof text, " %lu/%lu ", static_cast<unsigned long>(done),
           static_cast<unsigned long>(total));
  line += text;
  if (error) {
    line += "(ERROR)";
  } else {
    double percent = total == 0 ? 100.0 : double(done) * 100.0 / double(total);
    snprintf(text, sizeof text, "(%.1f%%)", percent);
    line += text;
  }
  line += '\r';
  return line;
}

void PrintProgress(const char* name, uint32_t total, uint32_t done, int error) {
  std::string line = FormatProgress(name, total, done, error, IsConsoleUtf8());
  fwrite(line.data(), 1, line.size(), stdout);
  fflush(stdout);
}

// Reads and drops bytes until the wanted one; 0, or PORT_LOST.
static int SkipUntil(PortHandle port, int wanted) {
  for (;;) {
    int byte = ReadByte(port);
    if (byte == PORT_LOST) return PORT_LOST;
    if (byte == wanted) return 0;
  }
}

// ---- sender ----

// Checks a file before anything about it goes on the line, so that a file
// that cannot be sent is skipped without leaving the receiver waiting.
// Returns the open file, or nullptr after reporting why not.
static FILE* OpenFileToSend(const char* path, uint32_t* size) {
  struct stat info;
  if (stat(path, &info) != 0) {
    fprintf(stderr, "Couldn't stat %s: %s\n", path, strerror(errno));
    return nullptr;
  }
  if (!S_ISREG(info.st_mode)) {
    fprintf(stderr, "Couldn't send %s: not a regular file\n", path);
    return nullptr;
  }
  if (uint64_t(info.st_size) > UINT32_MAX) {
    fprintf(stderr, "Couldn't send %s: larger than 4294967295 bytes\n", path);
    return nullptr;
  }
  FILE* file = fopen(path, "rb");
  if (file == nullptr) {
    fprintf(stderr, "Couldn't open %s for reading: %s\n", path, strerror(errno));
    return nullptr;
  }
  *size = uint32_t(info.st_size);
  return file;
}

// Ends a transfer whose port went away, keeping errno for the driver.
static int AbandonTransfer(FILE* file, bool line_drawn) {
  int reason = errno;
  if (line_drawn) putchar('\n');
  fflush(stdout);
  if (file != nullptr) fclose(file);
  errno = reason;
  return TRANSFER_PORT_LOST;
}

// Ends a file whose peer has been silent for longer than the limit: the
// exchange is lost. what names the file, as in "sending a.txt".
static int ReportStall(const std::string& what, const char* peer, uint32_t limit_ms,
                       bool line_drawn) {
  if (line_drawn) putchar('\n');
  fflush(stdout);
  fprintf(stderr, "Gave up %s: the %s was silent for %lu s\n", what.c_str(), peer,
          static_cast<unsigned long>((uint64_t(limit_ms) + 999) / 1000));
  return TRANSFER_STALLED;
}

// Ends a file the sender cannot finish: PORT_LOST or LINE_STALLED.
static int StopSending(int cause, FILE* file, const char* path, uint32_t limit_ms,
                       bool line_drawn) {
  if (cause == PORT_LOST) return AbandonTransfer(file, line_drawn);
  fclose(file);
  return ReportStall(std::string("sending ") + path, "receiver", limit_ms, line_drawn);
}

// Announces the file: START, READY, name field, size field. Returns the
// receiver's answer, PORT_LOST, or LINE_STALLED.
static int AnnounceFile(PortHandle port, const char* path, uint32_t size, uint32_t limit_ms) {
  // Bytes that were waiting at this end before the receiver answered (line
  // noise, a device's banner) are not its answer.
  if (WriteByte(port, START) == PORT_LOST || SkipUntil(port, READY) == PORT_LOST) return PORT_LOST;
  char field[NAME_FIELD_SIZE];
  TruncFilename8Dot3(FindBaseName(path), field, NAME_FIELD_SIZE);
  if (WriteBlock(port, reinterpret_cast<uint8_t*>(field), NAME_FIELD_SIZE) == PORT_LOST ||
      WriteDword(port, size) == PORT_LOST) {
    return PORT_LOST;
  }
  return ReadByteWithin(port, limit_ms);
}

// Fills the block from the file; a file that yields fewer bytes than it
// announced is padded with zeros so the exchange can still complete.
static bool ReadNextBlock(FILE* file, uint8_t* block, uint16_t length) {
  size_t got = fread(block, 1, length, file);
  memset(block + got, 0, length - got);
  return got == length;
}

int SendFile(PortHandle port, const char* path, uint32_t stall_limit_ms) {
  uint32_t size = 0;
  FILE* file = OpenFileToSend(path, &size);
  if (file == nullptr) return TRANSFER_FAILED;

  int answer = AnnounceFile(port, path, size, stall_limit_ms);
  if (answer < 0) return StopSending(answer, file, path, stall_limit_ms, false);
  if (answer != ACCEPT) {
    printf("file %s declined by receiver\n", path);
    fclose(file);
    return TRANSFER_DECLINED;
  }

  PrintProgress(path, size, 0, 0);
  uint8_t block[BLOCK_SIZE];
  uint16_t reply = REPLY_OK;
  bool complete = true;
  for (uint32_t done = 0; done < size;) {
    uint16_t n = uint16_t(size - done < BLOCK_SIZE ? size - done : BLOCK_SIZE);
    // A refused block goes out again as it was, not read again from the file.
    if (reply == REPLY_OK) complete = ReadNextBlock(file, block, n) && complete;
    if (WriteBlock(port, block, n) == PORT_LOST ||
        WriteWord(port, GenerateChecksum(block, n)) == PORT_LOST) {
      return AbandonTransfer(file, true);
    }
    int32_t word = ReadWord(port, stall_limit_ms);
    if (word < 0) return StopSending(word, file, path, stall_limit_ms, true);
    reply = uint16_t(word);
    if (reply == REPLY_OK) done += n;
    PrintProgress(path, size, done, reply != REPLY_OK);
  }
  putchar('\n');
  fflush(stdout);
  fclose(file);
  if (!complete) {
    fprintf(stderr, "%s changed while being sent; the copy received is not the file\n", path);
    return TRANSFER_FAILED;
  }
  return TRANSFER_DONE;
}

// ---- receiver ----

// Declines the file on the line; the receiver leaves receive mode.
static int DeclineFile(PortHandle port) {
  if (WriteByte(port, DECLINE) == PORT_LOST) return TRANSFER_PORT_LOST;
  return TRANSFER_FAILED;
}

#ifndef O_BINARY
#define O_BINARY 0  // POSIX files have no text mode
#endif

// Creates a file that must not exist yet, for writing in binary mode;
// nullptr with errno set otherwise. The runtime's fopen may not know "x".
static FILE* CreateNewFile(const char* name) {
  int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_BINARY, 0666);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    int reason = errno;
    close(fd);
    remove(name);
    errno = reason;
  }
  return file;
}

// Puts a file in place of another, replacing it if it exists. Returns 0, or
// the errno of the failure. (Windows' rename never replaces a file.)
static int MoveFileIntoPlace(const char* from, const char* to) {
#ifdef _WIN32
  if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) return 0;
  return ErrnoFromWin32Error(GetLastError());
#else
  return rename(from, to) == 0 ? 0 : errno;
#endif
}

// Creates a new file beside the target. Its name is longer than any
// received name can be, so it never stands for one.
static FILE* CreateTempFile(std::string* temp_name) {
  std::random_device seed;
  std::mt19937 pick(seed());
  for (int attempt = 0; attempt < 100; attempt++) {
    char name[32];
    snprintf(name, sizeof name, ".velcot-%08lx.part", static_cast<unsigned long>(pick()));
    FILE* file = CreateNewFile(name);
    if (file != nullptr) {
      *temp_name = name;
      return file;
    }
    if (errno != EEXIST) return nullptr;
  }
  return nullptr;
}

// Checks the received name and opens the temporary file that will become
// it. Returns nullptr after reporting why the file cannot be stored.
static FILE* OpenFileToStore(const char* name, std::string* temp_name) {
  if (!IsPlainFileName(name)) {
    fprintf(stderr, "Refusing file \"%s\": not a plain file name\n", EscapeFileName(name).c_str());
    return nullptr;
  }
  // The file replaces whatever has its name; only a folder cannot be
  // replaced. A link is replaced too, not followed, whatever it points at.
  struct stat info;
#ifdef _WIN32
  bool is_folder = stat(name, &info) == 0 && S_ISDIR(info.st_mode);
#else
  bool is_folder = lstat(name, &info) == 0 && S_ISDIR(info.st_mode);
#endif
  if (is_folder) {
    fprintf(stderr, "Couldn't open %s for writing: %s\n", name, strerror(EISDIR));
    return nullptr;
  }
  FILE* file = CreateTempFile(temp_name);
  if (file == nullptr) fprintf(stderr, "Couldn't open %s for writing: %s\n", name, strerror(errno));
  return file;
}

// Moves a completely received file into place, replacing any file of that
// name only now. Returns 0, or the errno of what failed.
static int StoreFile(FILE* file, const std::string& temp_name, const char* name, int write_error) {
  if (fclose(file) != 0 && write_error == 0) write_error = errno;
  if (write_error == 0) write_error = MoveFileIntoPlace(temp_name.c_str(), name);
  if (write_error != 0) remove(temp_name.c_str());
  return write_error;
}

// Drops a partly received file, keeping errno for the driver.
static void DiscardFile(FILE* file, const std::string& temp_name) {
  int reason = errno;
  fclose(file);
  remove(temp_name.c_str());
  errno = reason;
}

// Receives, checks, stores and answers the blocks of one file, all but the
// answer to the last one, which waits until the file is in place. After a
// failed write the remaining blocks are still answered, to keep both ends
// in step; the first write error is kept in *write_error. Returns 0,
// PORT_LOST, or LINE_STALLED.
static int ReceiveBlocks(PortHandle port, FILE* file, const char* name, uint32_t size,
                         uint32_t limit_ms, int* write_error) {
  uint8_t block[BLOCK_SIZE];
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
    PrintProgress(name, size, done, !good);
    if (done == size) break;
    if (WriteWord(port, MakeReplyWord(uint16_t(received), computed)) == PORT_LOST) {
      return PORT_LOST;
    }
  }
  return 0;
}

// Reads the announcement that follows START: READY, name and size.
// Returns the size, PORT_LOST, or LINE_STALLED.
static int64_t ReadAnnouncement(PortHandle port, char* name, uint32_t limit_ms) {
  // Anything before START is noise, or a sender that was not yet there.
  if (SkipUntil(port, START) == PORT_LOST || WriteByte(port, READY) == PORT_LOST) return PORT_LOST;
  // A sender puts its name and size on the line right after READY; silence
  // means the START came from noise or from a sender that has gone.
  int got = ReadBlock(port, reinterpret_cast<uint8_t*>(name), NAME_FIELD_SIZE, limit_ms);
  if (got < 0) return got;
  name[NAME_FIELD_SIZE] = '\0';
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
    return StopReceiving(received, std::string("receiving ") + name, stall_limit_ms, true);
  }
  // The file is in place before the sender hears that the last block
  // arrived, so a receiver stopped once the sender is done has stored it.
  write_error = StoreFile(file, temp_name, name, write_error);
  int answered = size > 0 ? WriteWord(port, REPLY_OK) : WriteByte(port, ACCEPT);
  if (answered == PORT_LOST) return AbandonTransfer(nullptr, true);
  putchar('\n');
  fflush(stdout);
  if (write_error != 0) {
    fprintf(stderr, "Couldn't write %s: %s\n", name, strerror(write_error));
    return TRANSFER_NOT_STORED;
  }
  return TRANSFER_DONE;
}
