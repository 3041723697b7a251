// records: the session's stream S (doc/protocol.md). After the first
// item's FILE frame and its ACCEPT, the sender's items follow each other in
// one byte stream of records:
//   F  FILE    flags (1), size, mtime (zigzag), mode, name length (varints), name
//   D  DATA    length (varint, 1 to 65536), that many bytes of the item
//   O  ORIGIN  offset (varint): the item's data goes on from there (resume.h)
//   E  END     CRC-32 of the whole item (4): its size is in its FILE
//   C  CANCEL  the item ends unfinished
//   Q  QUIT    no more items
// An item is FILE, its DATA, then END or CANCEL; item 0's FILE is the FILE
// frame, so S begins with its DATA. Varints are base 128, most significant
// group first, at most 10 bytes, no leading 0x80.
#ifndef VELCOT_RECORDS_H
#define VELCOT_RECORDS_H

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr uint8_t kRecordFile = 'F';
constexpr uint8_t kRecordData = 'D';
constexpr uint8_t kRecordOrigin = 'O';
constexpr uint8_t kRecordEnd = 'E';
constexpr uint8_t kRecordCancel = 'C';
constexpr uint8_t kRecordQuit = 'Q';

constexpr size_t kRecordDataMax = 65536;  // bytes in one DATA record
// The longest name a FILE frame carries, in bytes of UTF-8.
constexpr size_t kStreamNameMax = 255;
constexpr size_t kRecordNameMax = 255;  // as in a FILE frame

// ---- the sender ----

void PutFileRecord(std::vector<uint8_t>* s, uint64_t size, int64_t mtime, uint32_t mode,
                   const char* name, uint8_t flags = 0);
void PutOriginRecord(std::vector<uint8_t>* s, uint64_t offset);
// DATA's record byte and length; its bytes follow.
void PutDataHeader(std::vector<uint8_t>* s, size_t length);
void PutEndRecord(std::vector<uint8_t>* s, uint32_t crc);

// ---- the receiver ----

enum class RecordEvent {
  kNeedMore,  // every byte given is taken; the record goes on in the next
  kFile,      // a new item: *file holds it
  kData,      // bytes of the current item: data and length
  kOrigin,    // where the current item's data goes on: offset
  kEnd,       // the item's last record: crc
  kCancel,
  kQuit,
  kBroken,  // not a record where one may be: S cannot be read on
};

struct FileRecord {
  uint8_t flags;
  uint64_t size;
  int64_t mtime;
  uint32_t mode;
  char name[kRecordNameMax + 1];  // a NUL in it turned into a control byte, as in a FILE frame
};

struct Record {
  const uint8_t* data;  // kData: into the bytes given
  size_t length;
  uint32_t crc;     // kEnd
  uint64_t offset;  // kOrigin
  FileRecord file;
};

struct RecordReader {
  enum class Place { kItem, kBetween, kQuit } place = Place::kItem;
  uint64_t item_left = 0;    // of the current item's size, still to come
  uint64_t data_left = 0;    // of the DATA record in progress
  bool at_start = true;      // no DATA nor ORIGIN of the item yet: ORIGIN may come
  uint8_t flags_agreed = 0;  // FILE flags the capabilities agreed to
  uint8_t held[320];         // a record gathered so far, record byte first
  size_t have = 0;
  bool broken = false;
};

// A reader at the start of S: inside item 0, of size bytes.
void StartRecords(RecordReader* reader, uint64_t size);

// Takes bytes of S from s (size bytes) until the next event: *used of them.
// Once broken, it stays so.
RecordEvent ReadRecord(RecordReader* reader, const uint8_t* s, size_t size, size_t* used,
                       Record* record);

#endif
