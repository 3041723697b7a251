#include "base/wire.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

// ---- the opening of every file ----

namespace {

// Where a sender may open an exchange, the receiver takes bytes off the
// line until it falls quiet, and then judges them: how many came, and the
// last few, the latest at the end.
struct LineBurst {
  uint32_t count;
  uint8_t tail[kOpeningMaxLength];
};

}  // namespace

enum class BurstEnd {
  kQuiet,    // the line stayed quiet after a byte, or a velcot sender's opening came
  kTooLong,  // more came than the reader allowed
  kLost,
};

bool IsStreamOpening(const uint8_t* bytes) {
  return memcmp(bytes, kPreamble, kPreambleSize) == 0 && bytes[kPreambleSize] == kStart;
}

// A velcot sender writes the preamble right before its START: such a burst
// ends an opening at once, as no data holds those five bytes.
static bool EndsWithStreamOpening(const LineBurst& burst) {
  return burst.count > kPreambleSize &&
         IsStreamOpening(burst.tail + kOpeningMaxLength - 1 - kPreambleSize);
}

// The same with one byte of the preamble damaged on the line, once the line
// is quiet: a velcot sender's opening still. Answering READY_STREAM to
// anything else is harmless: a classic sender writes its name field, which
// is taken as one.
static bool EndsWithDamagedStreamOpening(const LineBurst& burst) {
  const uint8_t* preamble = burst.tail + kOpeningMaxLength - 1 - kPreambleSize;
  return burst.count > kPreambleSize && preamble[kPreambleSize] == kStart &&
         CountDifferences(preamble, kPreamble, kPreambleSize) <= 1;
}

// Takes bytes off the line until it has stayed quiet for quiet_ms after
// one, a velcot sender's opening has come, or the burst has grown past
// max_count.
static BurstEnd ReadBurst(PortHandle port, uint32_t quiet_ms, uint32_t max_count, LineBurst* burst,
                          OtherOpening* other = nullptr) {
  for (;;) {
    uint8_t byte;
    if (ReadByte(port, &byte) != PortResult::kDone) return BurstEnd::kLost;
    if (other != nullptr) {
      if (other->length == kOtherOpeningMax) {
        memmove(other->heard, other->heard + 1, kOtherOpeningMax - 1);
        other->length--;
      }
      other->heard[other->length++] = byte;
    }
    memmove(burst->tail, burst->tail + 1, kOpeningMaxLength - 1);
    burst->tail[kOpeningMaxLength - 1] = byte;
    if (burst->count < UINT32_MAX) burst->count++;
    if (burst->count > max_count) return BurstEnd::kTooLong;
    if (EndsWithStreamOpening(*burst)) return BurstEnd::kQuiet;
    PortResult waiting = WaitForByte(port, quiet_ms);
    if (waiting == PortResult::kTimedOut) return BurstEnd::kQuiet;
    if (waiting == PortResult::kLost) return BurstEnd::kLost;
  }
}

// Which sender's opening a burst after which the line stayed quiet ends
// with, if any: it ends with START, after the preamble from a velcot
// sender, as a sender writes it and waits. *alone tells whether other bytes
// came before it.
static SeenOpening JudgeOpening(const LineBurst& burst, bool* alone) {
  if (burst.count == 0 || burst.tail[kOpeningMaxLength - 1] != kStart) return SeenOpening::kNone;
  bool stream = EndsWithDamagedStreamOpening(burst);
  *alone = burst.count == (stream ? kPreambleSize + 1 : 1);
  return stream ? SeenOpening::kStream : SeenOpening::kClassic;
}

