// The compressed stream between two velcots: what the sender writes decodes
// to what it was given, in any pieces, and what a peer could write that
// does not decode is refused. Built for every platform (deflate only on
// Windows).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "codec.h"

typedef std::vector<uint8_t> Bytes;

namespace {

const uint8_t kBoth = kCodecDeflate | kCodecZstd;
const bool kHaveZstd = (ListCodecs(true) & kCodecZstd) != 0;

// Log lines with changing numbers: about 3 : 1 under deflate.
Bytes MakeText(size_t size, uint32_t seed) {
  std::string text;
  while (text.size() < size) {
    seed = seed * 1103515245u + 12345u;
    text += "2024-05-0" + std::to_string(seed >> 29) + " sensor-" + std::to_string(seed % 13) +
            ": reading " + std::to_string((seed >> 8) % 100000) + " mV, status ok\n";
  }
  return Bytes(text.begin(), text.begin() + long(size));
}

Bytes MakeNoise(size_t size, uint32_t seed) {
  Bytes bytes(size);
  for (uint8_t& byte : bytes) {
    seed = seed * 1103515245u + 12345u;
    byte = uint8_t(seed >> 23);
  }
  return bytes;
}

Bytes Join(std::vector<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts)
    all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Feeds c to the decoder in pieces of piece bytes with room bytes of room,
// appending what it makes to *s, as a receiver does with what arrives.
CodecError Decode(CodecDecoder* decoder, const Bytes& c, size_t piece, size_t room, Bytes* s) {
  Bytes out(room);
  for (size_t at = 0; at < c.size();) {
    size_t size = std::min(piece, c.size() - at), used = 0, made = 0;
    do {  // while the room fills, the decoder may hold more
      CodecError error = FeedDecoder(decoder, c.data() + at, size, &used, out.data(), room, &made);
      if (error != CodecError::kNone) return error;
      if (used == 0 && made == 0 && size > 0) {
        ADD_FAILURE() << "the decoder took nothing and made nothing";
        return CodecError::kCodecFailed;
      }
      s->insert(s->end(), out.begin(), out.begin() + long(made));
      at += used;
      size -= used;
    } while (size > 0 || made == room);
  }
  return CodecError::kNone;
}

// ---- the sender's stream, decoded ----

struct RoundTrip {
  const char* what;
  uint8_t agreed;
  Bytes s;
  double drain_rate;  // reported to the sender; 0 none
  size_t feed;        // S given in pieces of this size
  size_t flush_every;
  size_t piece, room;  // C decoded in pieces of this size, into this room
  uint8_t first_header;
  RunCodec used_codec;  // a run of this codec and step took some of S
  int used_step;
};

TEST(CodecStream, DecodesToWhatTheSenderWasGivenWhateverThePieces) {
  const uint8_t deflate = uint8_t(RunCodec::kDeflate), zstd = uint8_t(RunCodec::kZstd);
  const Bytes text = MakeText(1 << 20, 1), noise = MakeNoise(200000, 2);
  std::vector<RoundTrip> trips = {
      {"none only", 0, text, 1, 5000, 0, 4096, 65536, 0, RunCodec::kNone, 0},
      {"deflate 6, sampled text", kCodecDeflate, text, 0, 70000, 0, 1, 1, deflate,
       RunCodec::kDeflate, 2},
      {"deflate flushed often", kCodecDeflate, text, 0, 333, 1000, 7, 100, deflate,
       RunCodec::kDeflate, 2},
      {"deflate climbing on a slow line", kCodecDeflate, text, 1, 8192, 0, 4096, 100, deflate,
       RunCodec::kDeflate, 3},
      {"deflate down to none on a fast line", kCodecDeflate, text, 1e12, 8192, 0, 1000, 4096,
       deflate, RunCodec::kNone, 0},
      {"noise first: a none run", kCodecDeflate, Join({noise, text}), 0, 4096, 50000, 3, 5000, 0,
       RunCodec::kNone, 0},
      {"a flush before the sample is full", kCodecDeflate, text, 0, 1, 3000, 1, 1, deflate,
       RunCodec::kDeflate, 2},
  };
  if (kHaveZstd) {
    trips.push_back({"zstd 3", kBoth, text, 0, 65536, 0, 1, 3, zstd, RunCodec::kZstd, 1});
    trips.push_back(
        {"zstd flushed often", kBoth, text, 0, 100, 2000, 50, 1, zstd, RunCodec::kZstd, 1});
    trips.push_back({"zstd climbing: a new run at 6", kCodecZstd, text, 1, 8192, 0, 4096, 4096,
                     zstd, RunCodec::kZstd, 2});
  }
  for (const RoundTrip& trip : trips) {
    CodecEncoder encoder;
    StartEncoder(&encoder, trip.agreed, 1ull << 32);
    ReportDrainRate(&encoder, trip.drain_rate);
    CodecDecoder decoder;
    StartDecoder(&decoder, trip.agreed);
    Bytes c, s;
    size_t decoded = 0, since_flush = 0;
    for (size_t at = 0; at < trip.s.size(); at += trip.feed) {
      size_t size = std::min(trip.feed, trip.s.size() - at);
      ASSERT_EQ(FeedEncoder(&encoder, trip.s.data() + at, size, &c), CodecError::kNone)
          << trip.what;
      since_flush += size;
      if (trip.flush_every == 0 || since_flush < trip.flush_every) continue;
      since_flush = 0;
      ASSERT_EQ(FlushEncoder(&encoder, &c), CodecError::kNone) << trip.what;
      // Every byte given so far can be decoded from what C holds.
      Bytes fresh(c.begin() + long(decoded), c.end());
      decoded = c.size();
      ASSERT_EQ(Decode(&decoder, fresh, trip.piece, trip.room, &s), CodecError::kNone) << trip.what;
      ASSERT_EQ(s.size(), at + size) << trip.what;
    }
    ASSERT_EQ(EndEncoder(&encoder, &c), CodecError::kNone) << trip.what;
    Bytes rest(c.begin() + long(decoded), c.end());
    EXPECT_EQ(Decode(&decoder, rest, trip.piece, trip.room, &s), CodecError::kNone) << trip.what;
    EXPECT_EQ(EndDecoder(&decoder), CodecError::kNone) << trip.what;
    EXPECT_TRUE(s == trip.s) << trip.what << ": " << s.size() << " of " << trip.s.size();
    EXPECT_EQ(encoder.s_bytes, trip.s.size()) << trip.what;
    EXPECT_EQ(c[0], trip.first_header) << trip.what;
    EXPECT_GT(encoder.s_at[int(trip.used_codec)][trip.used_step], 0u) << trip.what;
    size_t bound = trip.s.size() + trip.s.size() / 1000;  // none runs: the chunks' lengths
    if (trip.agreed != 0 && trip.flush_every == 0 && trip.drain_rate < 1e6)
      bound = trip.s.size() / 2;
    EXPECT_LT(c.size(), bound) << trip.what;
  }
}

// Random data in the middle of text: its runs stop compressing, and a
// sample taken after 4 MiB of none run (after 256 KiB on a slow line,
// where a sample costs nothing to speak of) starts compressing again.
TEST(CodecStream, SendsIncompressibleStretchesAsNoneRunsAndSamplesAgain) {
  const uint8_t agreed = kHaveZstd ? kCodecZstd : kCodecDeflate;
  const size_t noise = 5 << 20;
  const Bytes s = Join({MakeText(300000, 3), MakeNoise(noise, 4), MakeText(4 << 20, 5)});
  struct Line {
    double drain_rate;
    uint64_t none_min, none_max;  // S sent in none runs
  };
  for (const Line& line : {Line{0, noise + (2 << 20), noise + (4 << 20)},
                           Line{11520, noise - (1 << 20), noise + (1 << 19)}}) {
    CodecEncoder encoder;
    StartEncoder(&encoder, agreed, 1ull << 32);
    ReportDrainRate(&encoder, line.drain_rate);
    Bytes c;
    ASSERT_EQ(FeedEncoder(&encoder, s.data(), s.size(), &c), CodecError::kNone);
    RunCodec last = encoder.run;
    uint64_t none = encoder.s_at[0][0];
    ASSERT_EQ(EndEncoder(&encoder, &c), CodecError::kNone);
    EXPECT_NE(last, RunCodec::kNone) << line.drain_rate;
    EXPECT_GE(encoder.runs, 3) << line.drain_rate;
    EXPECT_GE(none, line.none_min) << line.drain_rate;
    EXPECT_LE(none, line.none_max) << line.drain_rate;
    // What went in none runs costs its chunks' lengths; the rest shrank.
    EXPECT_LT(c.size(), none + none / 1000 + (s.size() - none) / 2) << none;
    CodecDecoder decoder;
    StartDecoder(&decoder, agreed);
    Bytes decoded;
    EXPECT_EQ(Decode(&decoder, c, 100000, 65536, &decoded), CodecError::kNone);
    EXPECT_EQ(EndDecoder(&decoder), CodecError::kNone);
    EXPECT_TRUE(decoded == s);
  }
  // Noise shorter than a window, measured by what the compressor made of
  // each window's own input, is no stretch.
  const Bytes short_noise =
      Join({MakeText(300000, 3), MakeNoise(384 << 10, 4), MakeText(1 << 20, 5)});
  CodecEncoder encoder;
  StartEncoder(&encoder, agreed, 1ull << 32);
  Bytes c;
  ASSERT_EQ(FeedEncoder(&encoder, short_noise.data(), short_noise.size(), &c), CodecError::kNone);
  EXPECT_EQ(encoder.s_at[0][0], 0u);
  FreeEncoder(&encoder);
}

// A run started after others is primed with the S before it: bytes sent
// again just before it cost next to nothing.
TEST(CodecStream, PrimesANewRunWithTheBytesBeforeIt) {
  std::vector<uint8_t> codecs = {kCodecDeflate};
  if (kHaveZstd) codecs.push_back(kCodecZstd);
  for (uint8_t agreed : codecs) {
    RunCodec codec = agreed == kCodecZstd ? RunCodec::kZstd : RunCodec::kDeflate;
    const Bytes noise = MakeNoise(100000, 6);
    const Bytes again(noise.end() - 20000, noise.end());
    CodecEncoder encoder;
    StartEncoder(&encoder, agreed, 1ull << 32);
    Bytes c;
    ASSERT_EQ(FeedEncoder(&encoder, noise.data(), noise.size(), &c), CodecError::kNone);
    ASSERT_EQ(SwitchEncoder(&encoder, codec, 0, &c), CodecError::kNone);
    size_t header = c.size();
    ASSERT_EQ(FeedEncoder(&encoder, again.data(), again.size(), &c), CodecError::kNone);
    ASSERT_EQ(EndEncoder(&encoder, &c), CodecError::kNone);
    EXPECT_EQ(c[0], 0);  // noise: a none run first
    EXPECT_EQ(c[header - 1], uint8_t(codec) | kPrimingHistory << 4) << int(agreed);
    EXPECT_LT(c.size() - header, 500u) << int(agreed);
    CodecDecoder decoder;
    StartDecoder(&decoder, agreed);
    Bytes s;
    EXPECT_EQ(Decode(&decoder, c, 999, 4096, &s), CodecError::kNone);
    EXPECT_EQ(EndDecoder(&decoder), CodecError::kNone);
    EXPECT_TRUE(s == Join({noise, again})) << int(agreed);
  }
}

// ---- what a peer could send ----

struct Hostile {
  const char* what;
  uint8_t agreed;
  Bytes c;
  uint64_t s_limit;
  CodecError feed, end;  // FeedDecoder's error, then EndDecoder's
};

TEST(FeedDecoder, RefusesWhatDoesNotDecodeAndKeepsToItsLimit) {
  const Bytes zstd_magic = {0x02, 0x28, 0xB5, 0x2F, 0xFD};
  // A frame of one raw block holding "x", with a window of 2^23 or 2^24
  // bytes, then an empty none run.
  const Bytes window_8m = Join({zstd_magic, {0x00, 0x68, 0x09, 0x00, 0x00, 'x', 0x00, 0x00}});
  const Bytes window_16m = Join({zstd_magic, {0x00, 0x70, 0x09, 0x00, 0x00, 'x', 0x00, 0x00}});
  const CodecError ok = CodecError::kNone, zstd_ok = kHaveZstd ? ok : CodecError::kNotAgreed;
  const std::vector<Hostile> hostile = {
      {"a none run", 0, {0x00, 0x03, 'a', 'b', 'c', 0x00}, UINT64_MAX, ok, ok},
      {"a chunk of 65536", 0, Join({{0x00, 0x84, 0x80, 0x00}, Bytes(65536, 'z'), {0x00}}),
       UINT64_MAX, ok, ok},
      {"a chunk of 65537",
       0,
       {0x00, 0x84, 0x80, 0x01, 'a'},
       UINT64_MAX,
       CodecError::kUndecodable,
       CodecError::kUndecodable},
      {"a length with a leading 80",
       0,
       {0x00, 0x80, 0x01, 'a'},
       UINT64_MAX,
       CodecError::kUndecodable,
       CodecError::kUndecodable},
      {"a chunk cut short", 0, {0x00, 0x05, 'a', 'b'}, UINT64_MAX, ok, CodecError::kTruncated},
      {"a none run not ended", 0, {0x00, 0x01, 'a'}, UINT64_MAX, ok, CodecError::kTruncated},
      {"just as much as allowed", 0, {0x00, 0x03, 'a', 'b', 'c', 0x00}, 3, ok, ok},
      {"more than allowed",
       0,
       {0x00, 0x03, 'a', 'b', 'c', 0x00},
       2,
       CodecError::kTooMuchOutput,
       CodecError::kTooMuchOutput},
      {"codec 3", kBoth, {0x03}, UINT64_MAX, CodecError::kBadHeader, CodecError::kBadHeader},
      {"priming 2", kBoth, {0x21}, UINT64_MAX, CodecError::kBadHeader, CodecError::kBadHeader},
      {"a primed none run",
       kBoth,
       {0x10},
       UINT64_MAX,
       CodecError::kBadHeader,
       CodecError::kBadHeader},
      {"deflate not agreed",
       kCodecZstd,
       {0x01, 0x03, 0x00},
       UINT64_MAX,
       CodecError::kNotAgreed,
       CodecError::kNotAgreed},
      {"zstd not agreed", kCodecDeflate, window_8m, UINT64_MAX, CodecError::kNotAgreed,
       CodecError::kNotAgreed},
      {"deflate: an empty final block", kCodecDeflate, {0x01, 0x03, 0x00}, UINT64_MAX, ok, ok},
      {"deflate: block type 3",
       kCodecDeflate,
       {0x01, 0x07, 0x00},
       UINT64_MAX,
       CodecError::kUndecodable,
       CodecError::kUndecodable},
      {"deflate cut short",
       kCodecDeflate,
       {0x01, 0x4B, 0x04},
       UINT64_MAX,
       ok,
       CodecError::kTruncated},
      {"zstd: a window of 8 MiB", kBoth, window_8m, UINT64_MAX, zstd_ok, zstd_ok},
      {"zstd: a window of 16 MiB", kBoth, window_16m, UINT64_MAX,
       kHaveZstd ? CodecError::kWindowTooLarge : zstd_ok,
       kHaveZstd ? CodecError::kWindowTooLarge : zstd_ok},
      {"zstd: a skippable frame",
       kBoth,
       {0x02, 0x50, 0x2A, 0x4D, 0x18, 0, 0, 0, 0},
       UINT64_MAX,
       kHaveZstd ? CodecError::kUndecodable : zstd_ok,
       kHaveZstd ? CodecError::kUndecodable : zstd_ok},
      {"zstd: a frame with a content size", kBoth, Join({zstd_magic, {0x40, 0x68, 0x01, 0x09}}),
       UINT64_MAX, kHaveZstd ? CodecError::kUndecodable : zstd_ok,
       kHaveZstd ? CodecError::kUndecodable : zstd_ok},
      {"zstd cut short", kBoth, Bytes(window_8m.begin(), window_8m.begin() + 9), UINT64_MAX,
       zstd_ok, kHaveZstd ? CodecError::kTruncated : zstd_ok},
  };
  for (const Hostile& h : hostile) {
    for (size_t piece : {size_t(1), h.c.size()}) {
      CodecDecoder decoder;
      StartDecoder(&decoder, h.agreed);
      decoder.s_limit = h.s_limit;
      Bytes s;
      EXPECT_EQ(Decode(&decoder, h.c, piece, 7, &s), h.feed) << h.what << ", pieces of " << piece;
      EXPECT_LE(s.size(), h.s_limit) << h.what;
      EXPECT_EQ(EndDecoder(&decoder), h.end) << h.what << ", pieces of " << piece;
    }
  }
}

// What the sender writes, cut short or with a byte changed, never decodes
// to more than was sent, and a stream cut inside a run is never whole.
TEST(FeedDecoder, FindsTheSendersStreamCutOrDamaged) {
  std::vector<uint8_t> codecs = {kCodecDeflate};
  if (kHaveZstd) codecs.push_back(kCodecZstd);
  for (uint8_t agreed : codecs) {
    const Bytes sent = MakeText(100000, 7);
    CodecEncoder encoder;
    StartEncoder(&encoder, agreed, 1ull << 32);
    Bytes c;
    ASSERT_EQ(FeedEncoder(&encoder, sent.data(), sent.size(), &c), CodecError::kNone);
    ASSERT_EQ(EndEncoder(&encoder, &c), CodecError::kNone);
    for (size_t cut = 1; cut < c.size(); cut += c.size() / 7) {
      for (bool damage : {false, true}) {
        Bytes damaged(c.begin(), damage ? c.end() : c.begin() + long(cut));
        if (damage) damaged[cut] ^= 0x5A;
        CodecDecoder decoder;
        StartDecoder(&decoder, agreed);
        Bytes s;
        CodecError error = Decode(&decoder, damaged, 4096, 65536, &s);
        CodecError end = EndDecoder(&decoder);
        EXPECT_EQ(end, error == CodecError::kNone ? end : error);
        if (!damage) {
          EXPECT_EQ(end, CodecError::kTruncated) << int(agreed) << " cut at " << cut;
          ASSERT_LE(s.size(), sent.size());
          EXPECT_TRUE(std::equal(s.begin(), s.end(), sent.begin())) << cut;
        } else if (end == CodecError::kNone) {
          EXPECT_FALSE(s == sent) << int(agreed) << " damaged at " << cut;
        }
      }
    }
  }
}

// ---- choosing the level ----

TEST(ChooseLadderStep, KeepsTheCompressorWithinHalfACore) {
  struct Case {
    int step, steps;
    double cpu_at_next, cpu_per_byte, ratio, drain_rate;
    int expected;
  };
  // c = 1e-8 s/B (100 MB/s): at r = 3, half a core is reached at L = 16.7 MB/s.
  const Case cases[] = {
      {2, 4, 0, 1e-8, 3, 0, 2},         // line rate unknown: stay
      {2, 4, 0, 1e-8, 3, 11520, 3},     // 115200: the next step, twice as slow, fits
      {3, 4, 0, 1e-8, 3, 11520, 3},     // at the top
      {2, 4, 1e-6, 1e-8, 3, 92160, 2},  // the next step measured before: 0.28 of a core
      {2, 4, 4e-7, 1e-8, 3, 92160, 3},  // 0.11 of a core
      {2, 4, 0, 1e-8, 3, 5e6, 2},       // 0.15 now; twice as slow would be 0.3: stay
      {2, 4, 0, 1e-8, 3, 2e7, 1},       // 0.6 of a core: one step down
      {0, 4, 0, 1e-8, 3, 2e7, 0},       // at the bottom, still worth it (0.6 < r - 1)
      {0, 4, 0, 1e-8, 1.5, 4e7, -1},    // costs more than it saves: a none run
  };
  for (const Case& c : cases) {
    double cpu_at[kMaxSteps] = {};
    if (c.step + 1 < kMaxSteps) cpu_at[c.step + 1] = c.cpu_at_next;
    LadderInput in = {c.step, c.steps, cpu_at, c.cpu_per_byte, c.ratio, c.drain_rate};
    EXPECT_EQ(ChooseLadderStep(in), c.expected) << c.step << " at " << c.drain_rate;
  }
}

TEST(StartEncoder, TakesTheZstdLevelsMemoryAllowsAndDeflateWithoutThem) {
  EXPECT_EQ(ListCodecs(false), 0);
  EXPECT_EQ(ListCodecs(true) & kCodecDeflate, kCodecDeflate);
  // An eighth of 200 MiB holds level 9's 17 MiB, not level 12's 53 MiB.
  EXPECT_EQ(CountZstdSteps(200 << 20), kHaveZstd ? 4 : 0);
  EXPECT_EQ(CountZstdSteps(1ull << 32), kHaveZstd ? 6 : 0);
  // 8 MiB has not room for even level 1: deflate it is.
  CodecEncoder encoder;
  StartEncoder(&encoder, kBoth, 8 << 20);
  Bytes text = MakeText(1000, 8), c;
  ASSERT_EQ(FeedEncoder(&encoder, text.data(), text.size(), &c), CodecError::kNone);
  ASSERT_EQ(EndEncoder(&encoder, &c), CodecError::kNone);
  EXPECT_EQ(c[0], uint8_t(RunCodec::kDeflate));
}

}  // namespace
