#include "protocols/zmodem/frame.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/wire.h"

using Clock = std::chrono::steady_clock;

ZHeader MakeZHeader(uint8_t type, uint32_t position) {
  ZHeader header;
  header.type = type;
  for (int i = 0; i < 4; i++)
    header.data[i] = uint8_t(position >> (8 * i));
  return header;
}

uint32_t GetZPosition(const ZHeader& header) {
  return uint32_t(header.data[0]) | uint32_t(header.data[1]) << 8 | uint32_t(header.data[2]) << 16 |
         uint32_t(header.data[3]) << 24;
}

static bool NeedsEscape(uint8_t byte, const ZEscaper& escaper) {
  switch (byte) {
    case kZDle:
    case 0x10:
    case 0x90:
    case 0x11:
    case 0x91:
    case 0x13:
    case 0x93:
      return true;
    case 0x0D:
    case 0x8D:
      return escaper.escape_all || (escaper.last & 0x7F) == '@';
    default:
      return escaper.escape_all && (byte & 0x60) == 0;
  }
}

void AppendZEscaped(ZBytes* out, const uint8_t* bytes, size_t length, ZEscaper* escaper) {
  for (size_t i = 0; i < length; i++) {
    uint8_t byte = bytes[i];
    if (NeedsEscape(byte, *escaper)) {
      out->push_back(kZDle);
      byte ^= 0x40;
    }
    out->push_back(byte);
    escaper->last = byte;
  }
}

static uint8_t HeaderBytes(const ZHeader& header, uint8_t* bytes) {
  bytes[0] = header.type;
  memcpy(bytes + 1, header.data, 4);
  return 5;
}

ZBytes FormZHexHeader(const ZHeader& header) {
  uint8_t bytes[7];
  HeaderBytes(header, bytes);
  uint16_t crc = UpdateCrc16(0, bytes, 5);
  bytes[5] = uint8_t(crc >> 8);
  bytes[6] = uint8_t(crc);
  ZBytes out = {kZPad, kZPad, kZDle, kZHex};
  static const char kDigits[] = "0123456789abcdef";
  for (uint8_t byte : bytes) {
    out.push_back(uint8_t(kDigits[byte >> 4]));
    out.push_back(uint8_t(kDigits[byte & 15]));
  }
  // CR, LF with its 8th bit set, and XON for a line XOFF stopped, as
  // lrzsz writes them; not after ZACK or ZFIN, which data or "OO" follow.
  out.push_back(0x0D);
  out.push_back(0x8A);
  if (header.type != kZAck && header.type != kZFin) out.push_back(0x11);
  return out;
}

ZBytes FormZBinHeader(const ZHeader& header, bool crc32, ZEscaper* escaper) {
  uint8_t bytes[9];
  HeaderBytes(header, bytes);
  size_t length = 5;
  if (crc32) {
    uint32_t crc = UpdateCrc32(0, bytes, 5);
    for (int i = 0; i < 4; i++)
      bytes[length++] = uint8_t(crc >> (8 * i));
  } else {
    uint16_t crc = UpdateCrc16(0, bytes, 5);
    bytes[length++] = uint8_t(crc >> 8);
    bytes[length++] = uint8_t(crc);
  }
  ZBytes out = {kZPad, kZDle, crc32 ? kZBin32 : kZBin};
  AppendZEscaped(&out, bytes, length, escaper);
  return out;
}

void AppendZSubpacket(ZBytes* out, const uint8_t* data, size_t length, uint8_t end, bool crc32,
                      ZEscaper* escaper) {
  AppendZEscaped(out, data, length, escaper);
  out->push_back(kZDle);
  out->push_back(end);
  escaper->last = end;
  uint8_t check[4];
  size_t check_length = 0;
  if (crc32) {
    uint32_t crc = UpdateCrc32(UpdateCrc32(0, data, length), &end, 1);
    for (int i = 0; i < 4; i++)
      check[check_length++] = uint8_t(crc >> (8 * i));
  } else {
    uint16_t crc = UpdateCrc16(UpdateCrc16(0, data, length), &end, 1);
    check[check_length++] = uint8_t(crc >> 8);
    check[check_length++] = uint8_t(crc);
  }
  AppendZEscaped(out, check, check_length, escaper);
}

