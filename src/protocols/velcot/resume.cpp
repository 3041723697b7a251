#include "protocols/velcot/resume.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <string>

#include "base/wire.h"
#include "files/names.h"
#include "protocols/velcot/frame.h"

uint16_t PutResumeOffer(uint8_t* payload, const ResumeOffer& offer, bool as_accept) {
  PutBigEndian(payload, offer.offset, 8);
  if (as_accept && offer.offset == 0) return 8;
  PutBigEndian(payload + 8, offer.crc, 4);
  return 12;
}

ResumeOffer ReadResumeOffer(const uint8_t* payload, uint16_t length) {
  ResumeOffer offer = {GetBigEndian(payload, 8), 0};
  if (length >= 12) offer.crc = uint32_t(GetBigEndian(payload + 8, 4));
  return offer;
}

bool IsWaitingSize(uint64_t size, uint32_t frame_ms) {
  if (frame_ms == 0) return false;
  // size x frame_ms / kLongestFrame >= 2000 ms, without overflow.
  uint64_t least = (2000 * uint64_t(kLongestFrame) + frame_ms - 1) / frame_ms;
  return size >= least;
}

uint64_t ChooseOrigin(const ResumeOffer& offer, uint64_t size, uint64_t read, uint32_t crc) {
  bool same = offer.offset > 0 && offer.offset <= size && read == offer.offset && crc == offer.crc;
  return same ? offer.offset : 0;
}

int ReadPrefix(FILE* file, uint64_t length, uint64_t* read, uint32_t* crc) {
  static const size_t kPiece = 64 * 1024;
  uint8_t bytes[kPiece];
  *read = 0;
  *crc = 0;
  while (*read < length) {
    size_t got = 0;
    int failed =
        ReadFileBytes(file, bytes, size_t(std::min<uint64_t>(kPiece, length - *read)), &got);
    *crc = UpdateCrc32(*crc, bytes, got);
    *read += got;
    if (failed != 0) return failed;
  }
  return 0;
}

bool OpenWaitingFile(const StoreFolder& folder, const char* leaf, const FileRecord& facts,
                     ReceivedFile* received, ResumeOffer* offer) {
  const char* name = facts.name;
  *offer = {0, 0};
  // A name no receiver stores is refused as for any file.
  if (!IsValidUtf8(name) || !HasNoC1Controls(name)) return OpenFileToStore(name, true, received);
  PruneKeptParts(folder, int64_t(time(nullptr)), "");
  return OpenKeptPartIn(folder, leaf, name, facts.size, facts.mtime, received, &offer->offset,
                        &offer->crc);
}

void KeepWaitingFile(const StoreFolder& folder, ReceivedFile* received, uint64_t stored) {
  KeepPart(folder, received, stored, int64_t(time(nullptr)));
}
