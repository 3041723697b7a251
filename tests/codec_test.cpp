// The compressed stream between two velcots: what the sender writes decodes
// to what it was given, in any pieces, and what a peer could write that
// does not decode is refused. Built for every platform (deflate only on
// Windows, deflate and zstd without lzma where it is not built in).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "protocols/velcot/codec.h"

typedef std::vector<uint8_t> Bytes;

namespace {

const uint8_t kBoth = kCodecDeflate | kCodecZstd;
const bool kHaveZstd = (ListCodecs(true) & kCodecZstd) != 0;
const bool kHaveLzma = (ListCodecs(true) & kCodecLzma) != 0;

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

// A symbol table's entries (name offset, address, size, flags), 16 bytes
// each, names and addresses rising: matches of 3 bytes at most, which
// zstd skips and LZMA2 takes (xz -9e 3.95 : 1, zstd -19 3.3).
Bytes MakeSymbols(size_t size, uint32_t seed) {
  Bytes bytes;
  uint32_t name = 0x100, address = 0x10000;
  while (bytes.size() < size) {
    seed = seed * 1103515245u + 12345u;
    name += 5 + (seed >> 28);
    address += 4 * ((seed >> 20) & 0x3F);
    uint32_t fields[4] = {name, address, (seed >> 12) & 0xFF, 0x00010012};
    for (uint32_t field : fields) {
      for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(uint8_t(field >> shift));
    }
  }
  bytes.resize(size);
  return bytes;
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
      s->insert(s->end(), out.begin(), out.begin() + long(made));
      at += used;
      size -= used;
    } while (size > 0 || made == room);
  }
  return CodecError::kNone;
}

// Sends s through the encoder in pieces of feed bytes, flushing after
// every flush_every (0: never) and starting a compressed run at switch_at
// (0: never), and through a decoder in pieces of piece bytes into room
// bytes: at each flush the receiver has every byte so far. Ends the
// encoder, whose counters stay, and returns C.
Bytes SendThrough(CodecEncoder* encoder, const Bytes& s, size_t feed, size_t flush_every,
                  size_t switch_at, size_t piece, size_t room) {
  CodecDecoder decoder;
  StartDecoder(&decoder, encoder->agreed);
  Bytes c, got;
  size_t decoded = 0;
  for (size_t at = 0; at < s.size(); at += feed) {
    size_t size = std::min(feed, s.size() - at);
    EXPECT_EQ(FeedEncoder(encoder, s.data() + at, size, &c), CodecError::kNone);
    if (at + size == switch_at) {
      EXPECT_EQ(SwitchEncoder(encoder, encoder->preferred, 0, &c), CodecError::kNone);
    }
    if (flush_every == 0 || (at + size) / flush_every == at / flush_every) continue;
    EXPECT_EQ(FlushEncoder(encoder, &c), CodecError::kNone);
    Bytes fresh(c.begin() + long(decoded), c.end());
    decoded = c.size();
    EXPECT_EQ(Decode(&decoder, fresh, piece, room, &got), CodecError::kNone);
    EXPECT_EQ(got.size(), at + size);
  }
  EXPECT_EQ(EndEncoder(encoder, &c), CodecError::kNone);
  Bytes rest(c.begin() + long(decoded), c.end());
  EXPECT_EQ(Decode(&decoder, rest, piece, room, &got), CodecError::kNone);
  EXPECT_EQ(EndDecoder(&decoder), CodecError::kNone);
  EXPECT_TRUE(got == s) << got.size() << " of " << s.size();
  return c;
}

// ---- the sender's stream, decoded ----