// ---- reading ----

// What ReadEscaped takes off the line beyond a data byte.
constexpr int kGotEnd = 0x100;  // ORed with a subpacket's end
constexpr int kGotCancel = 0x200;
constexpr int kGotBad = 0x400;  // ZDLE before a byte nothing escapes

static ZRead ReadRaw(PortHandle port, uint32_t wait_ms, uint8_t* byte) {
  PortResult got = WaitForByte(port, wait_ms);
  if (got == PortResult::kTimedOut) return ZRead::kQuiet;
  if (got != PortResult::kDone || ReadByte(port, byte) != PortResult::kDone) return ZRead::kLost;
  return ZRead::kDone;
}

static bool IsFlowControl(uint8_t byte) {
  return (byte & 0x7F) == 0x11 || (byte & 0x7F) == 0x13;
}

// One byte undone of its escape, each within pause_ms: XON and XOFF, and
// with ignore_controls every bare control character, are the line's and
// dropped. Five CANs (ZDLEs) in a row are the cancel.
static ZRead ReadEscaped(PortHandle port, uint32_t pause_ms, bool ignore_controls, int* value) {
  uint8_t byte = 0;
  for (;;) {
    ZRead got = ReadRaw(port, pause_ms, &byte);
    if (got != ZRead::kDone) return got;
    if (byte == kZDle) break;
    if (IsFlowControl(byte) || (ignore_controls && (byte & 0x60) == 0)) continue;
    *value = byte;
    return ZRead::kDone;
  }
  int cans = 1;
  for (;;) {
    ZRead got = ReadRaw(port, pause_ms, &byte);
    if (got != ZRead::kDone) return got;
    if (byte == kZDle) {
      if (++cans >= 5) {
        *value = kGotCancel;
        return ZRead::kDone;
      }
      continue;
    }
    if (IsFlowControl(byte) || (ignore_controls && (byte & 0x60) == 0)) continue;
    break;
  }
  // ZDLE CAN CAN... then a byte: only the last ZDLE escapes.
  switch (byte) {
    case kZCrcE:
    case kZCrcG:
    case kZCrcQ:
    case kZCrcW:
      *value = kGotEnd | byte;
      return ZRead::kDone;
    case 'l':
      *value = 0x7F;
      return ZRead::kDone;
    case 'm':
      *value = 0xFF;
      return ZRead::kDone;
    default:
      *value = (byte & 0x60) == 0x40 ? byte ^ 0x40 : kGotBad;
      return ZRead::kDone;
  }
}

static int ReadHexDigit(uint8_t byte) {
  byte &= 0x7F;
  if (byte >= '0' && byte <= '9') return byte - '0';
  if (byte >= 'a' && byte <= 'f') return byte - 'a' + 10;
  if (byte >= 'A' && byte <= 'F') return byte - 'A' + 10;
  return -1;
}

static ZRead ReadHexHeader(PortHandle port, uint32_t pause_ms, ZHeader* header) {
  uint8_t bytes[7];
  for (uint8_t& byte : bytes) {
    int digits[2];
    for (int& digit : digits) {
      uint8_t raw = 0;
      ZRead got = ReadRaw(port, pause_ms, &raw);
      if (got != ZRead::kDone) return got == ZRead::kQuiet ? ZRead::kDamaged : got;
      digit = ReadHexDigit(raw);
      if (digit < 0) return ZRead::kDamaged;
    }
    byte = uint8_t(digits[0] << 4 | digits[1]);
  }
  if (UpdateCrc16(0, bytes, 7) != 0) return ZRead::kDamaged;
  header->type = bytes[0];
  memcpy(header->data, bytes + 1, 4);
  // CR and LF follow, which a subpacket after ZSINIT must not take for its
  // data; a byte that is no CR is dropped, as lrzsz drops it.
  uint8_t end = 0;
  if (ReadRaw(port, pause_ms, &end) == ZRead::kDone && (end & 0x7F) == 0x0D) {
    ReadRaw(port, pause_ms, &end);
  }
  return ZRead::kDone;
}

