#include "protocols/velcot/records.h"

#include <algorithm>
#include <cstring>

#include "base/wire.h"

// ---- the sender ----

static void PutVarint(std::vector<uint8_t>* s, uint64_t value) {
  uint8_t bytes[kVarintMax];
  s->insert(s->end(), bytes, bytes + PutVarint(bytes, value));
}

void PutFileRecord(std::vector<uint8_t>* s, uint64_t size, int64_t mtime, uint32_t mode,
                   const char* name, uint8_t flags) {
  size_t length = strlen(name);
  s->push_back(kRecordFile);
  s->push_back(flags);
  PutVarint(s, size);
  PutVarint(s, (uint64_t(mtime) << 1) ^ uint64_t(mtime >> 63));
  PutVarint(s, mode);
  PutVarint(s, length);
  s->insert(s->end(), name, name + length);
}

void PutOriginRecord(std::vector<uint8_t>* s, uint64_t offset) {
  s->push_back(kRecordOrigin);
  PutVarint(s, offset);
}

void PutDataHeader(std::vector<uint8_t>* s, size_t length) {
  s->push_back(kRecordData);
  PutVarint(s, length);
}

void PutEndRecord(std::vector<uint8_t>* s, uint32_t crc) {
  uint8_t bytes[5] = {kRecordEnd};
  PutBigEndian(bytes + 1, crc, 4);
  s->insert(s->end(), bytes, bytes + sizeof bytes);
}

// ---- the receiver ----

// A varint at bytes: the bytes it takes, 0 when more must come first, -1
// when it is not one.
static int ParseVarint(const uint8_t* bytes, size_t size, uint64_t* value) {
  if (size > 0 && bytes[0] == 0x80) return -1;
  *value = 0;
  for (size_t i = 0; i < size; i++) {
    if (i == 10 || *value > (UINT64_MAX >> 7)) return -1;
    *value = *value << 7 | (bytes[i] & 0x7F);
    if ((bytes[i] & 0x80) == 0) return int(i + 1);
  }
  return 0;
}

enum class Parsed { kMore, kDone, kBad };

// The FILE record gathered so far: its fields once it is whole.
static Parsed ParseFileRecord(const uint8_t* held, size_t have, uint8_t agreed, FileRecord* file) {
  if (have < 2) return Parsed::kMore;
  if ((held[1] & ~agreed) != 0) return Parsed::kBad;
  uint64_t fields[4];
  size_t at = 2;
  for (uint64_t& field : fields) {
    int taken = ParseVarint(held + at, have - at, &field);
    if (taken <= 0) return taken == 0 ? Parsed::kMore : Parsed::kBad;
    at += size_t(taken);
  }
  uint64_t length = fields[3];
  if (fields[2] > 0777 || length == 0 || length > kRecordNameMax) return Parsed::kBad;
  if (have - at < length) return Parsed::kMore;
  file->flags = held[1];
  file->size = fields[0];
  file->mtime = int64_t(fields[1] >> 1) ^ -int64_t(fields[1] & 1);
  file->mode = uint32_t(fields[2]);
  memcpy(file->name, held + at, size_t(length));
  file->name[length] = '\0';
  // A NUL would cut the name short into another one: shown, and refused,
  // as the control byte it is.
  std::replace(file->name, file->name + length, '\0', '\x01');
  return Parsed::kDone;
}

void StartRecords(RecordReader* reader, uint64_t size) {
  *reader = RecordReader{};
  reader->item_left = size;
}

// The record gathered so far: kNeedMore while it is not whole (or a DATA
// record's bytes are to follow), else what it is.
static RecordEvent ParseHeld(RecordReader* r, Record* record) {
  typedef RecordReader::Place Place;
  uint8_t type = r->held[0];
  bool in_item = r->place == Place::kItem;
  bool between = r->place == Place::kBetween;
  if (type == kRecordData && in_item) {
    uint64_t length;
    int taken = ParseVarint(r->held + 1, r->have - 1, &length);
    if (taken == 0) return RecordEvent::kNeedMore;
    if (taken < 0 || length == 0 || length > kRecordDataMax || length > r->item_left) {
      return RecordEvent::kBroken;
    }
    r->data_left = length;
    r->at_start = false;
    r->have = 0;
    return RecordEvent::kNeedMore;
  }
  if (type == kRecordOrigin && in_item && r->at_start) {
    uint64_t offset;
    int taken = ParseVarint(r->held + 1, r->have - 1, &offset);
    if (taken == 0) return RecordEvent::kNeedMore;
    if (taken < 0 || offset > r->item_left) return RecordEvent::kBroken;
    record->offset = offset;
    r->item_left -= offset;
    r->at_start = false;
    return RecordEvent::kOrigin;
  }
  // END only once all the item's data has come: the sender of a file that
  // yields less cancels it.
  if (type == kRecordEnd && in_item && r->item_left == 0) {
    if (r->have < 5) return RecordEvent::kNeedMore;
    record->crc = uint32_t(GetBigEndian(r->held + 1, 4));
    r->place = Place::kBetween;
    return RecordEvent::kEnd;
  }
  if (type == kRecordCancel && in_item) {
    r->place = Place::kBetween;
    return RecordEvent::kCancel;
  }
  if (type == kRecordQuit && between) {
    r->place = Place::kQuit;
    return RecordEvent::kQuit;
  }
  if (type == kRecordFile && between) {
    Parsed parsed = ParseFileRecord(r->held, r->have, r->flags_agreed, &record->file);
    if (parsed == Parsed::kMore) return RecordEvent::kNeedMore;
    if (parsed == Parsed::kBad) return RecordEvent::kBroken;
    r->place = Place::kItem;
    r->item_left = record->file.size;
    r->at_start = true;
    return RecordEvent::kFile;
  }
  return RecordEvent::kBroken;
}

RecordEvent ReadRecord(RecordReader* r, const uint8_t* s, size_t size, size_t* used,
                       Record* record) {
  *used = 0;
  while (!r->broken) {
    if (r->data_left > 0) {
      if (*used == size) return RecordEvent::kNeedMore;
      size_t n = size_t(std::min<uint64_t>(r->data_left, size - *used));
      record->data = s + *used;
      record->length = n;
      *used += n;
      r->data_left -= n;
      r->item_left -= n;
      return RecordEvent::kData;
    }
    if (*used == size) return RecordEvent::kNeedMore;
    if (r->have == sizeof r->held) break;
    r->held[r->have++] = s[(*used)++];
    RecordEvent event = ParseHeld(r, record);
    if (event == RecordEvent::kBroken) break;
    if (event == RecordEvent::kNeedMore) continue;
    r->have = 0;
    return event;
  }
  r->broken = true;
  return RecordEvent::kBroken;
}