PortResult WaitForOpening(PortHandle port, uint32_t quiet_ms, uint32_t limit_ms, SeenOpening* seen,
                          OtherOpening* other) {
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    uint32_t waited = MillisecondsSince(start);
    PortResult waiting = limit_ms == kForEver ? PortResult::kDone
                         : waited < limit_ms  ? WaitForByte(port, limit_ms - waited)
                                              : PortResult::kTimedOut;
    if (waiting != PortResult::kDone) return waiting;
    // Within a limit, a line that never falls quiet is judged every few
    // kilobytes, so that the limit holds.
    LineBurst burst = {};
    if (other != nullptr) other->length = 0;
    BurstEnd read =
        ReadBurst(port, quiet_ms, limit_ms == kForEver ? UINT32_MAX : 4096, &burst, other);
    if (read == BurstEnd::kLost) return PortResult::kLost;
    bool alone = false;
    *seen = read == BurstEnd::kQuiet ? JudgeOpening(burst, &alone) : SeenOpening::kNone;
    if (*seen == SeenOpening::kNone && read == BurstEnd::kQuiet && other != nullptr &&
        other->recognize(other->heard, other->length)) {
      *seen = SeenOpening::kOther;
    }
    if (*seen != SeenOpening::kNone) return PortResult::kDone;
  }
}

bool WatchForSender(PortHandle port, uint32_t watch_ms, uint32_t quiet_ms, SeenOpening* opened) {
  if (WaitForByte(port, watch_ms) != PortResult::kDone) return false;
  LineBurst burst = {};
  BurstEnd read = ReadBurst(port, quiet_ms, kOpeningMaxLength, &burst);
  if (read == BurstEnd::kLost && burst.count == 0) return false;
  bool alone = false;
  SeenOpening seen = read == BurstEnd::kQuiet ? JudgeOpening(burst, &alone) : SeenOpening::kNone;
  if (alone) *opened = seen;
  return !alone;
}

// A velcot sender that heard no READY for a while writes its opening again,
// and an answer to an earlier one may cross it. No name a receiver stores
// begins with one, as the preamble begins with a control byte.
PortResult ReadNameField(PortHandle port, uint8_t* field, uint32_t limit_ms) {
  const size_t kOpeningLength = kPreambleSize + 1;
  PortResult got = ReadBytes(port, field, kNameFieldSize, limit_ms);
  while (got == PortResult::kDone && IsStreamOpening(field)) {
    memmove(field, field + kOpeningLength, kNameFieldSize - kOpeningLength);
    got = ReadBytes(port, field + kNameFieldSize - kOpeningLength, kOpeningLength, limit_ms);
  }
  return got;
}

bool IsStreamField(const uint8_t* field) {
  return (field[0] == 0 && field[1] != 0) ||
         memcmp(field + 1, kStreamField + 1, kNameFieldSize - 1) == 0;
}

bool IsDamagedStreamField(const uint8_t* field) {
  return IsStreamField(field) || CountDifferences(field, kStreamField, kNameFieldSize) <= 2;
}

PortResult WaitForQuietLine(PortHandle port, uint32_t quiet_ms, uint32_t limit_ms) {
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    PortResult waiting = WaitForByte(port, quiet_ms);
    if (waiting == PortResult::kTimedOut) return PortResult::kDone;
    uint8_t dropped;
    if (waiting == PortResult::kLost || ReadByte(port, &dropped) != PortResult::kDone) {
      return PortResult::kLost;
    }
    if (limit_ms != kForEver && MillisecondsSince(start) >= limit_ms) return PortResult::kTimedOut;
  }
}

// ---- byte order and checksums ----

size_t CountDifferences(const uint8_t* a, const uint8_t* b, size_t length) {
  size_t count = 0;
  for (size_t i = 0; i < length; i++)
    count += a[i] != b[i];
  return count;
}

void PutBigEndian(uint8_t* at, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; i--, value >>= 8)
    at[i] = uint8_t(value);
}

uint64_t GetBigEndian(const uint8_t* at, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; i++)
    value = value << 8 | at[i];
  return value;
}

