// The wire format as a peer played by a test puts it on the line. Written
// apart from the program's own code, so that a fault shared by both ends of
// a run cannot hide.
#ifndef VELCOT_TESTS_WIRE_UTIL_H
#define VELCOT_TESTS_WIRE_UTIL_H

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

typedef std::vector<uint8_t> Bytes;

// The name field of an announcement, NUL-filled.
inline Bytes NameField(const std::string& name) {
  Bytes field(12, 0);
  std::copy(name.begin(), name.end(), field.begin());
  return field;
}

// Bytes of a pattern that repeats only every 256 KiB, from seed.
inline Bytes PatternBytes(size_t n, unsigned seed) {
  Bytes bytes(n);
  for (size_t i = 0; i < n; i++)
    bytes[i] = uint8_t((i * 131 + seed * 7 + i / 256) & 0xFF);
  return bytes;
}

// What a velcot sender writes to open each exchange: a preamble that offers
// the streaming exchange, which a classic receiver drops, then START.
const char kSenderOpening[] = "\x16VCT\x99";

inline uint16_t SumBlock(const std::string& block) {
  uint16_t sum = 0;
  for (size_t i = 0; i < block.size(); i++) {
    unsigned byte = static_cast<unsigned char>(block[i]);
    sum = uint16_t(sum + (i % 2 == 0 && i + 1 < block.size() ? byte : byte << 8));
  }
  return sum;
}

inline std::string EncodeWord(uint16_t value) {
  return {char(value >> 8), char(value & 0xFF)};
}

// A block as the sender puts it on the line: the bytes and their checksum.
inline std::string Frame(const std::string& block) {
  return block + EncodeWord(SumBlock(block));
}

// The name field and the size field that follow START and READY.
inline std::string EncodeAnnouncement(const std::string& name, uint32_t size) {
  std::string field = name;
  field.resize(12, '\0');
  return field + EncodeWord(uint16_t(size >> 16)) + EncodeWord(uint16_t(size));
}

// CRC-32 (zlib's), bit by bit.
inline uint32_t Crc32(const std::string& bytes) {
  uint32_t crc = 0xFFFFFFFF;
  for (unsigned char byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; bit++)
      crc = (crc >> 1) ^ (crc & 1 ? 0xEDB88320u : 0);
  }
  return ~crc;
}

// A frame of the streaming exchange: sync, type, sequence, length, header
// check, payload, CRC-32.
inline std::string EncodeStreamFrame(uint8_t type, uint8_t sequence, const std::string& payload) {
  std::string checked = {char(type), char(sequence)};
  checked += EncodeWord(uint16_t(payload.size()));
  uint32_t crc = Crc32(checked + payload);
  return "\xF3\x5C" + checked + EncodeWord(uint16_t(Crc32(checked))) + payload +
         EncodeWord(uint16_t(crc >> 16)) + EncodeWord(uint16_t(crc));
}

#endif
