#include "protocols/xymodem/block.h"

#include <algorithm>
#include <cstring>

#include "base/wire.h"

static uint8_t SumXyData(const uint8_t* data, size_t size) {
  uint8_t sum = 0;
  for (size_t i = 0; i < size; i++)
    sum = uint8_t(sum + data[i]);
  return sum;
}

XyBytes FormXyBlock(uint8_t number, const uint8_t* data, size_t length, size_t size,
                    XyCheck check) {
  XyBytes block(3 + size, kXySub);
  block[0] = size == kXyLong ? kXyStx : kXySoh;
  block[1] = number;
  block[2] = uint8_t(~number);
  if (length > 0) memcpy(block.data() + 3, data, std::min(length, size));
  if (check == XyCheck::kCrc) {
    uint16_t crc = UpdateCrc16(0, block.data() + 3, size);
    block.push_back(uint8_t(crc >> 8));
    block.push_back(uint8_t(crc));
  } else {
    block.push_back(SumXyData(block.data() + 3, size));
  }
  return block;
}

bool ReadXyBlock(const uint8_t* rest, size_t size, XyCheck check, uint8_t* number) {
  if (uint8_t(rest[0] ^ rest[1]) != 0xFF) return false;
  const uint8_t* data = rest + 2;
  bool holds = check == XyCheck::kCrc
                   ? UpdateCrc16(0, data, size) == uint16_t(data[size] << 8 | data[size + 1])
                   : SumXyData(data, size) == data[size];
  if (holds) *number = rest[0];
  return holds;
}

XyBytes FormYmodemHeader(const XyFileFacts& facts) {
  XyBytes data(facts.name.begin(), facts.name.end());
  data.push_back(0);
  if (!facts.name.empty()) {
    // The file type's bits with the mode: lrzsz takes the mode only so.
    char fields[64];
    int n = snprintf(fields, sizeof fields, "%llu %llo %lo", (unsigned long long)facts.size,
                     (unsigned long long)std::max<int64_t>(facts.mtime, 0),
                     (unsigned long)(0100000 | (facts.mode & 07777)));
    data.insert(data.end(), fields, fields + n);
  }
  data.resize(data.size() <= kXyShort ? kXyShort : kXyLong, 0);
  return data;
}

// Reads a number in base 8 or 10 up to a blank or NUL; false when a byte
// is no digit of the base or the value passes max.
static bool ReadNumber(const uint8_t* at, size_t length, int base, uint64_t max, uint64_t* value,
                       size_t* used) {
  uint64_t v = 0;
  size_t i = 0;
  for (; i < length && at[i] != ' ' && at[i] != 0; i++) {
    int digit = at[i] - '0';
    if (digit < 0 || digit >= base || v > (max - uint64_t(digit)) / uint64_t(base)) return false;
    v = v * uint64_t(base) + uint64_t(digit);
  }
  *value = v;
  *used = i;
  return i > 0;
}

XyHeader ReadYmodemHeader(const uint8_t* data, size_t size, XyFileFacts* facts) {
  const uint8_t* nul = static_cast<const uint8_t*>(memchr(data, 0, size));
  if (nul == nullptr) return XyHeader::kInvalid;
  *facts = XyFileFacts();
  facts->name.assign(data, nul);
  if (facts->name.empty()) return XyHeader::kEndOfBatch;
  // Size, time and mode, each optional from the first missing on; what
  // follows them (a serial number, the files and bytes left) is passed over.
  size_t at = size_t(nul - data) + 1;
  const int kBases[3] = {10, 8, 8};
  const uint64_t kMaxima[3] = {uint64_t(INT64_MAX), uint64_t(INT64_MAX), 0177777};
  uint64_t values[3] = {0, 0, 0};
  int count = 0;
  for (; count < 3 && at < size && data[at] != 0; count++) {
    size_t used = 0;
    if (!ReadNumber(data + at, size - at, kBases[count], kMaxima[count], &values[count], &used)) {
      return XyHeader::kInvalid;
    }
    at += used;
    if (at < size && data[at] == ' ') at++;
  }
  facts->sized = count >= 1;
  facts->size = values[0];
  facts->timed = count >= 2 && values[1] != 0;
  facts->mtime = int64_t(values[1]);
  facts->moded = count >= 3 && values[2] != 0;
  facts->mode = uint32_t(values[2] & 0777);
  return XyHeader::kFile;
}