// Reads length escaped bytes of a header or a check: a quiet line or a
// byte that is no data byte there damages it.
static ZRead ReadEscapedBytes(PortHandle port, uint32_t pause_ms, bool ignore_controls,
                              uint8_t* bytes, size_t length) {
  for (size_t i = 0; i < length; i++) {
    int value = 0;
    ZRead got = ReadEscaped(port, pause_ms, ignore_controls, &value);
    if (got == ZRead::kQuiet) return ZRead::kDamaged;
    if (got != ZRead::kDone) return got;
    if (value == kGotCancel) return ZRead::kCancelled;
    if (value > 0xFF) return ZRead::kDamaged;
    bytes[i] = uint8_t(value);
  }
  return ZRead::kDone;
}

static uint32_t ReadLittleEndian32(const uint8_t* bytes) {
  return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
         uint32_t(bytes[3]) << 24;
}

static ZRead ReadBinHeader(PortHandle port, uint32_t pause_ms, bool crc32, bool ignore_controls,
                           ZHeader* header) {
  uint8_t bytes[9];
  ZRead got = ReadEscapedBytes(port, pause_ms, ignore_controls, bytes, crc32 ? 9 : 7);
  if (got != ZRead::kDone) return got;
  bool good = false;
  if (crc32) {
    good = UpdateCrc32(0, bytes, 5) == ReadLittleEndian32(bytes + 5);
  } else {
    good = UpdateCrc16(0, bytes, 7) == 0;
  }
  if (!good) return ZRead::kDamaged;
  header->type = bytes[0];
  memcpy(header->data, bytes + 1, 4);
  return ZRead::kDone;
}

ZRead ReadZHeader(PortHandle port, uint32_t wait_ms, bool ignore_controls, ZHeader* header,
                  bool* crc32) {
  // A header's own bytes come together; only the wait before it is long.
  const uint32_t pause_ms = 1000;
  auto start = Clock::now();
  bool pad = false;
  int cans = 0;
  for (;;) {
    uint32_t waited = MillisecondsSince(start);
    if (waited >= wait_ms) return ZRead::kQuiet;
    uint8_t byte = 0;
    ZRead got = ReadRaw(port, wait_ms - waited, &byte);
    if (got != ZRead::kDone) return got;
    if (byte == kZDle) {
      if (++cans >= 5) return ZRead::kCancelled;
      if (!pad) continue;
      pad = false;
      got = ReadRaw(port, pause_ms, &byte);
      if (got == ZRead::kQuiet) continue;
      if (got != ZRead::kDone) return got;
      if (byte == kZDle) {
        if (++cans >= 5) return ZRead::kCancelled;
        continue;
      }
      cans = 0;
      if ((byte & 0x7F) == kZHex) {
        *crc32 = false;
        return ReadHexHeader(port, pause_ms, header);
      }
      if (byte == kZBin || byte == kZBin32) {
        *crc32 = byte == kZBin32;
        return ReadBinHeader(port, pause_ms, *crc32, ignore_controls, header);
      }
      continue;
    }
    cans = 0;
    pad = (byte & 0x7F) == kZPad;
  }
}

ZRead ReadZSubpacket(PortHandle port, uint32_t pause_ms, bool crc32, bool ignore_controls,
                     ZBytes* data, uint8_t* end) {
  data->clear();
  for (;;) {
    int value = 0;
    ZRead got = ReadEscaped(port, pause_ms, ignore_controls, &value);
    if (got == ZRead::kQuiet) return ZRead::kDamaged;
    if (got != ZRead::kDone) return got;
    if (value == kGotCancel) return ZRead::kCancelled;
    if (value == kGotBad || data->size() >= kZSubpacketMax) return ZRead::kDamaged;
    if (value & kGotEnd) {
      *end = uint8_t(value);
      break;
    }
    data->push_back(uint8_t(value));
  }
  uint8_t check[4];
  ZRead got = ReadEscapedBytes(port, pause_ms, ignore_controls, check, crc32 ? 4 : 2);
  if (got != ZRead::kDone) return got;
  if (crc32) {
    uint32_t crc = UpdateCrc32(UpdateCrc32(0, data->data(), data->size()), end, 1);
    return crc == ReadLittleEndian32(check) ? ZRead::kDone : ZRead::kDamaged;
  }
  uint16_t crc = UpdateCrc16(UpdateCrc16(0, data->data(), data->size()), end, 1);
  return crc == uint16_t(check[0] << 8 | check[1]) ? ZRead::kDone : ZRead::kDamaged;
}

