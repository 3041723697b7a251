// ZMODEM's frames, both ends: headers (hex, and binary with CRC-16 or
// CRC-32), data subpackets, ZDLE escaping, the file information ZFILE
// carries, and their reading off the port with every wait bounded.
// doc/zmodem.md describes what velcot sends and accepts.
#ifndef VELCOT_PROTOCOLS_ZMODEM_FRAME_H
#define VELCOT_PROTOCOLS_ZMODEM_FRAME_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ports/commdev.h"

typedef std::vector<uint8_t> ZBytes;

constexpr uint8_t kZPad = '*';
constexpr uint8_t kZDle = 0x18;  // also CAN: five in a row cancel
constexpr uint8_t kZBin = 'A';
constexpr uint8_t kZHex = 'B';
constexpr uint8_t kZBin32 = 'C';

// Header types.
enum : uint8_t {
  kZRqInit = 0,
  kZRInit = 1,
  kZSInit = 2,
  kZAck = 3,
  kZFile = 4,
  kZSkip = 5,
  kZNak = 6,
  kZAbort = 7,
  kZFin = 8,
  kZRPos = 9,
  kZData = 10,
  kZEof = 11,
  kZFErr = 12,
  kZCrc = 13,
  kZChallenge = 14,
  kZCompl = 15,
  kZCan = 16,
  kZFreeCnt = 17,
  kZCommand = 18,
};

// How a data subpacket ends: E and G go on without an answer (E ends the
// frame), Q and W are answered with ZACK (W ends the frame).
constexpr uint8_t kZCrcE = 'h';
constexpr uint8_t kZCrcG = 'i';
constexpr uint8_t kZCrcQ = 'j';
constexpr uint8_t kZCrcW = 'k';

// ZRINIT's capabilities (its ZF0) and ZSINIT's ask to escape every control
// character.
constexpr uint8_t kZCanFdx = 0x01;
constexpr uint8_t kZCanOvio = 0x02;
constexpr uint8_t kZCanFc32 = 0x20;
constexpr uint8_t kZEscCtl = 0x40;

// ZFILE's ZF0: binary, or resume from the receiver's length.
constexpr uint8_t kZcBin = 1;
constexpr uint8_t kZcResume = 3;

// The longest subpacket velcot sends, and the longest it takes (lrzsz's
// sz -8 sends 8 KiB).
constexpr size_t kZSubpacket = 1024;
constexpr size_t kZSubpacketMax = 8192;

// The cancel: CANs, then backspaces to wipe them off a terminal.
constexpr uint8_t kZCancel[16] = {kZDle, kZDle, kZDle, kZDle, kZDle, kZDle, kZDle, kZDle,
                                  8,     8,     8,     8,     8,     8,     8,     8};

// A header: its type and four bytes, ZP0 first. ZP0..ZP3 hold a position
// (least significant first), or ZF3..ZF0 flags (ZF0 in the last).
struct ZHeader {
  uint8_t type = 0;
  uint8_t data[4] = {0, 0, 0, 0};
};
ZHeader MakeZHeader(uint8_t type, uint32_t position);
uint32_t GetZPosition(const ZHeader& header);
inline uint8_t GetZFlags(const ZHeader& header) {
  return header.data[3];
}

// Bytes as ZMODEM escapes them: ZDLE, DLE, XON and XOFF (either parity)
// always, CR after '@' (Telenet's escape), and with escape_all every
// control character.
struct ZEscaper {
  bool escape_all = false;
  uint8_t last = 0;
};
void AppendZEscaped(ZBytes* out, const uint8_t* bytes, size_t length, ZEscaper* escaper);

// A hex header: what both ends send before they agree on a check, and
// what receivers send always.
ZBytes FormZHexHeader(const ZHeader& header);
// A binary header with CRC-32 or CRC-16.
ZBytes FormZBinHeader(const ZHeader& header, bool crc32, ZEscaper* escaper);
// A data subpacket: the data escaped, ZDLE and its end, and its check.
void AppendZSubpacket(ZBytes* out, const uint8_t* data, size_t length, uint8_t end, bool crc32,
                      ZEscaper* escaper);

// ---- reading ----

enum class ZRead { kDone, kQuiet, kDamaged, kCancelled, kLost };

// Waits at most wait_ms for a header, passing over what comes before it:
// kDone with *header, and *crc32 telling which check it came with;
// kDamaged when one failed its check; kCancelled for five CANs in a row.
// ignore_controls: the other end escapes every control character, so a
// bare one is the line's and dropped.
ZRead ReadZHeader(PortHandle port, uint32_t wait_ms, bool ignore_controls, ZHeader* header,
                  bool* crc32);

// Reads a data subpacket, each byte within pause_ms of the one before:
// kDone with its data and *end; kDamaged when its check failed or it ran
// past kZSubpacketMax.
ZRead ReadZSubpacket(PortHandle port, uint32_t pause_ms, bool crc32, bool ignore_controls,
                     ZBytes* data, uint8_t* end);

// Finds a whole hex header of that type in bytes, its check holding: true
// with *header set.
bool FindZHexHeader(const uint8_t* bytes, size_t length, uint8_t type, ZHeader* header);

// ---- ZFILE's information ----

struct ZFileFacts {
  std::string name;  // as sent, '/' between a path's parts
  bool sized = false;
  uint64_t size = 0;
  bool timed = false;
  int64_t mtime = 0;  // seconds since 1970
  bool moded = false;
  uint32_t mode = 0;  // permission bits
};

// The name, NUL, then size in decimal, time and mode in octal, the serial
// number, the files and bytes left.
ZBytes FormZFileInfo(const ZFileFacts& facts, int files_left, uint64_t bytes_left);

// False when no NUL ends the name, or a field is no number or too large.
bool ReadZFileInfo(const uint8_t* data, size_t length, ZFileFacts* facts);

#endif
