// X/YMODEM's blocks without the port: their framing and checks (the 8-bit
// sum or CRC-16), and YMODEM's block 0, which names a file or ends the
// batch. doc/xymodem.md describes what velcot sends and accepts.
#ifndef VELCOT_PROTOCOLS_XYMODEM_BLOCK_H
#define VELCOT_PROTOCOLS_XYMODEM_BLOCK_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

typedef std::vector<uint8_t> XyBytes;

constexpr uint8_t kXySoh = 0x01;  // a block of 128 bytes follows
constexpr uint8_t kXyStx = 0x02;  // a block of 1024 bytes follows
constexpr uint8_t kXyEot = 0x04;  // the file's end
constexpr uint8_t kXyAck = 0x06;
constexpr uint8_t kXyNak = 0x15;  // a block again; first, the receiver asks for the 8-bit sum
constexpr uint8_t kXyCan = 0x18;  // two in a row cancel the transfer
constexpr uint8_t kXySub = 0x1A;  // pads the last block
constexpr uint8_t kXyAskCrc = 'C';
constexpr uint8_t kXyAskG = 'G';  // YMODEM-g: CRC-16, and no answer to any block

constexpr size_t kXyShort = 128;
constexpr size_t kXyLong = 1024;

enum class XyCheck { kSum, kCrc };

// The bytes after the block's first one: number, its complement, data, check.
inline size_t CountXyBlockRest(size_t data_size, XyCheck check) {
  return 2 + data_size + (check == XyCheck::kCrc ? 2 : 1);
}

// The block on the line: SOH or STX by the data's size (128 or 1024),
// number, complement, the data padded with SUB to that size, and the check.
XyBytes FormXyBlock(uint8_t number, const uint8_t* data, size_t length, size_t size, XyCheck check);

// Reads the rest of a block whose first byte announced size data bytes:
// true, with *number set, when the number matches its complement and the
// check holds. The data is at rest + 2.
bool ReadXyBlock(const uint8_t* rest, size_t size, XyCheck check, uint8_t* number);

// What YMODEM's block 0 says of a file.
struct XyFileFacts {
  std::string name;  // as sent, '/' between a path's parts
  bool sized = false;
  uint64_t size = 0;
  bool timed = false;
  int64_t mtime = 0;  // seconds since 1970
  bool moded = false;
  uint32_t mode = 0;  // permission bits
};

// Block 0's data for a file: its name, NUL, then its size in decimal, its
// time and mode in octal; 128 bytes, or 1024 when they do not fit. An empty
// name forms the empty block that ends the batch.
XyBytes FormYmodemHeader(const XyFileFacts& facts);

enum class XyHeader {
  kFile,        // *facts tells of the file that follows
  kEndOfBatch,  // the empty name: no more files
  kInvalid,     // no NUL after the name, or a field that is no number or too large
};
XyHeader ReadYmodemHeader(const uint8_t* data, size_t size, XyFileFacts* facts);

#endif