bool FindZHexHeader(const uint8_t* bytes, size_t length, uint8_t type, ZHeader* header) {
  for (size_t at = 0; at + 4 + 14 <= length; at++) {
    if ((bytes[at] & 0x7F) != kZPad || bytes[at + 1] != kZDle || (bytes[at + 2] & 0x7F) != kZHex) {
      continue;
    }
    uint8_t decoded[7];
    bool hex = true;
    for (int i = 0; i < 7 && hex; i++) {
      int high = ReadHexDigit(bytes[at + 3 + 2 * i]);
      int low = ReadHexDigit(bytes[at + 4 + 2 * i]);
      hex = high >= 0 && low >= 0;
      decoded[i] = uint8_t(high << 4 | low);
    }
    if (!hex || UpdateCrc16(0, decoded, 7) != 0 || decoded[0] != type) continue;
    header->type = type;
    memcpy(header->data, decoded + 1, 4);
    return true;
  }
  return false;
}

// ---- ZFILE's information ----

ZBytes FormZFileInfo(const ZFileFacts& facts, int files_left, uint64_t bytes_left) {
  ZBytes out(facts.name.begin(), facts.name.end());
  out.push_back(0);
  char fields[128];
  snprintf(fields, sizeof fields, "%" PRIu64 " %" PRIo64 " %o 0 %d %" PRIu64, facts.size,
           uint64_t(facts.mtime), unsigned(facts.mode), files_left, bytes_left);
  out.insert(out.end(), fields, fields + strlen(fields));
  out.push_back(0);
  return out;
}

// Reads an unsigned number of that base at *at, then passes the spaces
// after it; false when none is there or it is too large.
static bool ReadField(const char** at, int base, uint64_t* value) {
  const char* p = *at;
  if (*p < '0' || *p > (base == 8 ? '7' : '9')) return false;
  uint64_t v = 0;
  for (; *p >= '0' && *p <= (base == 8 ? '7' : '9'); p++) {
    uint64_t digit = uint64_t(*p - '0');
    if (v > (UINT64_MAX - digit) / uint64_t(base)) return false;
    v = v * uint64_t(base) + digit;
  }
  while (*p == ' ')
    p++;
  *at = p;
  *value = v;
  return true;
}

bool ReadZFileInfo(const uint8_t* data, size_t length, ZFileFacts* facts) {
  const uint8_t* nul = static_cast<const uint8_t*>(memchr(data, 0, length));
  if (nul == nullptr || nul == data) return false;
  *facts = ZFileFacts();
  facts->name.assign(reinterpret_cast<const char*>(data), size_t(nul - data));
  // The fields, up to the next NUL or the end, as a string of their own.
  std::string rest(reinterpret_cast<const char*>(nul + 1), length - size_t(nul + 1 - data));
  rest = rest.c_str();
  const char* at = rest.c_str();
  uint64_t value = 0;
  if (*at == 0) return true;
  if (!ReadField(&at, 10, &value)) return false;
  facts->sized = true;
  facts->size = value;
  if (*at == 0) return true;
  if (!ReadField(&at, 8, &value) || value > uint64_t(INT64_MAX)) return false;
  facts->timed = value != 0;
  facts->mtime = int64_t(value);
  if (*at == 0) return true;
  if (!ReadField(&at, 8, &value)) return false;
  facts->moded = value != 0;
  facts->mode = uint32_t(value & 07777);
  return true;  // the serial number and what is left of the batch tell nothing needed
}