// Also: a sample cut short by a flush is taken again from the next input;
// a run primed with the bytes before it sends them again for next to
// nothing; random data in text goes in none runs, and a sample after 4 MiB
// of them (256 KiB on a slow line, where a sample costs next to nothing)
// starts compressing again; noise shorter than a window, judged by what
// the compressor made of that window's own input, is no stretch; a window
// of zeros moves no level. A slow line's run starts at the top step, not
// climbing to it; the sample picks the codec that packs it smallest.
TEST(CodecStream, DecodesToWhatWasSentAndShrinksWhatItCan) {
  const Bytes text = MakeText(1 << 20, 1), noise = MakeNoise(100000, 2);
  const Bytes again = Join({noise, Bytes(noise.end() - 20000, noise.end())});
  const Bytes noise_first = Join({noise, text});
  const Bytes long_noise = Join({MakeText(300000, 3), MakeNoise(5 << 20, 4), MakeText(4 << 20, 5)});
  const Bytes short_noise = Join({MakeText(300000, 3), MakeNoise(384 << 10, 4), text});
  const Bytes zeros_first = Join({Bytes(512 << 10, 0), text});
  const Bytes symbols = MakeSymbols(96 << 10, 6), short_text = MakeText(300, 7);
  struct Trip {
    const char* what;
    uint8_t agreed;
    const Bytes& s;
    double drain_rate;  // reported to the sender; 0 none
    size_t feed, flush_every, switch_at, piece, room;
    RunCodec first, used;  // the first run's codec; a codec at a step that took some of S
    int used_step;         // -1: whichever the compressor's speed here allows
    size_t most;           // bytes of C
    int avoided = -1;      // a step of that codec that took none of S
  };
  const RunCodec none = RunCodec::kNone, deflate = RunCodec::kDeflate, zstd = RunCodec::kZstd;
  const uint8_t d = kCodecDeflate;
  std::vector<Trip> trips = {
      {"none only", 0, text, 1, 5000, 0, 0, 4096, 65536, none, none, 0, 1049600},
      {"deflate 6", d, text, 0, 70000, 0, 0, 1, 1, deflate, deflate, 2, 300000},
      {"deflate, flushed often", d, text, 0, 333, 1000, 0, 7, 100, deflate, deflate, 2, 400000},
      {"deflate at the top", d, text, 1, 8192, 0, 0, 4096, 100, deflate, deflate, 3, 300000, 2},
      {"deflate down to none", d, text, 1e12, 8192, 0, 0, 1000, 4096, deflate, none, 0, 1049600},
      {"noise first, flushed", d, noise_first, 0, 5000, 50000, 0, 4096, 4096, none, deflate, 2,
       600000},
      {"deflate primed", d, again, 0, 5000, 0, 100000, 999, 4096, none, deflate, 0, 100600},
      {"noise, rate unknown", d, long_noise, 0, 1 << 20, 0, 0, 1 << 16, 1 << 16, deflate, deflate,
       2, 9300000},
      {"noise at 115200", d, long_noise, 11520, 1 << 20, 0, 0, 1 << 16, 1 << 16, deflate, deflate,
       3, 6200000, 2},
  };
  if (kHaveZstd) {
    const uint8_t z = kCodecZstd, both = kBoth;
    trips.push_back({"zstd 3", both, text, 0, 65536, 0, 0, 1, 3, zstd, zstd, 1, 300000});
    trips.push_back(
        {"zstd, flushed often", both, text, 0, 100, 2000, 0, 50, 1, zstd, zstd, 1, 400000});
    trips.push_back(
        {"zstd at the top", z, text, 1, 8192, 0, 0, 4096, 4096, zstd, zstd, 5, 300000, 1});
    trips.push_back(
        {"zstd primed", z, again, 0, 5000, 0, 100000, 999, 4096, none, zstd, 0, 100600});
    trips.push_back({"zstd, short noise", z, short_noise, 0, 1 << 20, 0, 0, 1 << 16, 1 << 16, zstd,
                     zstd, 1, 700000});
    // A window of zeros would take the compressor many times the line's
    // time for its few bytes, and for next to no time at all. The run
    // starts at the step this machine's compressor allows at 1 MB/s; an
    // instrumented build's is too slow for any but the lowest.
#ifndef __SANITIZE_ADDRESS__
    trips.push_back({"zstd, zeros first", z, zeros_first, 1e6, 1 << 16, 0, 0, 1 << 16, 1 << 16,
                     zstd, zstd, -1, 400000, 0});
#endif
  }
  if (kHaveLzma) {
    const RunCodec lzma = RunCodec::kLzma;
    const uint8_t x = kCodecLzma, all = kCodecs;
    trips.push_back({"lzma 4", x, text, 0, 65536, 0, 0, 1, 3, lzma, lzma, 2, 300000});
    trips.push_back(
        {"lzma, flushed often", x, text, 0, 100, 2000, 0, 50, 1, lzma, lzma, 2, 400000});
    trips.push_back(
        {"lzma at the top", x, text, 11520, 8192, 0, 0, 4096, 4096, lzma, lzma, 4, 300000, 2});
    trips.push_back(
        {"lzma primed", x, again, 0, 5000, 0, 100000, 999, 4096, none, lzma, 0, 100600});
    trips.push_back(
        {"symbols: lzma", all, symbols, 11520, 4096, 16384, 0, 4096, 4096, lzma, lzma, 4, 27000});
  }
  if (kHaveZstd) {
    trips.push_back({"symbols without lzma: zstd", kBoth, symbols, 11520, 4096, 0, 0, 4096, 4096,
                     zstd, zstd, 5, 96 * 1024 / 2});
  }
  trips.push_back({"a short sample: deflate", kCodecs, short_text, 11520, 300, 0, 0, 50, 50,
                   deflate, deflate, 3, 200});
  for (const Trip& trip : trips) {
    SCOPED_TRACE(trip.what);
    CodecEncoder encoder;
    StartEncoder(&encoder, trip.agreed, 1ull << 32);
    ReportDrainRate(&encoder, trip.drain_rate);
    Bytes c = SendThrough(&encoder, trip.s, trip.feed, trip.flush_every, trip.switch_at, trip.piece,
                          trip.room);
    EXPECT_EQ(encoder.s_bytes, trip.s.size());
    EXPECT_EQ(c[0], uint8_t(trip.first));
    if (trip.used_step >= 0) {
      EXPECT_GT(encoder.s_at[int(trip.used)][trip.used_step], 0u);
    }
    if (trip.avoided >= 0) {
      EXPECT_EQ(encoder.s_at[int(trip.used)][trip.avoided], 0u);
    }
    EXPECT_LE(c.size(), trip.most);
  }
}