size_t PutVarint(uint8_t* at, uint64_t value) {
  uint8_t bytes[kVarintMax];
  size_t first = sizeof bytes;
  uint8_t more = 0;
  do {
    bytes[--first] = uint8_t((value & 0x7F) | more);
    more = 0x80;
    value >>= 7;
  } while (value > 0);
  memcpy(at, bytes + first, sizeof bytes - first);
  return sizeof bytes - first;
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

uint32_t UpdateCrc32(uint32_t crc, const uint8_t* bytes, size_t length) {
  // zlib's takes several bytes a step, where a byte at a time held back the
  // unpaced line. Given a null pointer (an empty buffer's) it answers 0.
  if (length == 0) return crc;
  return uint32_t(crc32_z(crc, bytes, length));
}

namespace {

// The 256 remainders of CRC-16/XMODEM, made by the compiler: a byte a step.
struct Crc16Table {
  uint16_t at[256];
};

}  // namespace
static constexpr Crc16Table MakeCrc16Table() {
  Crc16Table table = {};
  for (unsigned i = 0; i < 256; i++) {
    uint16_t r = uint16_t(i << 8);
    for (int bit = 0; bit < 8; bit++)
      r = uint16_t(r & 0x8000 ? (r << 1) ^ 0x1021 : r << 1);
    table.at[i] = r;
  }
  return table;
}
constexpr Crc16Table kCrc16Table = MakeCrc16Table();

uint16_t UpdateCrc16(uint16_t crc, const uint8_t* bytes, size_t length) {
  for (size_t i = 0; i < length; i++)
    crc = uint16_t((crc << 8) ^ kCrc16Table.at[((crc >> 8) ^ bytes[i]) & 0xFF]);
  return crc;
}

// ---- times from the line's speed ----

// The milliseconds that count characters take on the line, rounded up.
static uint64_t CountLineTime(uint64_t characters, uint32_t baudrate, const LineFormat& format) {
  if (baudrate == 0) return 0;  // a line that never moves adds no time of its own
  return (characters * CountBitsPerCharacter(format) * 1000 + baudrate - 1) / baudrate;
}

static uint32_t LimitToUint32(uint64_t ms) {
  return uint32_t(std::min<uint64_t>(ms, UINT32_MAX));
}

uint32_t ComputeStallLimit(uint32_t baudrate, const LineFormat& format) {
  const uint64_t kShortestMs = 30000;
  const uint64_t kRoundBytes = kBlockSize + 4;  // a block, its checksum word, the reply word
  if (baudrate == 0) return kNoStallLimit;      // a line that never moves
  return LimitToUint32(std::max(kShortestMs, CountLineTime(4 * kRoundBytes, baudrate, format)));
}

// An FTDI USB adapter holds what it receives until 62 characters have
// collected or its latency timer, 16 ms unless set lower, runs out.
constexpr uint64_t kUsbLatencyMs = 16;

// 16 characters (a UART's FIFO), a latency timer and 4 ms of the host's:
// at most half the time between a sender's STARTs.
uint32_t ComputeOpeningQuiet(uint32_t baudrate, const LineFormat& format) {
  uint64_t quiet_ms = CountLineTime(16, baudrate, format) + kUsbLatencyMs + 4;
  return uint32_t(std::min<uint64_t>(quiet_ms, kQuickStartMs / 2));
}

// Our answer, the sender's turn and its first character: 3 characters, a
// latency timer at each end, and 100 ms for a busy host.
uint32_t ComputeWatchTime(uint32_t baudrate, const LineFormat& format) {
  return LimitToUint32(CountLineTime(3, baudrate, format) + 2 * kUsbLatencyMs + 100);
}

// The quiet after START and ten characters more, at least half a second
// and at most 900 ms.
uint32_t ComputeQuietTime(uint32_t baudrate, const LineFormat& format) {
  uint32_t quiet_ms = ComputeOpeningQuiet(baudrate, format) + CountLineTime(10, baudrate, format);
  return std::max<uint32_t>(kQuickStartMs / 2, std::min<uint32_t>(quiet_ms, kQuickStartMs - 100));
}

LineTimes ComputeLineTimes(uint32_t baudrate, const LineFormat& format) {
  return {ComputeStallLimit(baudrate, format),
          ComputeOpeningQuiet(baudrate, format),
          ComputeWatchTime(baudrate, format),
          LimitToUint32(CountLineTime(kLongestFrame, baudrate, format)),
          ComputeQuietTime(baudrate, format),
          baudrate == 0 ? 0 : LimitToUint32(uint64_t(baudrate) / CountBitsPerCharacter(format))};
}

uint32_t ScaleStallLimit(uint32_t stall_limit_ms, uint32_t quarters) {
  return LimitToUint32(uint64_t(stall_limit_ms) * quarters / 4);
}

uint32_t MillisecondsSince(std::chrono::steady_clock::time_point start) {
  auto elapsed = std::chrono::steady_clock::now() - start;
  return uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}
