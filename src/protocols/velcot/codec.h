// codec: the compressed stream C that carries the session's plain bytes S
// between two velcots. C is a sequence of
// runs; each opens with a header byte (codec in the low four bits, priming
// in the high four) and ends by itself:
//   none     chunks: a varint length of 1 to 65536 and that many bytes; 0 ends it
//   deflate  a raw deflate stream (window 32 KiB) up to its final block
//   zstd     one frame, no content size, no checksum, window at most 8 MiB
//   lzma     a byte of LZMA2 dictionary size (as in .xz, at most 22: 8 MiB),
//            then a raw LZMA2 stream up to its end marker
// Priming 1 starts a run's codec with the last bytes of S before it, which
// both ends keep (32 KiB for deflate, 1 MiB for zstd and lzma, or what
// there is).
#ifndef VELCOT_CODEC_H
#define VELCOT_CODEC_H

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <vector>

struct ZSTD_CCtx_s;
struct ZSTD_DCtx_s;
struct LzmaCoder;  // liblzma's stream, where it is built in

// Capability bits, as in the capabilities byte the two ends exchange.
constexpr uint8_t kCodecDeflate = 0x02;
constexpr uint8_t kCodecZstd = 0x04;
constexpr uint8_t kCodecLzma = 0x40;
constexpr uint8_t kCodecs = kCodecDeflate | kCodecZstd | kCodecLzma;

// The codecs this build has: deflate always, zstd and lzma where built in;
// none at all when compression is turned off.
uint8_t ListCodecs(bool compression);

// A run header's low four bits, and its high four.
enum class RunCodec : uint8_t { kNone = 0, kDeflate = 1, kZstd = 2, kLzma = 3 };
constexpr int kRunCodecs = 4;
constexpr uint8_t kPrimingNone = 0;
constexpr uint8_t kPrimingHistory = 1;

constexpr size_t kChunkMax = 65536;            // a none run's longest chunk
constexpr size_t kDeflateHistory = 32 * 1024;  // H of deflate
constexpr size_t kZstdHistory = 1024 * 1024;   // H of zstd, and of lzma
constexpr unsigned kZstdWindowLogMax = 23;     // 8 MiB
constexpr uint8_t kLzmaDictionaryMax = 22;     // the size byte of 8 MiB
constexpr size_t kLevelWindow = 256 * 1024;    // input between two looks at the level
constexpr size_t kSampleSize = 64 * 1024;      // a sample that chooses a run's codec
constexpr uint64_t kSampleEvery = 4 << 20;     // input of a none run between samples, at most
// A new zstd or lzma run loads the 1 MiB of history again, costing about
// what compressing it would: a step up waits until at least that much
// input went since the last such run, so reloads take at most half the
// compressor's time.
constexpr uint64_t kStepUpEvery = kZstdHistory;

// The levels a sender climbs. A run starts at the strongest step its
// sample's cost fits at the line's rate; at the start step while that rate
// is unknown. lzma's are liblzma presets, 0x80000000 its extreme flag, the
// dictionary cut to 8 MiB (so 9e would be 6e).
constexpr int kDeflateLevels[] = {1, 3, 6, 9};
constexpr int kDeflateStartStep = 2;
constexpr int kZstdLevels[] = {1, 3, 6, 9, 12, 19};
constexpr int kZstdStartStep = 1;
constexpr uint32_t kLzmaLevels[] = {0, 2, 4, 6, 0x80000006u};
constexpr int kLzmaStartStep = 2;
constexpr int kMaxSteps = 6;

enum class CodecError {
  kNone,
  kNotAgreed,       // a run of a codec this end did not agree to
  kBadHeader,       // a run header of no codec or priming this end knows
  kUndecodable,     // a run's body does not decode
  kWindowTooLarge,  // a zstd frame or lzma run wants a window over 8 MiB
  kTooMuchOutput,   // more bytes of S than the receiver allowed
  kTruncated,       // C ended inside a run
  kCodecFailed,     // zlib, zstd or liblzma failed, out of memory
};

// One message per error, to follow "compressed stream: ".
const char* DescribeCodecError(CodecError error);

// ---- the level ladder ----

// What the sender measured over its last window of input.
struct LadderInput {
  int step;              // on the codec's ladder
  int steps;             // usable steps (zstd: within memory)
  const double* cpu_at;  // compressor seconds per input byte last seen at each step; 0 never
  double cpu_per_byte;   // c, at this step now
  double ratio;          // r: input bytes per output byte
  double drain_rate;     // L: output bytes per second the line takes; 0 unknown
};

// The step to take next: when the compressor would use more than half a
// core to keep up with the line (c x L x r > 0.5), at once down to the
// strongest step expected to fit (its cost as measured there, else half per
// step); one up when the next step is expected to need a quarter or less;
// -1 (a none run) at the bottom when compressing costs more time than it
// saves.
int ChooseLadderStep(const LadderInput& in);

// The step a run starts at: the strongest whose cost, from c_top measured
// on the sample at the top step and half per step below, keeps the
// compressor within half a core at drain_rate with the sample's ratio; the
// start step while the rate is unknown or the sample shrank more than 64
// times (it says nothing of the cost then).
int ChooseStartStep(int top, int start_step, double c_top, double ratio, double drain_rate);

