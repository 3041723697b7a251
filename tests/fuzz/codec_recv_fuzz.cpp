// Plays an arbitrary compressed stream to the receiver's decoder: two bytes
// choose the codecs agreed, the most output allowed, and the pieces and
// room the stream is decoded in; the rest is the stream. Decoded whole and
// in pieces, it gives the same bytes and the same verdict, never more than
// the room or the limit, and every call with input moves on.
#include <algorithm>
#include <cstring>
#include <string>

#include "fuzz_util.h"
#include "protocols/velcot/codec.h"

namespace {

// Decodes c in pieces of 1 to 700 bytes from seed, or (seed 0) in one
// piece, into *s; returns the verdict.
CodecError Decode(uint8_t agreed, uint64_t limit, const uint8_t* c, size_t size, uint32_t seed,
                  size_t room, std::string* s) {
  CodecDecoder decoder;
  StartDecoder(&decoder, agreed);
  decoder.s_limit = limit;
  std::string out(room, '\0');
  CodecError error = CodecError::kNone;
  for (size_t at = 0; at < size && error == CodecError::kNone;) {
    size_t piece = size - at;
    if (seed != 0) {
      seed = seed * 1103515245u + 12345u;
      piece = std::min(piece, size_t(1) + (seed >> 16) % 700);
    }
    size_t used = 0, made = 0;
    do {
      error = FeedDecoder(&decoder, c + at, piece, &used, reinterpret_cast<uint8_t*>(&out[0]), room,
                          &made);
      FUZZ_REQUIRE(used <= piece && made <= room);
      if (error != CodecError::kNone) break;
      FUZZ_REQUIRE(used > 0 || made > 0 || piece == 0);
      s->append(out, 0, made);
      at += used;
      piece -= used;
    } while (piece > 0 || made == room);
  }
  CodecError end = EndDecoder(&decoder);
  FUZZ_REQUIRE(error == CodecError::kNone || end == error);
  FUZZ_REQUIRE(s->size() <= limit);
  return end;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  uint8_t agreed = uint8_t(((data[0] & 1) ? kCodecDeflate : 0) | ((data[0] & 2) ? kCodecZstd : 0) |
                           ((data[0] & 4) ? kCodecLzma : 0));
  uint64_t limit = uint64_t(1) << (10 + (data[1] & 0x0F) % 11);  // 1 KiB to 1 MiB
  std::string whole, pieces;
  CodecError verdict = Decode(agreed, limit, data + 2, size - 2, 0, 1 << 16, &whole);
  FUZZ_REQUIRE(Decode(agreed, limit, data + 2, size - 2, data[0] >> 2 | 1,
                      size_t(1) << (data[1] >> 4), &pieces) == verdict);
  if (verdict == CodecError::kNone) {
    FUZZ_REQUIRE_EQ(pieces, whole, ShowDifference(pieces, whole));
  } else {
    size_t common = std::min(whole.size(), pieces.size());
    FUZZ_REQUIRE(memcmp(whole.data(), pieces.data(), common) == 0);
  }
  return 0;
}