// zstd levels whose compressor needs more than an eighth of memory are
// skipped: an eighth of 200 MiB holds level 9's 17 MiB, not level 12's 53.
TEST(CountZstdSteps, SkipsLevelsThatNeedMoreThanAnEighthOfMemory) {
  EXPECT_EQ(CountZstdSteps(1ull << 32), kHaveZstd ? 6 : 0);
  EXPECT_EQ(CountZstdSteps(200 << 20), kHaveZstd ? 4 : 0);
  EXPECT_EQ(CountZstdSteps(8 << 20), 0);
}

// ---- what a peer could send ----

TEST(FeedDecoder, RefusesWhatDoesNotDecodeAndKeepsToItsLimit) {
  typedef CodecError E;
  const E ok = E::kNone;
  auto zstd = [](E error) { return kHaveZstd ? error : E::kNotAgreed; };
  auto lzma = [](E error) { return kHaveLzma ? error : E::kNotAgreed; };
  // An uncompressed LZMA2 chunk of "x" that resets the dictionary (01), or
  // one that does not (02), after the dictionary's size byte; 00 ends.
  auto chunk = [](uint8_t size_byte, uint8_t control) {
    return Bytes{0x03, size_byte, control, 0x00, 0x00, 'x', 0x00};
  };
  // 4 MiB of zeros as the sender packs them: a few hundred bytes.
  CodecEncoder bomb_encoder;
  StartEncoder(&bomb_encoder, kCodecLzma, 1ull << 32);
  Bytes bomb, zeros(4 << 20, 0);
  FeedEncoder(&bomb_encoder, zeros.data(), zeros.size(), &bomb);
  EndEncoder(&bomb_encoder, &bomb);
  const Bytes zstd_magic = {0x02, 0x28, 0xB5, 0x2F, 0xFD};
  // A frame of one raw block holding "x", with a window of 2^23 or 2^24
  // bytes, then an empty none run.
  const Bytes window_8m = Join({zstd_magic, {0x00, 0x68, 0x09, 0x00, 0x00, 'x', 0x00, 0x00}});
  const Bytes window_16m = Join({zstd_magic, {0x00, 0x70, 0x09, 0x00, 0x00, 'x', 0x00, 0x00}});
  struct Hostile {
    const char* what;
    uint8_t agreed;
    Bytes c;
    E error;  // EndDecoder's; FeedDecoder's too but for kTruncated
    uint64_t s_limit = UINT64_MAX;
  };
  const std::vector<Hostile> hostile = {
      {"a none run", 0, {0x00, 0x03, 'a', 'b', 'c', 0x00}, ok},
      {"a chunk of 65536", 0, Join({{0x00, 0x84, 0x80, 0x00}, Bytes(65536, 'z'), {0x00}}), ok},
      {"a chunk of 65537", 0, {0x00, 0x84, 0x80, 0x01, 'a'}, E::kUndecodable},
      {"a length with a leading 80", 0, {0x00, 0x80, 0x01, 'a'}, E::kUndecodable},
      {"just as much as allowed", 0, {0x00, 0x03, 'a', 'b', 'c', 0x00}, ok, 3},
      {"more than allowed", 0, {0x00, 0x03, 'a', 'b', 'c', 0x00}, E::kTooMuchOutput, 2},
      {"codec 4", kCodecs, {0x04}, E::kBadHeader},
      {"priming 2", kBoth, {0x21}, E::kBadHeader},
      {"deflate not agreed", kCodecZstd, {0x01, 0x03, 0x00}, E::kNotAgreed},
      {"zstd not agreed", kCodecDeflate, window_8m, E::kNotAgreed},
      {"deflate: block type 3", kCodecDeflate, {0x01, 0x07, 0x00}, E::kUndecodable},
      {"deflate cut short", kCodecDeflate, {0x01, 0x4B, 0x04}, E::kTruncated},
      {"zstd: a window of 8 MiB", kBoth, window_8m, zstd(ok)},
      {"zstd: a window of 16 MiB", kBoth, window_16m, zstd(E::kWindowTooLarge)},
      {"zstd: a skippable frame",
       kBoth,
       {0x02, 0x50, 0x2A, 0x4D, 0x18, 0, 0, 0, 0},
       zstd(E::kUndecodable)},
      {"zstd: a content size", kBoth, Join({zstd_magic, {0x40, 0x68}}), zstd(E::kUndecodable)},
      {"zstd cut short", kBoth, Bytes(window_8m.begin(), window_8m.begin() + 9),
       zstd(E::kTruncated)},
      {"lzma not agreed", kBoth, chunk(22, 0x01), E::kNotAgreed},
      {"lzma: a dictionary of 8 MiB", kCodecs, chunk(22, 0x01), lzma(ok)},
      {"lzma: a dictionary of 12 MiB", kCodecs, chunk(23, 0x01), lzma(E::kWindowTooLarge)},
      {"lzma: a dictionary of 4 GiB", kCodecs, chunk(40, 0x01), lzma(E::kWindowTooLarge)},
      {"lzma: no dictionary reset first", kCodecs, chunk(22, 0x02), lzma(E::kUndecodable)},
      {"lzma: control byte 03", kCodecs, chunk(22, 0x03), lzma(E::kUndecodable)},
      {"lzma cut short", kCodecs, {0x03, 22, 0x01, 0x00}, lzma(E::kTruncated)},
      {"lzma: 4 MiB where 1 MiB was asked", kCodecs, bomb, lzma(E::kTooMuchOutput), 1 << 20},
      {"lzma: all 4 MiB asked", kCodecs, bomb, lzma(ok), 4 << 20},
  };
  for (const Hostile& h : hostile) {
    for (size_t piece : {size_t(1), h.c.size()}) {
      CodecDecoder decoder;
      StartDecoder(&decoder, h.agreed);
      decoder.s_limit = h.s_limit;
      Bytes s;
      E fed = Decode(&decoder, h.c, piece, 7, &s);
      EXPECT_EQ(fed, h.error == E::kTruncated ? ok : h.error) << h.what << ", pieces of " << piece;
      EXPECT_LE(s.size(), h.s_limit) << h.what;
      // Refused before the dictionary was allocated.
      if (h.error == E::kWindowTooLarge) {
        EXPECT_EQ(decoder.lzma, nullptr) << h.what;
      }
      EXPECT_EQ(EndDecoder(&decoder), h.error) << h.what << ", pieces of " << piece;
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
      {2, 4, 0, 1e-8, 3, 5e6, 2},       // 0.15 now; twice as slow would be 0.3: stay
      {2, 4, 0, 1e-8, 3, 2e7, 1},       // 0.6 of a core: one step down
      {3, 4, 0, 1e-8, 3, 6e7, 1},       // 1.8: at once to the step expected at 0.45
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

// zstd 19 at 1e-7 s per byte and 4 : 1 fits half a core up to 1.25 MB/s of
// line; each step down is taken for half the cost.
TEST(ChooseStartStep, TakesTheStrongestStepTheLineAllows) {
  EXPECT_EQ(ChooseStartStep(5, 1, 1e-7, 4, 0), 1);       // rate unknown: the start step
  EXPECT_EQ(ChooseStartStep(5, 1, 1e-7, 4, 11520), 5);   // 115200 baud
  EXPECT_EQ(ChooseStartStep(5, 1, 1e-7, 4, 1.25e6), 5);  // just within
  EXPECT_EQ(ChooseStartStep(5, 1, 1e-7, 4, 4e6), 3);     // 1.6 at the top, 0.4 two down
  EXPECT_EQ(ChooseStartStep(5, 1, 1e-7, 4, 1e9), 0);     // nothing fits: the bottom
  EXPECT_EQ(ChooseStartStep(5, 1, 1e-7, 100, 1e6), 1);   // zeros: their cost says nothing
  EXPECT_EQ(ChooseStartStep(3, 2, 1e-8, 3, 11520), 3);   // deflate 9
}

}  // namespace