// The zstd or lzma steps whose compressor fits in an eighth of memory bytes.
int CountZstdSteps(uint64_t memory);
int CountLzmaSteps(uint64_t memory);

// The machine's physical memory in bytes, 0 if unknown.
uint64_t FindPhysicalMemory();

// ---- the sender ----

struct CodecEncoder {
  uint8_t agreed = 0;                    // codecs the receiver decodes, within this build's
  RunCodec preferred = RunCodec::kNone;  // the last sample's choice
  RunCodec run = RunCodec::kNone;        // of the open run
  bool run_open = false;
  bool unflushed = false;   // input given to the run since its last flush
  int step = 0, steps = 0;  // on the preferred codec's ladder
  int steps_of[kRunCodecs] = {};
  double cpu_at[kRunCodecs][kMaxSteps] = {};
  double drain_rate = 0;
  z_stream deflate{};
  bool deflate_ready = false;
  int deflate_strategy = Z_DEFAULT_STRATEGY;  // the one the last sample liked
  ZSTD_CCtx_s* zstd = nullptr;
  LzmaCoder* lzma = nullptr;
  std::vector<uint8_t> history;  // the last bytes of S taken into runs
  std::vector<uint8_t> prefix;   // a zstd run's priming, fixed while it runs
  std::vector<uint8_t> chunk;    // a none run's bytes not yet written
  std::vector<uint8_t> sample;   // bytes held back while a sample fills
  bool sampling = false;
  uint64_t none_since_sample = 0;
  uint64_t sample_spacing = kSampleEvery;
  double sample_cpu = 0;                 // compressor seconds the last whole sample took
  uint64_t since_reload = kStepUpEvery;  // input since a run loaded history
  uint64_t window_in = 0, window_out = 0;
  double window_cpu = 0;
  // Totals: S taken, C given, compressor seconds, S per codec and step.
  uint64_t s_bytes = 0, c_bytes = 0;
  double cpu_seconds = 0;
  uint64_t s_at[kRunCodecs][kMaxSteps] = {};
  int runs = 0;
};

// Starts a sender's stream for the codecs the receiver agreed to (0: none
// runs only); memory is the machine's, for the zstd and lzma levels it
// allows. Each sample (the first 64 KiB, and from time to time in none
// runs) picks the agreed codec that makes it smallest.
void StartEncoder(CodecEncoder* encoder, uint8_t agreed, uint64_t memory);

// The line's drain rate in C bytes per second, for the level ladder: the
// configured rate at first, then what the line is seen to take.
void ReportDrainRate(CodecEncoder* encoder, double bytes_per_second);

// Takes bytes of S; appends to *c the bytes of C ready so far. The encoder
// may hold input until the next flush.
CodecError FeedEncoder(CodecEncoder* encoder, const uint8_t* s, size_t size,
                       std::vector<uint8_t>* c);

// Makes every byte of S taken so far decodable from what C holds.
CodecError FlushEncoder(CodecEncoder* encoder, std::vector<uint8_t>* c);

// Runs on with codec at the ladder's step: deflateParams within a deflate
// run, a new run for another codec or zstd or lzma level. The ladder and
// the incompressible-data rule call it; so may the caller, with the
// preferred codec or none.
CodecError SwitchEncoder(CodecEncoder* encoder, RunCodec codec, int step, std::vector<uint8_t>* c);

// Ends the open run, so C is whole, and frees the codecs.
CodecError EndEncoder(CodecEncoder* encoder, std::vector<uint8_t>* c);
void FreeEncoder(CodecEncoder* encoder);

// ---- the receiver ----

// Memory, at most: with zstd or lzma agreed the decoder's window or
// dictionary of 8 MiB and its buffers (about 8.5 MiB; one codec's at a
// time), 1.25 MiB of history and a 1 MiB prefix; with
// deflate alone about 45 KiB of zlib state and 40 KiB of history.
struct CodecDecoder {
  uint8_t agreed = 0;
  enum class State {
    kHeader,
    kLength,
    kBody,
    kDeflate,
    kZstd,
    kLzmaDictionary,
    kLzma
  } state = State::kHeader;
  uint32_t length = 0;  // of the chunk, as read so far or left
  int length_bytes = 0;
  size_t magic_checked = 0;  // bytes of a zstd frame's start checked
  z_stream inflate{};
  bool inflate_ready = false;
  ZSTD_DCtx_s* zstd = nullptr;
  LzmaCoder* lzma = nullptr;
  std::vector<uint8_t> history, prefix;
  uint64_t s_limit = UINT64_MAX;  // the most S the caller takes
  uint64_t s_bytes = 0, c_bytes = 0;
  CodecError broken = CodecError::kNone;
};

void StartDecoder(CodecDecoder* decoder, uint8_t agreed);

// Decodes from the size bytes of C at c into room bytes at s: *used bytes
// of C taken, *made bytes of S written. Stops when C runs out or the room
// is full; while the room fills, call again (with the rest of C, or none)
// for what the decoder holds. An error stays: every later call returns it.
CodecError FeedDecoder(CodecDecoder* decoder, const uint8_t* c, size_t size, size_t* used,
                       uint8_t* s, size_t room, size_t* made);

// Checks that C ended where a run ends, and frees the codecs.
CodecError EndDecoder(CodecDecoder* decoder);
void FreeDecoder(CodecDecoder* decoder);

#endif
